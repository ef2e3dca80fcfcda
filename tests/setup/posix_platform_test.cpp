// The POSIX platform's own choices where Windows has no counterpart: where the registry value lives,
// where the user language comes from, which files count as hidden or read-only.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include "language.h"
#include "setup_platform.h"

namespace {

class PosixPlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qvposix-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    void TearDown() override { std::system(("chmod -R u+w '" + dir_ + "'; rm -rf '" + dir_ + "'").c_str()); }

    void Write(const std::string& relative, const std::string& text)
    {
        std::system(("mkdir -p \"$(dirname '" + dir_ + "/" + relative + "')\"").c_str());
        std::ofstream(dir_ + "/" + relative, std::ios::binary) << text;
    }

    std::string Registry()
    {
        char value[3] = {};
        long size = sizeof value;
        long status = os_.QueryUserRegistryValue(kInterfaceLanguageKey, value, &size);
        return status == platform::kErrorSuccess ? std::string(value) : "status " + std::to_string(status);
    }

    platform::SetupPlatform& os_ = platform::NativePlatform();
    std::string dir_;
};

TEST_F(PosixPlatformTest, RegistryValueIsTheFirstLineOfAConfigFile)
{
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    EXPECT_EQ(Registry(), "status 2");
    Write("Orvanto/Quorvane/Interface Language", "de\r\nignored\n");
    EXPECT_EQ(Registry(), "de");
    Write("Orvanto/Quorvane/Interface Language", "DEU\n");
    EXPECT_EQ(Registry(), "status 234");

    // Without XDG_CONFIG_HOME, it is $HOME/.config.
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", dir_.c_str(), 1);
    Write(".config/Orvanto/Quorvane/Interface Language", "FR");
    EXPECT_EQ(Registry(), "FR");
}

TEST_F(PosixPlatformTest, UserLanguageComesFromTheMessagesLocale)
{
    setenv("LANG", "de_DE.UTF-8", 1);
    setenv("LC_MESSAGES", "zh_TW.UTF-8", 1);
    unsetenv("LC_ALL");
    EXPECT_EQ(os_.UserDefaultLangID(), 0x0404);
    setenv("LC_ALL", "C", 1);
    EXPECT_EQ(os_.UserDefaultLangID(), 0);
}

TEST_F(PosixPlatformTest, DotFilesAreHiddenAndReadOnlyFilesStay)
{
    Write("stage/.hidden", "h");
    Write("stage/locked", "l");
    Write("stage/plain", "p");
    chmod((dir_ + "/stage/locked").c_str(), 0444);
    platform::FindData data;
    platform::FindHandle find = os_.FindFirst((dir_ + "/stage/*.*").c_str(), &data);
    ASSERT_NE(find, nullptr);
    std::set<std::string> hidden, readOnly;
    do {
        if (data.attributes & platform::kAttrHidden)
            hidden.insert(data.name);
        if (data.attributes & platform::kAttrReadOnly)
            readOnly.insert(data.name);
    } while (os_.FindNext(find, &data));
    os_.FindClose(find);
    EXPECT_EQ(hidden, std::set<std::string>{".hidden"});
    EXPECT_EQ(readOnly, std::set<std::string>{"locked"});
    EXPECT_FALSE(os_.DeleteFile((dir_ + "/stage/locked").c_str()));
    EXPECT_TRUE(os_.DeleteFile((dir_ + "/stage/plain").c_str()));
}

TEST_F(PosixPlatformTest, ProfileWritesKeepTheFileWholeAndItsLineEnds)
{
    Write("unix.ini", "[Stub]\nA=1\n");
    ASSERT_TRUE(os_.WriteProfileString("Stub", "B", "2", (dir_ + "/unix.ini").c_str()));
    std::ifstream in(dir_ + "/unix.ini", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[Stub]\nA=1\nB=2\n");
}

}  // namespace
