// The same cases against every implementation of the stub's platform: the recording fake, and the
// real platform of the build (POSIX natively, Win32 under Wine). Win32's behaviour is the
// reference the others follow.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "fake_platform.h"
#include "setup_platform.h"

namespace {

using platform::SetupPlatform;

enum class Kind { Fake, Native };

std::string KindName(const ::testing::TestParamInfo<Kind>& info)
{
    return info.param == Kind::Fake ? "Fake" : "Native";
}

class PlatformConformance : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override
    {
        char sep = platform::NativePlatform().Separator();
        if (GetParam() == Kind::Fake) {
            fake_ = std::make_unique<platform::FakePlatform>(sep);
            os_ = fake_.get();
            root_ = sep == '\\' ? "C:\\CONFORMANCE" : "/conformance";
            fake_->AddDirectory(root_);
        } else {
            os_ = &platform::NativePlatform();
            auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
            native_ = std::filesystem::temp_directory_path() / ("qvconf-" + std::to_string(stamp));
            std::filesystem::create_directories(native_);
            root_ = native_.string();
        }
        char cwd[1024] = {};
        os_->GetCurrentDirectory(sizeof cwd, cwd);
        savedCwd_ = cwd;
    }

    void TearDown() override
    {
        os_->SetCurrentDirectory(savedCwd_.c_str());
        if (!native_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(native_, ignored);
        }
    }

    std::string Path(const std::string& relative) const
    {
        std::string out = root_ + os_->Separator();
        for (char c : relative)
            out += c == '/' ? os_->Separator() : c;
        return out;
    }

    void WriteText(const std::string& relative, const std::string& text)
    {
        platform::FileHandle f = os_->CreateWrite(Path(relative).c_str());
        ASSERT_NE(f, nullptr) << relative;
        ASSERT_EQ(os_->Write(f, text.data(), static_cast<unsigned long>(text.size())), static_cast<long>(text.size()));
        ASSERT_TRUE(os_->Close(f));
    }

    std::string ReadText(const std::string& relative)
    {
        platform::FileHandle f = os_->OpenRead(Path(relative).c_str());
        if (f == nullptr)
            return "<missing>";
        std::string text;
        char buf[512];
        long n;
        while ((n = os_->Read(f, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        os_->Close(f);
        return text;
    }

    void MakeDirectory(const std::string& relative)
    {
        if (fake_)
            fake_->AddDirectory(Path(relative));
        else
            std::filesystem::create_directories(Path(relative));
    }

    std::string Get(const std::string& section, const std::string& key, const std::string& file = "setup.ini",
                    unsigned size = 120, const char* defaultValue = "<default>")
    {
        char buffer[300];
        std::memset(buffer, '#', sizeof buffer);
        unsigned n =
            os_->GetProfileString(section.c_str(), key.c_str(), defaultValue, buffer, size, Path(file).c_str());
        std::string value = buffer;
        EXPECT_EQ(n, value.size()) << section << "/" << key;
        return value;
    }

    SetupPlatform* os_ = nullptr;
    std::unique_ptr<platform::FakePlatform> fake_;
    std::filesystem::path native_;
    std::string root_;
    std::string savedCwd_;
};

TEST_P(PlatformConformance, ProfileReadsFollowTheWindowsRules)
{
    WriteText("setup.ini",
              "; a comment\r\n"
              "[Other]\r\n"
              "Key=other\r\n"
              "[stub]\r\n"
              "; Key=commented\r\n"
              "  Key  =  \"quoted value\"  \r\n"
              "KEY=second\r\n"
              "Single='one'\r\n"
              "Mixed=\"open'\r\n"
              "Empty=\r\n"
              "Long=" +
                  std::string(150, 'x') +
                  "\r\n"
                  "Spaced = a b \r\n"
                  "Bare\r\n"
                  "[STUB]\r\n"
                  "Late=in a second section of the same name\r\n");
    EXPECT_EQ(Get("Stub", "key"), "quoted value");
    EXPECT_EQ(Get("STUB", "Single"), "one");
    EXPECT_EQ(Get("stub", "Mixed"), "\"open'");
    EXPECT_EQ(Get("Stub", "Empty"), "");
    EXPECT_EQ(Get("Stub", "Spaced"), "a b");
    EXPECT_EQ(Get("Stub", "Bare"), "<default>");
    EXPECT_EQ(Get("Stub", "Late"), "<default>");
    EXPECT_EQ(Get("Other", "KEY"), "other");
    EXPECT_EQ(Get("Stub", "Long"), std::string(119, 'x'));
    EXPECT_EQ(Get("Stub", "Long", "setup.ini", 3), "xx");
    EXPECT_EQ(Get("Stub", "Missing"), "<default>");
    EXPECT_EQ(Get("Missing", "Key"), "<default>");
    EXPECT_EQ(Get("Stub", "Key", "absent.ini"), "<default>");
    EXPECT_EQ(Get("Stub", "Missing", "setup.ini", 120, "US  "), "US");
    EXPECT_EQ(Get("Stub", "Missing", "setup.ini", 3, "QVSETUP.TMP"), "QV");
}

TEST_P(PlatformConformance, ProfileWritesCreateReplaceAndKeep)
{
    // A missing file is created.
    ASSERT_TRUE(os_->WriteProfileString("Stub", "Cleanup", "C:\\KIT\\CLEANUP.EXE", Path("new.ini").c_str()));
    EXPECT_EQ(Get("Stub", "Cleanup", "new.ini"), "C:\\KIT\\CLEANUP.EXE");

    WriteText("setup.ini", "; keep this comment\r\n[Stub]\r\nResourceDLL=R.DLL\r\nCleanup=old\r\n[Next]\r\nA=1\r\n");
    ASSERT_TRUE(os_->WriteProfileString("stub", "CLEANUP", "new", Path("setup.ini").c_str()));
    ASSERT_TRUE(os_->WriteProfileString("Stub", "CurrentDirectory", "C:\\KIT", Path("setup.ini").c_str()));
    ASSERT_TRUE(os_->WriteProfileString("Added", "K", "v", Path("setup.ini").c_str()));
    EXPECT_EQ(Get("Stub", "Cleanup"), "new");
    EXPECT_EQ(Get("Stub", "CurrentDirectory"), "C:\\KIT");
    EXPECT_EQ(Get("Stub", "ResourceDLL"), "R.DLL");
    EXPECT_EQ(Get("Next", "A"), "1");
    EXPECT_EQ(Get("Added", "K"), "v");
    std::string text = ReadText("setup.ini");
    EXPECT_NE(text.find("; keep this comment"), std::string::npos) << text;
    EXPECT_EQ(text.find("old"), std::string::npos) << text;

    // A directory that does not exist takes no file.
    EXPECT_FALSE(os_->WriteProfileString("Stub", "K", "v", Path("missing/setup.ini").c_str()));
}

TEST_P(PlatformConformance, ListingShowsEveryEntryWithTheDirectoryBit)
{
    MakeDirectory("list");
    MakeDirectory("list/SUB");
    WriteText("list/a.txt", "a");
    WriteText("list/B.DAT", "b");
    platform::FindData data;
    std::string pattern = Path("list/*.*");
    platform::FindHandle find = os_->FindFirst(pattern.c_str(), &data);
    ASSERT_NE(find, nullptr);
    std::set<std::string> directories, files;
    do {
        ((data.attributes & platform::kAttrDirectory) ? directories : files).insert(data.name);
    } while (os_->FindNext(find, &data));
    os_->FindClose(find);
    EXPECT_EQ(directories, (std::set<std::string>{".", "..", "SUB"}));
    EXPECT_EQ(files, (std::set<std::string>{"a.txt", "B.DAT"}));

    EXPECT_EQ(os_->FindFirst(Path("missing/*.*").c_str(), &data), nullptr);
}

TEST_P(PlatformConformance, NamesMatchWithoutRegardToCase)
{
    MakeDirectory("Kit/de");
    WriteText("Kit/de/_SETUP.DLL", "dll");
    platform::FileHandle f = os_->OpenRead(Path("KIT/DE/_setup.dll").c_str());
    EXPECT_NE(f, nullptr);
    os_->Close(f);
    EXPECT_EQ(Get("stub", "x", "KIT/DE/_SETUP.DLL"), "<default>");
    // A write to another case of an existing name goes into that file.
    WriteText("Kit/DE/_Setup.Dll", "new");
    EXPECT_EQ(ReadText("Kit/de/_SETUP.DLL"), "new");
}

TEST_P(PlatformConformance, FilesOpenOnlyWhereTheyCan)
{
    MakeDirectory("dir");
    EXPECT_EQ(os_->OpenRead(Path("dir").c_str()), nullptr);
    EXPECT_EQ(os_->OpenRead(Path("none.txt").c_str()), nullptr);
    EXPECT_EQ(os_->CreateWrite(Path("missing/file.txt").c_str()), nullptr);
    WriteText("file.txt", "0123456789");
    platform::FileHandle f = os_->OpenRead(Path("file.txt").c_str());
    ASSERT_NE(f, nullptr);
    char buf[4];
    EXPECT_EQ(os_->Read(f, buf, 4), 4);
    EXPECT_EQ(os_->Read(f, buf, 4), 4);
    EXPECT_EQ(os_->Read(f, buf, 4), 2);
    EXPECT_EQ(os_->Read(f, buf, 4), 0);
    EXPECT_TRUE(os_->Close(f));
}

TEST_P(PlatformConformance, AReadOnlyFileIsNeitherEmptiedNorWritten)
{
    // Read-only to everyone, whoever runs the stub (root included), as Windows has it.
    if (fake_) {
        fake_->AddFile(Path("locked.txt"), "kept", platform::kAttrReadOnly);
    } else {
        WriteText("locked.txt", "kept");
        std::filesystem::permissions(Path("locked.txt"),
                                     std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                         std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove);
    }
    platform::FileHandle refused = os_->CreateWrite(Path("locked.txt").c_str());
    EXPECT_EQ(refused, nullptr);
    if (refused != nullptr)
        os_->Close(refused);
    EXPECT_EQ(ReadText("locked.txt"), "kept");
    if (!fake_)
        std::filesystem::permissions(Path("locked.txt"), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
}

TEST_P(PlatformConformance, RenameNeverReplacesAndDeleteTakesFilesOnly)
{
    WriteText("ISETUP.EXE", "exe");
    WriteText("OTHER.EXE", "other");
    EXPECT_FALSE(os_->Rename(Path("ISETUP.EXE").c_str(), Path("OTHER.EXE").c_str()));
    EXPECT_TRUE(os_->Rename(Path("ISETUP.EXE").c_str(), Path("SETUP.EXE").c_str()));
    EXPECT_EQ(ReadText("SETUP.EXE"), "exe");
    EXPECT_EQ(ReadText("ISETUP.EXE"), "<missing>");
    EXPECT_FALSE(os_->Rename(Path("ISETUP.EXE").c_str(), Path("X.EXE").c_str()));

    MakeDirectory("dir");
    EXPECT_FALSE(os_->DeleteFile(Path("dir").c_str()));
    EXPECT_FALSE(os_->DeleteFile(Path("none").c_str()));
    EXPECT_TRUE(os_->DeleteFile(Path("OTHER.EXE").c_str()));
    EXPECT_EQ(ReadText("OTHER.EXE"), "<missing>");
}

TEST_P(PlatformConformance, RemoveDirectoryTellsWhyItFailed)
{
    MakeDirectory("full");
    WriteText("full/f.txt", "x");
    EXPECT_EQ(os_->RemoveDirectory(Path("full").c_str()), platform::kErrorDirNotEmpty);
    EXPECT_EQ(os_->RemoveDirectory(Path("absent").c_str()), platform::kErrorFileNotFound);
    EXPECT_EQ(os_->RemoveDirectory(Path("absent/deeper").c_str()), platform::kErrorPathNotFound);

    MakeDirectory("current");
    ASSERT_TRUE(os_->SetCurrentDirectory(Path("current").c_str()));
    EXPECT_NE(os_->RemoveDirectory(Path("current").c_str()), platform::kErrorSuccess);
    ASSERT_TRUE(os_->SetCurrentDirectory(root_.c_str()));
    EXPECT_EQ(os_->RemoveDirectory(Path("current").c_str()), platform::kErrorSuccess);
}

TEST_P(PlatformConformance, CurrentDirectoryNeedsRoomForItsTerminator)
{
    ASSERT_TRUE(os_->SetCurrentDirectory(root_.c_str()));
    char small[4] = "abc";
    unsigned needed = os_->GetCurrentDirectory(sizeof small, small);
    EXPECT_STREQ(small, "abc");
    char buffer[1024] = {};
    unsigned length = os_->GetCurrentDirectory(sizeof buffer, buffer);
    EXPECT_EQ(needed, length + 1);
    EXPECT_EQ(std::string(buffer).size(), length);
    EXPECT_FALSE(os_->SetCurrentDirectory(Path("nowhere").c_str()));
}

INSTANTIATE_TEST_SUITE_P(Platforms, PlatformConformance, ::testing::Values(Kind::Fake, Kind::Native), KindName);

}  // namespace
