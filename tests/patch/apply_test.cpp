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
#include "codecs.h"
#include "fault_fs.h"
#include "match_delta.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using namespace treetest;

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
    EXPECT_TRUE(Snapshot(fs_, dir()) == NewTree())
        << "differences:" << treetest::Differences(Snapshot(fs_, dir()), NewTree());
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
    EXPECT_TRUE(Snapshot(fs_, dir()) == OldTree())
        << "differences:" << treetest::Differences(Snapshot(fs_, dir()), OldTree());
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
        EXPECT_TRUE(Snapshot(fs_, other.path()) == tree)
            << "differences:" << treetest::Differences(Snapshot(fs_, other.path()), tree) << name;
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
        ASSERT_TRUE(Snapshot(fs_, dir()) == OldTree())
            << "differences:" << treetest::Differences(Snapshot(fs_, dir()), OldTree()) << "stopped at question " << n;
    }
}

TEST_F(ApplyTest, AGroupAppliesWithEitherOfItsEncodings)
{
    // The builder keeps the smaller of the group's two encodings; the other is made here, over the
    // same old and new files one after the other, and must apply as well.
    ASSERT_EQ(Groups(patch_).size(), 1u);
    const std::vector<std::size_t> members = Groups(patch_)[0];
    const auto oldTree = OldTree(), newTree = NewTree();
    std::string olds, news;
    for (std::size_t i : members) {
        const Entry& e = patch_.entries[i];
        if (e.HasOld())
            olds += oldTree.at(e.name);
        if (e.HasNew())
            news += newTree.at(e.name);
    }
    const auto* o = reinterpret_cast<const std::uint8_t*>(olds.data());
    const auto* n = reinterpret_cast<const std::uint8_t*>(news.data());
    for (Codec codec : {Codec::kZstdGroupDelta, Codec::kGroupMatchDelta}) {
        std::vector<std::uint8_t> data;
        ASSERT_TRUE((codec == Codec::kZstdGroupDelta
                         ? EncodeZstd(n, news.size(), o, olds.size(), 3, &data)
                         : EncodeSplitMatchDelta(o, olds.size(), n, news.size(), MatchFilter::kNone, 3, &data))
                        .ok());
        Patch other = patch_;
        for (std::size_t i : members) {
            other.entries[i].codec = codec;
            other.entries[i].dataOffset = other.data.size();
            other.entries[i].dataLength = data.size();
        }
        other.data.insert(other.data.end(), data.begin(), data.end());
        std::vector<std::uint8_t> bytes = Serialize(other);
        Patch read;
        ASSERT_TRUE(Parse(bytes.data(), bytes.size(), &read).ok()) << CodecName(codec);
        TempTree target;
        Make(target.path(), OldTree());
        Recorder recorder;
        Result r = Apply(fs_, target.path(), read, recorder, ApplyOptions{}, &summary_);
        ASSERT_TRUE(r.ok()) << CodecName(codec) << ": " << r.message;
        EXPECT_TRUE(Snapshot(fs_, target.path()) == NewTree())
            << treetest::Differences(Snapshot(fs_, target.path()), NewTree());

        // Damaged anywhere in its data, the group is refused before the directory changes.
        for (std::size_t at = 0; at < data.size(); at += std::max<std::size_t>(1, data.size() / 16)) {
            Patch damaged = read;
            damaged.data[static_cast<std::size_t>(read.entries[members[0]].dataOffset) + at] ^= 0x41;
            TempTree fresh;
            Make(fresh.path(), OldTree());
            r = Apply(fs_, fresh.path(), damaged, recorder, ApplyOptions{}, &summary_);
            EXPECT_FALSE(r.ok()) << CodecName(codec) << " at " << at;
            EXPECT_TRUE(Snapshot(fs_, fresh.path()) == OldTree()) << CodecName(codec) << " at " << at;
        }
    }
}

TEST_F(ApplyTest, FilesThatPassTheirShortChecksAreVerifiedWhole)
{
    // The patch as a file holds the start of each hash; forged entries stand for files that agree
    // with them there and nowhere else.
    std::vector<std::uint8_t> bytes = Serialize(patch_);
    Patch read;
    ASSERT_TRUE(Parse(bytes.data(), bytes.size(), &read).ok());
    ASSERT_EQ(read.CheckBytes(), kShortCheckBytes);
    // A removed file that a group reads, and so decodes to new files that fail their own checks.
    std::size_t removed = read.entries.size();
    for (std::size_t i = 0; i < read.entries.size(); ++i)
        if (read.entries[i].kind == EntryKind::kRemovedFile && CodecOf(read.entries[i].codec).shared)
            removed = i;
    ASSERT_LT(removed, read.entries.size());
    const std::string other = "not what was released";
    auto tree = OldTree();
    tree[read.entries[removed].name] = other;
    Make(dir(), tree);
    Patch forged = read;
    forged.entries[removed].oldSize = other.size();
    forged.entries[removed].oldHash = HashBytes(read.FileHashKind(), other.data(), other.size());
    for (bool checkOnly : {true, false}) {
        Recorder recorder;
        ApplyOptions options;
        options.checkOnly = checkOnly;
        Result r = Apply(fs_, dir(), forged, recorder, options, &summary_);
        EXPECT_EQ(r.status, Status::kWrongVersion) << r.message;
        EXPECT_NE(r.message.find("old contents"), std::string::npos) << r.message;
        EXPECT_TRUE(Snapshot(fs_, dir()) == tree) << treetest::Differences(Snapshot(fs_, dir()), tree);
    }

    // New files that do not make up the new contents: the update is refused once they are built,
    // before the directory changes; and a directory found with them is not taken as up to date.
    Make(dir(), OldTree());
    forged = read;
    forged.newContents[5] ^= 1;
    Recorder recorder;
    Result r = Apply(fs_, dir(), forged, recorder, ApplyOptions{}, &summary_);
    EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
    EXPECT_TRUE(Snapshot(fs_, dir()) == OldTree()) << treetest::Differences(Snapshot(fs_, dir()), OldTree());
    ASSERT_TRUE(Apply(fs_, dir(), read, recorder, ApplyOptions{}, &summary_).ok());
    EXPECT_FALSE(summary_.alreadyCurrent);
    r = Apply(fs_, dir(), forged, recorder, ApplyOptions{}, &summary_);
    EXPECT_EQ(r.status, Status::kWrongVersion) << r.message;
    EXPECT_NE(r.message.find("new contents"), std::string::npos) << r.message;
    ASSERT_TRUE(Apply(fs_, dir(), read, recorder, ApplyOptions{}, &summary_).ok());
    EXPECT_TRUE(summary_.alreadyCurrent);
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
        EXPECT_TRUE(Snapshot(fs_, dir()) == OldTree())
            << "differences:" << treetest::Differences(Snapshot(fs_, dir()), OldTree()) << e.name;
    }
}

TEST_F(ApplyTest, AStaleWorkAreaIsClearedAndADamagedJournalRefused)
{
    // A work area without a journal: an earlier update stopped before its commit.
    Make(dir(), {{".qvpatch.tmp/new-3", "half a file"}});
    Recorder recorder;
    ASSERT_TRUE(Run(recorder).ok());
    EXPECT_TRUE(Snapshot(fs_, dir()) == NewTree())
        << "differences:" << treetest::Differences(Snapshot(fs_, dir()), NewTree());

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
    std::filesystem::permissions(readme,
                                 std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    Recorder recorder;
    ASSERT_TRUE(Run(recorder).ok());
    EXPECT_TRUE(Snapshot(fs_, dir()) == NewTree())
        << "differences:" << treetest::Differences(Snapshot(fs_, dir()), NewTree());
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
    EXPECT_TRUE(Snapshot(fs_, dir()) == expected)
        << "differences:" << treetest::Differences(Snapshot(fs_, dir()), expected);
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

// A patch file too large to hold (here: any) is checked whole first, then its data read by
// position as each entry is decoded: the same update, and the same refusals of damage.
TEST_F(ApplyTest, APatchReadByPositionAppliesAndIsCheckedWholeFirst)
{
    std::vector<std::uint8_t> bytes = Serialize(patch_);
    const std::string file = tmp_.Sub("update.pat");
    auto WriteBytes = [&](const std::string&, const std::vector<std::uint8_t>& b) {
        Make(tmp_.path(), {{"update.pat", std::string(b.begin(), b.end())}});
    };
    WriteBytes(file, bytes);
    Patch byPosition;
    ASSERT_TRUE(LoadPatchFile(fs_, file, &byPosition, 0).ok());
    ASSERT_TRUE(byPosition.file != nullptr);
    EXPECT_TRUE(byPosition.data.empty());
    EXPECT_EQ(byPosition.DataSize(), patch_.data.size());
    EXPECT_EQ(byPosition.entries.size(), patch_.entries.size());
    byPosition = Patch();  // the file closed, so that it may be written again
    // Damage anywhere, in the table or the data, is found before anything is read further.
    for (std::size_t at : {std::size_t{30}, bytes.size() / 2, bytes.size() - 40}) {
        std::vector<std::uint8_t> bad = bytes;
        bad[at] ^= 1;
        WriteBytes(file, bad);
        Patch damaged;
        EXPECT_EQ(LoadPatchFile(fs_, file, &damaged, 0).status, Status::kPatchCorrupt) << at;
    }
    WriteBytes(file, bytes);
    Patch again;
    ASSERT_TRUE(LoadPatchFile(fs_, file, &again, 0).ok());
    Recorder recorder;
    ApplySummary summary;
    ASSERT_TRUE(Apply(fs_, dir(), again, recorder, ApplyOptions{}, &summary).ok());
    EXPECT_TRUE(Snapshot(fs_, dir()) == NewTree())
        << "differences:" << treetest::Differences(Snapshot(fs_, dir()), NewTree());
    // A patch file cut short after it was checked: refused as corrupt, nothing changed. (On
    // Windows the open patch file cannot be written at all.)
    Make(tmp_.Sub("second"), OldTree());
    ASSERT_TRUE(LoadPatchFile(fs_, file, &again, 0).ok());
    WriteBytes(file,
               std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2)));
    Result r = Apply(fs_, tmp_.Sub("second"), again, recorder, ApplyOptions{}, &summary);
#ifdef _WIN32
    EXPECT_EQ(std::filesystem::file_size(std::filesystem::u8path(file)), bytes.size());
    EXPECT_TRUE(r.ok()) << r.message;
#else
    EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
    EXPECT_TRUE(Snapshot(fs_, tmp_.Sub("second")) == OldTree());
#endif
}

// The patch from one tree to the other, both made under tmp.
Result BuildBetween(const TempTree& tmp, const std::map<std::string, std::string>& oldTree,
                    const std::map<std::string, std::string>& newTree, Patch* patch)
{
    Make(tmp.Sub("old"), oldTree);
    Make(tmp.Sub("new"), newTree);
    BuildOptions options;
    options.level = 3;
    return BuildPatch(NativeFileSystem(), tmp.Sub("old"), tmp.Sub("new"), options, patch);
}

// Noise with runs of zeros: binary data the builder matches approximately.
std::string Binary(std::size_t size, unsigned seed)
{
    std::string noise = Noise(size, seed);
    for (std::size_t at = 0; at < size; at += 128)
        std::fill_n(noise.begin() + static_cast<std::ptrdiff_t>(at), std::min<std::size_t>(48, size - at), '\0');
    return noise;
}

TEST(ApplyLargeOldFiles, AnOldFileOfTheRightSizeWithOtherContentsIsRefused)
{
    // Large binary files (each a delta of its own) whose new versions are of other sizes, so that
    // only their decoding reads the old ones: one byte changed anywhere in the installed copy is
    // told, and nothing changes. One of them with a piece of the new version found in no old bytes
    // a record reads.
    FileSystem& fs = NativeFileSystem();
    TempTree tmp;
    const std::map<std::string, std::string> oldTree = {{"app.exe", Binary(2 << 20, 11)},
                                                        {"core.dll", Binary((1 << 20) + 64, 12)}};
    std::map<std::string, std::string> newTree = oldTree;
    newTree["app.exe"].insert(1000000, "inserted");
    std::string& core = newTree["core.dll"];
    core.replace(300000, 40000, core.substr(700000, 40000));
    core.erase(700000, 50000);
    Patch patch;
    ASSERT_TRUE(BuildBetween(tmp, oldTree, newTree, &patch).ok());
    for (const Entry& e : patch.entries) {
        ASSERT_FALSE(CodecOf(e.codec).shared) << e.name;
        ASSERT_TRUE(CodecOf(e.codec).usesOld && !CodecOf(e.codec).streamsOld) << e.name;
    }
    for (const char* name : {"app.exe", "core.dll"})
        for (std::size_t at : {std::size_t{0}, std::size_t{320000}, std::size_t{999999}, oldTree.at(name).size() - 1}) {
            SCOPED_TRACE(::testing::Message() << name << " changed at " << at);
            std::map<std::string, std::string> tree = oldTree;
            tree[name][at] ^= 0x20;
            Make(tmp.Sub("installed"), tree);
            Recorder recorder;
            ApplySummary summary;
            Result r = Apply(fs, tmp.Sub("installed"), patch, recorder, ApplyOptions{}, &summary);
            EXPECT_EQ(r.status, Status::kWrongVersion) << r.message;
            EXPECT_NE(r.message.find(name), std::string::npos) << r.message;
            EXPECT_TRUE(Snapshot(fs, tmp.Sub("installed")) == tree);
            std::filesystem::remove_all(std::filesystem::u8path(tmp.Sub("installed")));
        }
    Make(tmp.Sub("installed"), oldTree);
    Recorder recorder;
    ApplySummary summary;
    ASSERT_TRUE(Apply(fs, tmp.Sub("installed"), patch, recorder, ApplyOptions{}, &summary).ok());
    EXPECT_TRUE(Snapshot(fs, tmp.Sub("installed")) == newTree);
}

// A new file whose second copy of a new MiB lies 5 MiB after the first: the records read it back
// from what was written, while the pieces after it are hashed and written beside. Bytes are
// changed all over, as a few in place cost the split match delta little and zstd much.
struct WrittenBeside {
    TempTree tmp;
    std::map<std::string, std::string> oldTree, newTree;
    Patch patch;

    WrittenBeside()
    {
        const std::string old = Binary(6 << 20, 31), added = Binary(1 << 20, 32);
        std::string changed = old, again = added;
        for (std::size_t at = 0; at < changed.size(); at += 512)
            ++changed[at];
        again[1000] ^= 1;
        oldTree = {{"data.bin", old}};
        newTree = {{"data.bin", changed.substr(0, 1 << 20) + added + changed.substr(1 << 20, 4 << 20) + again +
                                    changed.substr(5 << 20)}};
        EXPECT_TRUE(BuildBetween(tmp, oldTree, newTree, &patch).ok());
    }
    std::string dir() const { return tmp.Sub("installed"); }
    void Reset() const
    {
        std::filesystem::remove_all(std::filesystem::u8path(dir()));
        Make(dir(), oldTree);
    }
};

TEST(ApplyWrittenBeside, AFileReadBackAsItIsWrittenComesOutWholeAndAFailedWriteIsTold)
{
    WrittenBeside trees;
    FileSystem& fs = NativeFileSystem();
    long writes = 0, readsBack = 0;
    {
        trees.Reset();
        faulttest::FaultFs counting(fs);
        counting.OnOperation([&](const std::string& what) {
            writes += what == "write";
            readsBack += what == "read back";
        });
        Recorder recorder;
        ApplySummary summary;
        ASSERT_TRUE(Apply(counting, trees.dir(), trees.patch, recorder, ApplyOptions{}, &summary).ok());
        EXPECT_TRUE(Snapshot(fs, trees.dir()) == trees.newTree);
    }
    ASSERT_GT(readsBack, 0);
    ASSERT_GT(writes, 8);
    // A write that fails, wherever it falls (the first piece, the middle, the last), is told as
    // what it was, and the directory stays as it was.
    for (long nth : {1L, writes / 2, writes}) {
        SCOPED_TRACE(::testing::Message() << "write " << nth << " of " << writes);
        trees.Reset();
        faulttest::FaultFs failing(fs);
        failing.FailNamed("write", nth, "the disk is full");
        Recorder recorder;
        ApplySummary summary;
        Result r = Apply(failing, trees.dir(), trees.patch, recorder, ApplyOptions{}, &summary);
        EXPECT_EQ(r.status, Status::kIoError) << r.message;
        EXPECT_NE(r.message.find("the disk is full"), std::string::npos) << r.message;
        EXPECT_TRUE(Snapshot(fs, trees.dir()) == trees.oldTree);
    }
}

TEST(ApplyWrittenBeside, AWorkFileCutShortMeanwhileIsNeverInstalled)
{
    // Another program cuts the new file short in the work area while it is written (before the
    // second piece, the fourth, or a read back): the pieces after it must not fill it out again
    // to its size with a hole where the bytes cut were, and be installed so.
    WrittenBeside trees;
    FileSystem& fs = NativeFileSystem();
    const std::string work = trees.dir() + "/" + kWorkAreaName + "/new-0";
    for (const bool half : {false, true})
        for (const auto& [what, nth] : {std::pair<std::string, long>{"write", 2}, {"write", 4}, {"read back", 1}}) {
            SCOPED_TRACE(::testing::Message()
                         << (half ? "cut to half" : "cut to nothing") << " at " << what << " " << nth);
            trees.Reset();
            faulttest::FaultFs cutting(fs);
            long seen = 0;
            bool cut = false;
            cutting.OnOperation([&](const std::string& op) {
                if (op != what || ++seen != nth)
                    return;
                std::error_code ec;
                const auto path = std::filesystem::u8path(work);
                std::filesystem::resize_file(path, half ? std::filesystem::file_size(path, ec) / 2 : 0, ec);
                cut = !ec;
            });
            Recorder recorder;
            ApplySummary summary;
            Result r = Apply(cutting, trees.dir(), trees.patch, recorder, ApplyOptions{}, &summary);
            if (!cut)
                continue;  // where the system does not let another program cut it
            EXPECT_EQ(r.status, Status::kIoError) << r.message;
            EXPECT_TRUE(SameTree(Snapshot(fs, trees.dir()), trees.oldTree));
        }
}

TEST(ApplyWrittenBeside, WhatAWriteBesideThrowsEndsTheDecodingThere)
{
    // The piece a write that threw had is not in the file: nothing after it is written or read
    // back, and what was thrown comes out of the apply, the directory as it was.
    WrittenBeside trees;
    FileSystem& fs = NativeFileSystem();
    for (long nth : {1L, 3L}) {
        SCOPED_TRACE(::testing::Message() << "write " << nth);
        trees.Reset();
        faulttest::FaultFs throwing(fs);
        long writes = 0, after = 0;
        throwing.OnOperation([&](const std::string& op) {
            if (op != "write" && op != "read back")
                return;
            if (writes >= nth)
                ++after;
            if (op == "write" && ++writes == nth)
                throw std::bad_alloc();
        });
        Recorder recorder;
        ApplySummary summary;
        EXPECT_THROW(Apply(throwing, trees.dir(), trees.patch, recorder, ApplyOptions{}, &summary), std::bad_alloc);
        EXPECT_EQ(after, 0);
        std::map<std::string, std::string> files = Snapshot(fs, trees.dir());
        for (auto it = files.begin(); it != files.end();)
            it = it->first.rfind(kWorkAreaName, 0) == 0 ? files.erase(it) : std::next(it);
        EXPECT_TRUE(SameTree(files, trees.oldTree));
    }
}

}  // namespace
