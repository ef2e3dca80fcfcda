// Building patches: which encoding each file gets, groups of files sharing a frame, renamed files,
// programs whose code moved; whatever is chosen applies.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "codec.h"
#include "qvpatch/apply.h"
#include "qvpatch/build.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using namespace treetest;

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
    EXPECT_EQ(BuiltCodecs({{"same.txt", "same"}, {"text.txt", text}},
                          {{"same.txt", "same"}, {"text.txt", text + "!\n"}}, &patch),
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
    auto codecs =
        BuiltCodecs({{"a.txt", a}, {"b.txt", b}},
                    {{"a.txt", a + Lines(9000, 9100)}, {"b.txt", b + Lines(9000, 9100)}, {"c.txt", b}}, &patch);
    EXPECT_EQ(codecs, (std::map<std::string, Codec>{{"a.txt", Codec::kZstdGroupDelta},
                                                    {"b.txt", Codec::kZstdGroupDelta},
                                                    {"c.txt", Codec::kZstdGroupDelta}}));
    ASSERT_EQ(Groups(patch).size(), 1u);
    EXPECT_EQ(Groups(patch)[0].size(), 3u);
}

TEST(BuildTest, AGroupTooLargeForAStrongFrameIsMatched)
{
    // Two bundles of 4.5 MB that share their code, changed the same way: over 16 MiB of contents
    // together, which is matched rather than framed, the second copy of the change read from the
    // first. The patch is about one change's size.
    Patch patch;
    std::string shared = Lines(0, 130000);
    std::string change = Lines(200000, 200400);
    std::string oldA = "// a\n" + shared, oldB = "// b\n" + shared;
    auto insert = [&](std::string s) { return s.insert(s.size() / 2, change); };
    auto codecs =
        BuiltCodecs({{"a.js", oldA}, {"b.js", oldB}}, {{"a.js", insert(oldA)}, {"b.js", insert(oldB)}}, &patch);
    EXPECT_EQ(codecs,
              (std::map<std::string, Codec>{{"a.js", Codec::kGroupMatchDelta}, {"b.js", Codec::kGroupMatchDelta}}));
    EXPECT_GT(oldA.size() * 4, std::size_t{16} << 20);
    EXPECT_LT(patch.data.size(), Lines(200000, 200400).size() / 2);
}

TEST(BuildTest, FilesOfAGroupThatEncodeBetterOnTheirOwnKeepTheirOwnData)
{
    // Noise changed throughout: nothing shares, and each file is stored as it is, its bytes
    // taken out of the group's buffer.
    Patch patch;
    auto codecs = BuiltCodecs({{"a.bin", Noise(3000, 1)}, {"b.bin", Noise(5000, 2)}, {"c.bin", Noise(100, 3)}},
                              {{"a.bin", Noise(3000, 4)}, {"b.bin", Noise(5000, 5)}, {"c.bin", Noise(100, 6)}}, &patch);
    EXPECT_EQ(codecs, (std::map<std::string, Codec>{
                          {"a.bin", Codec::kStored}, {"b.bin", Codec::kStored}, {"c.bin", Codec::kStored}}));
    EXPECT_TRUE(Groups(patch).empty());
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
    EXPECT_EQ(codecs["app.exe"], Codec::kSplitMatchDelta);
    // Well below what exact matching alone makes of it.
    std::vector<std::uint8_t> zstdDelta;
    ASSERT_TRUE(EncodeZstd(reinterpret_cast<const std::uint8_t*>(newProgram.data()), newProgram.size(),
                           reinterpret_cast<const std::uint8_t*>(oldProgram.data()), oldProgram.size(), 19, &zstdDelta)
                    .ok());
    EXPECT_LT(patch.data.size() * 10, zstdDelta.size() * 7) << patch.data.size() << " vs " << zstdDelta.size();
}

// Files that change after the trees were listed, before a group's files are read: growing past
// their place in the group's buffer, shrinking, other bytes, gone, a directory or a link instead.
// The build fails on the first of them in name order, by name, whatever the threads' timing.
TEST(BuildTest, AFileThatChangesAfterListingIsRefusedByName)
{
    namespace fs = std::filesystem;
    const std::string text = Lines(0, 3000);
    auto write = [](const std::string& file, const std::string& content) {
        std::error_code ignored;
        fs::remove_all(fs::u8path(file), ignored);
        Make(fs::u8path(file).parent_path().u8string(), {{fs::u8path(file).filename().u8string(), content}});
    };
    struct Change {
        const char* what;
        std::function<bool(const std::string& file)> make;  // false: cannot be made here
    };
    const Change changes[] = {
        {"grows far past its place", [&](const std::string& f) { return write(f, text + text + text + text), true; }},
        {"grows by a byte", [&](const std::string& f) { return write(f, text + "!\nx"), true; }},
        {"shrinks", [&](const std::string& f) { return write(f, "short"), true; }},
        {"other bytes of the same size",
         [&](const std::string& f) { return write(f, "?" + text.substr(1) + "!\n"), true; }},
        {"removed", [&](const std::string& f) { return fs::remove(fs::u8path(f)); }},
        {"a directory",
         [&](const std::string& f) {
             fs::remove(fs::u8path(f));
             return fs::create_directory(fs::u8path(f));
         }},
        {"a link",
         [&](const std::string& f) {
             fs::remove(fs::u8path(f));
             return MakeDirectoryLink(fs::u8path(f).parent_path().u8string(), f);
         }},
    };
    std::map<std::string, std::string> oldTree, newTree;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
        oldTree[name] = text + name;
        newTree[name] = text + "!\n";
    }
    for (const Change& change : changes) {
        for (unsigned threads : {1u, 4u}) {
            SCOPED_TRACE(std::string(change.what) + ", threads " + std::to_string(threads));
            TempTree tmp;
            Make(tmp.Sub("old"), oldTree);
            Make(tmp.Sub("new"), newTree);
            bool changed = false, made = true;
            BuildOptions options;
            options.level = 3;
            options.threads = threads;
            // Told of every file of the group before any is read: c.txt and b.txt change then.
            options.onFile = [&](const std::string& name, std::size_t, std::size_t) {
                if (name != "a.txt" || changed)
                    return;
                changed = true;
                made = change.make(tmp.Sub("new") + "/c.txt") && change.make(tmp.Sub("new") + "/b.txt");
            };
            Patch patch;
            Result r = BuildPatch(NativeFileSystem(), tmp.Sub("old"), tmp.Sub("new"), options, &patch);
            if (!made)
                continue;  // no link on this system
            ASSERT_TRUE(changed);
            EXPECT_FALSE(r.ok());
            EXPECT_NE(r.message.find("b.txt"), std::string::npos) << r.message;
            EXPECT_EQ(r.message.find("c.txt"), std::string::npos) << r.message;
        }
    }
}

}  // namespace
