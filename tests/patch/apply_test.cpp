// Building and applying patches on real directory trees: an update, an update already done, a
// directory at another version, a stop at every point, attributes kept, damaged data refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "qvpatch/apply.h"
#include "qvpatch/build.h"
#include "codec.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using treetest::Make;
using treetest::Noise;
using treetest::Snapshot;
using treetest::TempTree;


// An installed copy and the next version: a changed binary, a changed and a removed text file,
// an added file in an added directory, a removed directory, names with non-ASCII letters.
std::map<std::string, std::string> OldTree()
{
    std::string app = Noise(3 << 20, 1);
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "message " + std::to_string(i * 7919 % 10007) + ": the update of part " + std::to_string(i) + "\n";
    return {{"app.exe", app},
            {"text/", ""},
            {"text/de.txt", "de " + text},
            {"text/fr.txt", "fr " + text},
            {"text/it.txt", "it " + text},
            {"readme.txt", "Quorvane 1.0\n"},
            {"lib/", ""},
            {"lib/core.dll", Noise(70000, 2)},
            {"lib/old.dll", "retired"},
            {"plugins/", ""},
            {"plugins/legacy.dat", "legacy"},
            {"docs/", ""},
            {"docs/caf\xc3\xa9.txt", "menu"}};
}

std::map<std::string, std::string> NewTree()
{
    auto tree = OldTree();
    std::string& app = tree["app.exe"];
    app.replace(100000, 12, "version 1.1!");
    app.replace(2000000, 5000, Noise(5000, 9));
    tree["readme.txt"] = "Quorvane 1.1\n";
    tree.erase("lib/old.dll");
    tree.erase("plugins/legacy.dat");
    tree.erase("plugins/");
    tree["lib/extra/"] = "";
    tree["lib/extra/new.dll"] = Noise(40000, 3);
    tree["docs/caf\xc3\xa9.txt"] = "menu du jour";
    // The same change in three files: one frame for the three is smaller than three deltas.
    for (const char* name : {"text/de.txt", "text/fr.txt", "text/it.txt"})
        tree[name].replace(5000, 40, Noise(40, 7));
    return tree;
}

// Stops at the n-th question whether to go on, and records what it was told.
class Recorder : public ApplyObserver {
public:
    explicit Recorder(int stopAt = -1) : stopAt_(stopAt) {}
    void FileStarted(const std::string& name) override { started.push_back(name); }
    void FileProgress(std::uint32_t fraction) override { lastFraction = fraction; }
    void FileDone() override { ++done; }
    bool KeepGoing() override { return ++queries != stopAt_; }
    void Info(const std::string& text) override { info += text; }
    std::vector<std::string> started;
    std::uint32_t lastFraction = 0;
    int done = 0;
    int queries = 0;

    std::string info;

private:
    int stopAt_;
};

class ApplyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Make(tmp_.Sub("old"), OldTree());
        Make(tmp_.Sub("new"), NewTree());
        Make(dir(), OldTree());
        BuildOptions options;
        options.level = 3;
        ASSERT_TRUE(BuildPatch(fs_, tmp_.Sub("old"), tmp_.Sub("new"), options, &patch_).ok());
    }

    std::string dir() const { return tmp_.Sub("installed"); }

    Result Run(ApplyObserver& observer, bool checkOnly = false)
    {
        ApplyOptions options;
        options.checkOnly = checkOnly;
        return Apply(fs_, dir(), patch_, observer, options, &summary_);
    }

    FileSystem& fs_ = NativeFileSystem();
    TempTree tmp_;
    Patch patch_;
    ApplySummary summary_;
};

TEST_F(ApplyTest, UpdatesTheTreeToTheNewVersion)
{
    Recorder recorder;
    ASSERT_TRUE(Run(recorder).ok());
    EXPECT_TRUE(Snapshot(fs_, dir()) == NewTree()) << "differences:" << treetest::Differences(Snapshot(fs_, dir()), NewTree());
    EXPECT_EQ(summary_.changedFiles, 6);
    EXPECT_EQ(summary_.addedFiles, 1);
    EXPECT_EQ(summary_.removedFiles, 2);
    EXPECT_EQ(summary_.addedDirectories, 1);
    EXPECT_EQ(summary_.removedDirectories, 1);
    EXPECT_EQ(recorder.done, 7);
    ASSERT_EQ(Groups(patch_).size(), 1u);
    EXPECT_GE(Groups(patch_)[0].size(), 3u);
    EXPECT_EQ(recorder.lastFraction, 0x8000u);
    // The big file asked at least once per MiB of output.
    EXPECT_GE(recorder.queries, 3 + 4);

    // Applying again finds the new version and changes nothing.
    Recorder again;
    ASSERT_TRUE(Run(again).ok());
    EXPECT_TRUE(summary_.alreadyCurrent);
    EXPECT_NE(again.info.find("already"), std::string::npos);
    EXPECT_TRUE(again.started.empty());
}

TEST_F(ApplyTest, CheckChangesNothing)
{
    Recorder recorder;
    ASSERT_TRUE(Run(recorder, true).ok());
    EXPECT_EQ(summary_.changedFiles, 6);
    EXPECT_TRUE(Snapshot(fs_, dir()) == OldTree()) << "differences:" << treetest::Differences(Snapshot(fs_, dir()), OldTree());
}

TEST_F(ApplyTest, ADirectoryAtAnotherVersionIsRefusedAndLeftAlone)
{
    for (const auto& [name, content] : std::map<std::string, std::string>{
             {"readme.txt", "edited by hand\n"}, {"lib/extra/new.dll", "in the way"}, {"lib/old.dll", "changed"}}) {
        TempTree other;
        auto tree = OldTree();
        tree[name] = content;
        if (name == "lib/extra/new.dll")
            tree["lib/extra/"] = "";
        Make(other.path(), tree);
        Recorder recorder;
        Result r = Apply(fs_, other.path(), patch_, recorder, ApplyOptions{}, &summary_);
        EXPECT_EQ(r.status, Status::kWrongVersion) << name;
        EXPECT_NE(r.message.find(name.substr(name.rfind('/') + 1)), std::string::npos) << r.message;
        EXPECT_TRUE(Snapshot(fs_, other.path()) == tree) << "differences:" << treetest::Differences(Snapshot(fs_, other.path()), tree) << name;
    }
    // A missing file too.
    std::filesystem::remove(std::filesystem::u8path(dir() + "/readme.txt"));
    Recorder recorder;
    EXPECT_EQ(Run(recorder).status, Status::kWrongVersion);
}

TEST_F(ApplyTest, AStopAtAnyQuestionLeavesTheOldTree)
{
    Recorder counting;
    ASSERT_TRUE(Run(counting, true).ok());
    Recorder full;
    {
        TempTree probe;
        Make(probe.path(), OldTree());
        ASSERT_TRUE(Apply(fs_, probe.path(), patch_, full, ApplyOptions{}, &summary_).ok());
    }
    ASSERT_GT(full.queries, 5);
    for (int n = 1; n <= full.queries; ++n) {
        Recorder stopping(n);
        Result r = Run(stopping);
        ASSERT_EQ(r.status, Status::kStopped) << n;
        ASSERT_TRUE(Snapshot(fs_, dir()) == OldTree()) << "differences:" << treetest::Differences(Snapshot(fs_, dir()), OldTree()) << "stopped at question " << n;
    }
}

TEST_F(ApplyTest, DamagedDataIsRefusedBeforeTheTreeChanges)
{
    for (std::size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (!e.HasNew() || e.dataLength < 8)
            continue;
        Patch damaged = patch_;
        damaged.data[static_cast<std::size_t>(e.dataOffset + e.dataLength / 2)] ^= 0x5A;
        Recorder recorder;
        Result r = Apply(fs_, dir(), damaged, recorder, ApplyOptions{}, &summary_);
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << e.name << ": " << r.message;
        EXPECT_TRUE(Snapshot(fs_, dir()) == OldTree()) << "differences:" << treetest::Differences(Snapshot(fs_, dir()), OldTree()) << e.name;
    }
}

TEST_F(ApplyTest, AStaleWorkAreaIsClearedAndADamagedJournalRefused)
{
    // A work area without a journal: an earlier update stopped before its commit.
    Make(dir(), {{".qvpatch.tmp/new-3", "half a file"}});
    Recorder recorder;
    ASSERT_TRUE(Run(recorder).ok());
    EXPECT_TRUE(Snapshot(fs_, dir()) == NewTree()) << "differences:" << treetest::Differences(Snapshot(fs_, dir()), NewTree());

    TempTree other;
    Make(other.path(), OldTree());
    Make(other.path(), {{".qvpatch.tmp/journal", "qvpatch journal 1\npatch\tx\nend\t0000\n"}});
    Result r = Apply(fs_, other.path(), patch_, recorder, ApplyOptions{}, &summary_);
    EXPECT_EQ(r.status, Status::kInterrupted);
    EXPECT_NE(r.message.find("damaged"), std::string::npos) << r.message;
    EXPECT_EQ(Snapshot(fs_, other.path()).count(".qvpatch.tmp/journal"), 1u);
}

TEST_F(ApplyTest, ReadOnlyFilesAreUpdatedAndStayReadOnly)
{
    auto readme = std::filesystem::u8path(dir() + "/readme.txt");
    std::filesystem::permissions(readme, std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                             std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    Recorder recorder;
    ASSERT_TRUE(Run(recorder).ok());
    EXPECT_TRUE(Snapshot(fs_, dir()) == NewTree()) << "differences:" << treetest::Differences(Snapshot(fs_, dir()), NewTree());
    auto perms = std::filesystem::status(readme).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::owner_write, std::filesystem::perms::none);
}

TEST_F(ApplyTest, ARemovedDirectoryWithTheUsersFilesStays)
{
    Make(dir(), {{"plugins/mine.dat", "the user's own"}});
    Recorder recorder;
    ASSERT_TRUE(Run(recorder).ok());
    auto expected = NewTree();
    expected["plugins/"] = "";
    expected["plugins/mine.dat"] = "the user's own";
    EXPECT_TRUE(Snapshot(fs_, dir()) == expected) << "differences:" << treetest::Differences(Snapshot(fs_, dir()), expected);
}

#ifndef _WIN32
TEST_F(ApplyTest, ALinkInThePathIsNeverFollowed)
{
    TempTree outside;
    Make(outside.path(), {{"core.dll", "outside"}});
    std::filesystem::remove_all(std::filesystem::u8path(dir() + "/lib"));
    std::filesystem::create_directory_symlink(outside.path(), std::filesystem::u8path(dir() + "/lib"));
    Recorder recorder;
    Result r = Run(recorder);
    EXPECT_EQ(r.status, Status::kUnsafePatch) << r.message;
    EXPECT_EQ(Snapshot(fs_, outside.path()), (std::map<std::string, std::string>{{"core.dll", "outside"}}));
}
#endif

std::map<std::string, Codec> BuiltCodecs(const std::map<std::string, std::string>& oldTree,
                                         const std::map<std::string, std::string>& newTree, Patch* patch)
{
    TempTree tmp;
    Make(tmp.Sub("old"), oldTree);
    Make(tmp.Sub("new"), newTree);
    std::map<std::string, Codec> codecs;
    Result r = BuildPatch(NativeFileSystem(), tmp.Sub("old"), tmp.Sub("new"), BuildOptions{}, patch);
    EXPECT_TRUE(r.ok()) << r.message;
    for (const Entry& e : patch->entries)
        codecs[e.name] = e.codec;
    // Whatever was chosen, it applies.
    Make(tmp.Sub("installed"), oldTree);
    ApplySummary summary;
    ApplyObserver quiet;
    r = Apply(NativeFileSystem(), tmp.Sub("installed"), *patch, quiet, ApplyOptions{}, &summary);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(Snapshot(NativeFileSystem(), tmp.Sub("installed")) == newTree);
    return codecs;
}

std::string Lines(int from, int to)
{
    std::string text;
    for (int i = from; i < to; ++i)
        text += "line " + std::to_string(i) + " of a text that changes\n";
    return text;
}

TEST(BuildTest, EachFileOnItsOwnGetsItsSmallestEncoding)
{
    Patch patch;
    std::string text = Lines(0, 2000);
    EXPECT_EQ(BuiltCodecs({{"same.txt", "same"}, {"text.txt", text}}, {{"same.txt", "same"}, {"text.txt", text + "!\n"}},
                          &patch),
              (std::map<std::string, Codec>{{"text.txt", Codec::kZstdDelta}}));
    EXPECT_EQ(BuiltCodecs({{"noise.bin", Noise(5000, 4)}}, {{"noise.bin", Noise(5000, 5)}}, &patch)["noise.bin"],
              Codec::kStored);
    EXPECT_EQ(BuiltCodecs({{"keep", ""}}, {{"keep", ""}, {"added.txt", text}}, &patch)["added.txt"], Codec::kZstd);
}

TEST(BuildTest, TextFilesShareAFrameWhenThatIsSmaller)
{
    // A new file that repeats an old one, and the same change in two files: one frame for all
    // of them, which is smaller than their own encodings.
    Patch patch;
    std::string a = Lines(0, 3000), b = Lines(5000, 8000);
    auto codecs = BuiltCodecs({{"a.txt", a}, {"b.txt", b}},
                              {{"a.txt", a + Lines(9000, 9100)}, {"b.txt", b + Lines(9000, 9100)}, {"c.txt", b}},
                              &patch);
    EXPECT_EQ(codecs, (std::map<std::string, Codec>{{"a.txt", Codec::kZstdGroupDelta},
                                                    {"b.txt", Codec::kZstdGroupDelta},
                                                    {"c.txt", Codec::kZstdGroupDelta}}));
    ASSERT_EQ(Groups(patch).size(), 1u);
    EXPECT_EQ(Groups(patch)[0].size(), 3u);
}

TEST(BuildTest, AGroupHoldsNoMoreThanTheLargestFilePlusItsAllowance)
{
    // 60 changed files of 1 MiB: shared frames, each small enough that applying it needs about
    // what the largest file needs plus 48 MiB (not the 64 MiB a group may hold at most).
    TempTree tmp;
    std::map<std::string, std::string> oldTree, newTree;
    std::string base = Lines(0, 30000).substr(0, 1 << 20);
    for (int i = 0; i < 60; ++i) {
        std::string name = "part" + std::to_string(100 + i) + ".txt";
        oldTree[name] = base;
        oldTree[name].replace(static_cast<std::size_t>(i) * 1000, 6, std::to_string(100000 + i));
        newTree[name] = oldTree[name] + Lines(90000, 90100);  // the same new text in every file
    }
    Make(tmp.Sub("old"), oldTree);
    Make(tmp.Sub("new"), newTree);
    BuildOptions options;
    options.level = 1;
    Patch patch;
    ASSERT_TRUE(BuildPatch(NativeFileSystem(), tmp.Sub("old"), tmp.Sub("new"), options, &patch).ok());
    std::uint64_t largest = 0, grouped = 0;
    for (const Entry& e : patch.entries)
        largest = std::max(largest, e.oldSize + e.newSize);
    for (const auto& group : Groups(patch)) {
        std::uint64_t bytes = 0;
        for (std::size_t i : group)
            bytes += patch.entries[i].oldSize + patch.entries[i].newSize;
        EXPECT_LE(bytes, largest + (48ull << 20));
        grouped += group.size();
    }
    EXPECT_EQ(grouped, 60u);
}

TEST(BuildTest, ARenamedFileIsBuiltFromItsOldName)
{
    // The removed file's old contents are the source of the added one: the patch is about the
    // size of the change, not of the file.
    Patch patch;
    std::string text = Lines(0, 20000);
    auto codecs = BuiltCodecs({{"app-1.0.js", text}, {"keep", "k"}},
                              {{"app-1.1.js", text + Lines(30000, 30010)}, {"keep", "k"}}, &patch);
    EXPECT_EQ(codecs, (std::map<std::string, Codec>{{"app-1.0.js", Codec::kZstdGroupDelta},
                                                    {"app-1.1.js", Codec::kZstdGroupDelta}}));
    EXPECT_LT(patch.data.size(), 1000u);
    // It reads back as it was written.
    std::vector<std::uint8_t> bytes = Serialize(patch);
    Patch back;
    ASSERT_TRUE(Parse(bytes.data(), bytes.size(), &back).ok());
    EXPECT_EQ(Serialize(back), bytes);
    EXPECT_EQ(back.entries[0].dataOffset, back.entries[1].dataOffset);
}

TEST(BuildTest, AProgramWhoseCodeMovedGetsTheMatchDelta)
{
    // An x86 program (a PE header, then code with calls all over it) in which a block of code was
    // inserted: every call across the insertion changes its displacement.
    std::mt19937 rng(21);
    std::string code(1 << 20, '\0');
    for (std::size_t i = 0; i + 5 < code.size();) {
        if (rng() % 3 == 0) {
            std::uint32_t rel = static_cast<std::uint32_t>(rng() % code.size()) - static_cast<std::uint32_t>(i + 5);
            code[i] = '\xE8';
            for (int k = 0; k < 4; ++k)
                code[i + 1 + k] = static_cast<char>(rel >> (8 * k));
            i += 5;
        } else {
            code[i++] = static_cast<char>(rng() % 32);
        }
    }
    std::string header(0x400, '\0');
    header[0] = 'M';
    header[1] = 'Z';
    header[0x3C] = '\x80';
    header.replace(0x80, 6, std::string("PE\0\0\x4c\x01", 6));
    auto relink = [&](std::string body, std::size_t at, std::size_t inserted) {
        // Calls from after the insertion to before it, and the reverse, change their displacement.
        for (std::size_t i = 0; i + 5 < body.size(); ++i) {
            if (body[i] != '\xE8')
                continue;
            std::uint32_t rel = 0;
            for (int k = 0; k < 4; ++k)
                rel |= static_cast<std::uint32_t>(static_cast<unsigned char>(body[i + 1 + k])) << (8 * k);
            std::uint64_t target = static_cast<std::uint32_t>(rel + static_cast<std::uint32_t>(i + 5));
            std::uint64_t newFrom = i >= at ? i + inserted : i, newTarget = target >= at ? target + inserted : target;
            std::uint32_t moved = static_cast<std::uint32_t>(newTarget - (newFrom + 5));
            for (int k = 0; k < 4; ++k)
                body[i + 1 + k] = static_cast<char>(moved >> (8 * k));
            i += 4;
        }
        body.insert(at, Noise(inserted, 22));
        return body;
    };
    std::string oldProgram = header + code;
    std::string newProgram = header + relink(code, code.size() / 3, 3000);
    Patch patch;
    auto codecs = BuiltCodecs({{"app.exe", oldProgram}}, {{"app.exe", newProgram}}, &patch);
    EXPECT_EQ(codecs["app.exe"], Codec::kMatchDelta);
    // Well below what exact matching alone makes of it.
    std::vector<std::uint8_t> zstdDelta;
    ASSERT_TRUE(EncodeZstd(reinterpret_cast<const std::uint8_t*>(newProgram.data()), newProgram.size(),
                           reinterpret_cast<const std::uint8_t*>(oldProgram.data()), oldProgram.size(), 19, &zstdDelta)
                    .ok());
    EXPECT_LT(patch.data.size() * 10, zstdDelta.size() * 7) << patch.data.size() << " vs " << zstdDelta.size();
}

}  // namespace
