// Forged version 6 tables: the entry table of a real patch unpacked, changed field by field (short
// checks, contents checks, counts, bytes cut off or added), packed again and sealed with a fresh
// integrity check, as anyone can for an unsigned patch. Whatever a reader takes, applying it either
// makes the new tree or leaves the old one byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "codec.h"
#include "journal.h"
#include "qvpatch/apply.h"
#include "qvpatch/build.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using namespace treetest;

using Files = std::map<std::string, std::string>;

Files OldTree()
{
    std::string text;
    for (int i = 0; i < 400; ++i)
        text += "line " + std::to_string(i * 37 % 101) + "\n";
    return {{"app.exe", Noise(60000, 1)}, {"a.txt", "a " + text}, {"b.txt", "b " + text},
            {"gone.txt", "gone " + text}, {"sub/", ""},           {"sub/same.txt", "same"},
            {"sub/c.txt", "c " + text}};
}

Files NewTree()
{
    Files t = OldTree();
    t["app.exe"].replace(30000, 8, "VERSION2");
    t["a.txt"] += "a more\n";
    t["b.txt"] += "b more\n";
    t.erase("gone.txt");
    t["renamed.txt"] = "gone " + OldTree()["a.txt"].substr(2) + "x";
    t["sub/c.txt"] = "c changed";
    t["added/"] = "";
    t["added/new.bin"] = Noise(5000, 4);
    return t;
}

class Quiet : public ApplyObserver {};

std::multiset<std::string> Contents(const Files& tree)
{
    std::multiset<std::string> all;
    for (const auto& [name, contents] : tree)
        if (name.back() != '/')
            all.insert(contents);
    return all;
}

// The pieces of a serialized version 6 patch: header, unpacked table, data section.
struct Pieces {
    std::vector<std::uint8_t> header;  // 24 bytes
    std::vector<std::uint8_t> table;   // unpacked
    std::vector<std::uint8_t> data;
};

Pieces Split(const std::vector<std::uint8_t>& bytes)
{
    Pieces p;
    p.header.assign(bytes.begin(), bytes.begin() + 24);
    std::uint64_t frameLength = 0, dataSize = 0;
    for (int k = 7; k >= 0; --k) {
        frameLength = frameLength << 8 | bytes[24 + k];
        dataSize = dataSize << 8 | bytes[16 + k];
    }
    DataSource frame(bytes.data() + 32, static_cast<std::size_t>(frameLength));
    unsigned long long declared = 0;
    EXPECT_TRUE(FrameContentSize(frame, &declared).ok());
    EXPECT_TRUE(DecodeFrame("table", frame, nullptr, 0, declared, [&](const std::uint8_t* d, std::size_t n) {
                    p.table.insert(p.table.end(), d, d + n);
                    return Result::Ok();
                }).ok());
    const std::size_t dataStart = 32 + static_cast<std::size_t>(frameLength);
    p.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(dataStart),
                  bytes.begin() + static_cast<std::ptrdiff_t>(dataStart + dataSize));
    return p;
}

std::vector<std::uint8_t> Join(const Pieces& p, std::uint32_t count)
{
    std::vector<std::uint8_t> out = p.header;
    for (int k = 0; k < 4; ++k)
        out[12 + k] = static_cast<std::uint8_t>(count >> (8 * k));
    std::vector<std::uint8_t> frame;
    EXPECT_TRUE(EncodeZstd(p.table.data(), p.table.size(), nullptr, 0, 3, &frame).ok());
    for (int k = 0; k < 8; ++k)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(frame.size()) >> (8 * k)));
    out.insert(out.end(), frame.begin(), frame.end());
    out.insert(out.end(), p.data.begin(), p.data.end());
    const Digest integrity =
        HashBytes(FileHashOf(static_cast<std::uint16_t>(out[8] | out[9] << 8)), out.data(), out.size());
    out.insert(out.end(), integrity.begin(), integrity.end());
    return out;
}

class ForgedTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Make(tmp_.Sub("old"), OldTree());
        Make(tmp_.Sub("new"), NewTree());
        BuildAndRead(fs_, tmp_, &read_, &bytes_);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(read_.version, kFormatVersion);
        count_ = static_cast<std::uint32_t>(read_.entries.size());
    }

    std::string dir() const { return tmp_.Sub("installed"); }

    // Applies bytes (when they parse) to a fresh old tree: the tree is then new on success, and old
    // on failure.
    void ExpectAllOrNothing(const std::vector<std::uint8_t>& bytes, const std::string& what, bool* applied = nullptr)
    {
        Patch forged;
        if (!Parse(bytes.data(), bytes.size(), &forged).ok())
            return;
        for (bool checkOnly : {true, false}) {
            Make(dir(), OldTree());
            Quiet quiet;
            ApplyOptions options;
            options.checkOnly = checkOnly;
            ApplySummary summary;
            Result r = Apply(fs_, dir(), forged, quiet, options, &summary);
            Files now = Snapshot(fs_, dir());
            if (r.ok() && !checkOnly) {
                // The contents checks cover the files' contents, not their names (a changed name is
                // another patch, which the integrity check or a signature vouches for): what was
                // made holds exactly the new files' contents.
                EXPECT_TRUE(Contents(now) == Contents(NewTree())) << what << ": " << Differences(now, NewTree());
                if (applied)
                    *applied = true;
            } else {
                EXPECT_TRUE(now == OldTree()) << what << " (" << r.message << "): " << Differences(now, OldTree());
            }
            std::filesystem::remove_all(dir());
        }
    }

    FileSystem& fs_ = NativeFileSystem();
    TempTree tmp_;
    std::vector<std::uint8_t> bytes_;
    Patch read_;
    std::uint32_t count_ = 0;
};

TEST_F(ForgedTableTest, EveryByteOfTheTableFlippedIsRefusedOrHarmless)
{
    Pieces p = Split(bytes_);
    ASSERT_GT(p.table.size(), 64u);
    // Every byte of the table changed in turn (names, kinds, sizes, short checks, contents checks).
    bool anyApplied = false;
    for (std::size_t at = 0; at < p.table.size(); ++at) {
        Pieces forged = p;
        forged.table[at] ^= 0x01;
        bool applied = false;
        ExpectAllOrNothing(Join(forged, count_), "byte " + std::to_string(at), &applied);
        anyApplied |= applied;
    }
    // The unchanged table applies: the loop above can tell success from failure.
    bool applied = false;
    ExpectAllOrNothing(Join(p, count_), "unchanged", &applied);
    EXPECT_TRUE(applied);
}

TEST_F(ForgedTableTest, TablesCutShortOrLongerOrMiscountedAreCorrupt)
{
    Pieces p = Split(bytes_);
    for (std::size_t cut : {1u, 8u, 32u, 63u, 64u, 65u}) {
        Pieces forged = p;
        forged.table.resize(forged.table.size() - cut);
        Patch out;
        std::vector<std::uint8_t> b = Join(forged, count_);
        EXPECT_EQ(Parse(b.data(), b.size(), &out).status, Status::kPatchCorrupt) << "cut " << cut;
    }
    for (std::size_t extra : {1u, 32u, 64u}) {
        Pieces forged = p;
        forged.table.insert(forged.table.end(), extra, 0);
        Patch out;
        std::vector<std::uint8_t> b = Join(forged, count_);
        EXPECT_EQ(Parse(b.data(), b.size(), &out).status, Status::kPatchCorrupt) << "extra " << extra;
    }
    for (std::uint32_t count : {count_ - 1, count_ + 1}) {
        Patch out;
        std::vector<std::uint8_t> b = Join(p, count);
        EXPECT_EQ(Parse(b.data(), b.size(), &out).status, Status::kPatchCorrupt) << "count " << count;
    }
}

// No entries: the table is the two contents checks alone. Over no files, the new contents check
// has one right value; any other is the patch's fault, not the directory's.
TEST_F(ForgedTableTest, APatchWithNoEntriesAndAWrongCheckIsCorrupt)
{
    Pieces p = Split(bytes_);
    Pieces empty = p;
    empty.data.clear();
    const Digest none = ContentsCheck({});
    empty.table.assign(none.begin(), none.end());
    empty.table.insert(empty.table.end(), none.begin(), none.end());
    for (int k = 16; k < 24; ++k)
        empty.header[static_cast<std::size_t>(k)] = 0;
    std::vector<std::uint8_t> b = Join(empty, 0);
    Patch ok;
    ASSERT_TRUE(Parse(b.data(), b.size(), &ok).ok());
    Make(dir(), OldTree());
    Quiet quiet;
    ApplySummary summary;
    Result r = Apply(fs_, dir(), ok, quiet, ApplyOptions{}, &summary);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(summary.alreadyCurrent);

    empty.table[40] ^= 1;  // the new contents check
    b = Join(empty, 0);
    Patch bad;
    Result refused = Parse(b.data(), b.size(), &bad);
    EXPECT_EQ(refused.status, Status::kPatchCorrupt) << refused.message;
    EXPECT_NE(refused.message.find("over no files"), std::string::npos) << refused.message;
}

// A patch that only adds files reads no old file: its old contents check is over no files, and
// when it does not match that, the patch is at fault, whatever the directory holds.
TEST(ForgedChecksTest, AnOldCheckOverNoFilesThatDoesNotMatchIsTheCorruptPatchs)
{
    FileSystem& fs = NativeFileSystem();
    TempTree tmp;
    Files old = {{"keep.txt", "kept"}};
    Files added = old;
    added["new.txt"] = "added file";
    Make(tmp.Sub("old"), old);
    Make(tmp.Sub("new"), added);
    Patch read;
    std::vector<std::uint8_t> bytes;
    BuildAndRead(fs, tmp, &read, &bytes);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(read.oldContents, ContentsCheck({}));
    Patch forged = read;
    forged.oldContents[0] ^= 1;
    bytes = Serialize(forged);  // sealed again, as anyone can
    Result r = Parse(bytes.data(), bytes.size(), &forged);
    EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
    EXPECT_NE(r.message.find("over no files"), std::string::npos) << r.message;
}

}  // namespace
