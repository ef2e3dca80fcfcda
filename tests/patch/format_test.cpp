// The patch file's format: what a reader accepts, and every kind of hostile or damaged patch it
// refuses, with patches built byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec.h"
#include "qvpatch/patch_file.h"

namespace {

using namespace qvpatch;

// A patch file written field by field, with a correct integrity check unless told otherwise.
class Bytes {
public:
    Bytes& U8(std::uint8_t v)
    {
        b_.push_back(v);
        return *this;
    }
    Bytes& U16(std::uint16_t v) { return Le(v, 2); }
    Bytes& U32(std::uint32_t v) { return Le(v, 4); }
    Bytes& U64(std::uint64_t v) { return Le(v, 8); }
    Bytes& Text(const std::string& s)
    {
        b_.insert(b_.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& Hash(const Digest& d)
    {
        b_.insert(b_.end(), d.begin(), d.end());
        return *this;
    }
    Bytes& Header(std::uint32_t entries, std::uint64_t dataSize, std::uint16_t version = 1, std::uint16_t flags = 0)
    {
        Text(std::string(kMagic, sizeof kMagic));
        return U16(version).U16(flags).U32(entries).U64(dataSize);
    }
    // An added file entry with stored data.
    Bytes& Added(const std::string& name, const std::string& content, std::uint64_t offset)
    {
        U8(2).U8(0).U16(static_cast<std::uint16_t>(name.size())).Text(name);
        return U64(content.size()).Hash(Sha256(content.data(), content.size())).U64(offset).U64(content.size());
    }
    Bytes& Dir(const std::string& name, std::uint8_t kind = 4)
    {
        return U8(kind).U8(0).U16(static_cast<std::uint16_t>(name.size())).Text(name);
    }
    // Everything after the header (the entry table so far) packed as version 5 has it: its length,
    // then one zstd frame; extra bytes follow the frame inside the length.
    Bytes& Packed(std::size_t headerSize = 24, const std::string& extra = "")
    {
        std::vector<std::uint8_t> table(b_.begin() + static_cast<std::ptrdiff_t>(headerSize), b_.end());
        std::vector<std::uint8_t> frame;
        EXPECT_TRUE(EncodeZstd(table.data(), table.size(), nullptr, 0, 3, &frame).ok());
        frame.insert(frame.end(), extra.begin(), extra.end());
        b_.resize(headerSize);
        U64(frame.size());
        b_.insert(b_.end(), frame.begin(), frame.end());
        return *this;
    }
    std::vector<std::uint8_t> Sealed() const
    {
        std::vector<std::uint8_t> out = b_;
        // The integrity check is the hash the header's version tells files by.
        const Digest d =
            HashBytes(FileHashOf(static_cast<std::uint16_t>(out[8] | out[9] << 8)), out.data(), out.size());
        out.insert(out.end(), d.begin(), d.end());
        return out;
    }

private:
    Bytes& Le(std::uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            b_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    std::vector<std::uint8_t> b_;
};

Result ParseBytes(const std::vector<std::uint8_t>& bytes, Patch* patch = nullptr)
{
    Patch ignored;
    return Parse(bytes.data(), bytes.size(), patch ? patch : &ignored);
}

std::vector<std::uint8_t> OneAddedFile(const std::string& name, const std::string& content = "hello")
{
    return Bytes().Header(1, content.size()).Added(name, content, 0).Text(content).Sealed();
}

TEST(PatchFormatTest, HandBuiltPatchReadsBack)
{
    Patch patch;
    ASSERT_TRUE(
        ParseBytes(Bytes().Header(2, 5).Dir("docs").Added("docs/readme.txt", "hello", 0).Text("hello").Sealed(), &patch)
            .ok());
    ASSERT_EQ(patch.entries.size(), 2u);
    EXPECT_EQ(patch.entries[0].kind, EntryKind::kAddedDirectory);
    EXPECT_EQ(patch.entries[1].name, "docs/readme.txt");
    EXPECT_EQ(patch.entries[1].newSize, 5u);
    EXPECT_EQ(std::string(patch.data.begin(), patch.data.end()), "hello");
}

TEST(PatchFormatTest, SerializeAndParseAgree)
{
    Patch patch;
    Entry changed;
    changed.kind = EntryKind::kChangedFile;
    changed.codec = Codec::kZstdDelta;
    changed.name = "bin/app.exe";
    changed.oldSize = 3;
    changed.oldHash = Sha256("old", 3);
    changed.newSize = 3;
    changed.newHash = Sha256("new", 3);
    changed.dataLength = 4;
    Entry removed;
    removed.kind = EntryKind::kRemovedFile;
    removed.name = "bin/old.dll";
    removed.oldSize = 1;
    patch.entries = {changed, removed};
    patch.data = {1, 2, 3, 4};
    // As the table is, and packed (version 5, what a builder writes).
    for (std::uint16_t version : {kUnsignedFormatVersion, kPackedTableFormatVersion}) {
        patch.version = version;
        std::vector<std::uint8_t> bytes = Serialize(patch);
        Patch back;
        ASSERT_TRUE(ParseBytes(bytes, &back).ok()) << version;
        ASSERT_EQ(back.entries.size(), 2u);
        EXPECT_EQ(back.version, version);
        EXPECT_EQ(back.entries[0].codec, Codec::kZstdDelta);
        EXPECT_EQ(back.entries[0].oldHash, changed.oldHash);
        EXPECT_EQ(back.entries[1].oldSize, 1u);
        EXPECT_EQ(back.data, patch.data);
        EXPECT_EQ(Serialize(back), bytes);
    }
}

TEST(PatchFormatTest, ShortChecksKeepTheStartOfEachHashAndTheContentsChecksWhole)
{
    Patch patch;
    for (int i = 0; i < 20; ++i) {
        Entry e;
        e.kind = EntryKind::kChangedFile;
        e.codec = Codec::kZstdDelta;
        e.name = "lib/part" + std::to_string(i) + ".js";
        const std::string oldText = "old " + std::to_string(i), newText = "new " + std::to_string(i);
        e.oldSize = oldText.size();
        e.oldHash = Sha256(oldText.data(), oldText.size());
        e.newSize = newText.size();
        e.newHash = Sha256(newText.data(), newText.size());
        e.dataLength = 4;
        patch.entries.push_back(e);
    }
    patch.data = {1, 2, 3, 4};
    patch.version = kPackedTableFormatVersion;
    const std::vector<std::uint8_t> whole = Serialize(patch);
    patch.version = kShortCheckFormatVersion;
    SetContentsChecks(&patch);
    const std::vector<std::uint8_t> bytes = Serialize(patch);
    // 24 bytes fewer for each of 40 hashes, 64 more for the two contents checks.
    EXPECT_LE(bytes.size() + 40 * 24 - 64 - 32, whole.size());

    Patch back;
    ASSERT_TRUE(ParseBytes(bytes, &back).ok());
    ASSERT_EQ(back.entries.size(), 20u);
    EXPECT_EQ(back.CheckBytes(), kShortCheckBytes);
    for (std::size_t i = 0; i < back.entries.size(); ++i) {
        EXPECT_TRUE(back.Matches(patch.entries[i].oldHash, back.entries[i].oldHash));
        EXPECT_TRUE(back.Matches(patch.entries[i].newHash, back.entries[i].newHash));
        EXPECT_FALSE(back.Matches(patch.entries[i].newHash, back.entries[i].oldHash));
    }
    EXPECT_EQ(back.oldContents, patch.oldContents);
    EXPECT_EQ(back.newContents, patch.newContents);
    EXPECT_NE(back.oldContents, back.newContents);
    EXPECT_EQ(Serialize(back), bytes);

    // A table without its contents checks, or with bytes after them, is refused.
    const std::string x = "hello";
    auto added = [&](Bytes b) {
        return b.U8(2).U8(0).U16(1).Text("a").U64(x.size()).Text(std::string(8, 'h')).U64(0).U64(x.size());
    };
    // (No old files: the old contents check is the check of nothing.)
    const Digest none = ContentsCheck({});
    ASSERT_TRUE(ParseBytes(added(Bytes().Header(1, 5, 6)).Hash(none).Hash({}).Packed().Text(x).Sealed()).ok());
    Result r = ParseBytes(added(Bytes().Header(1, 5, 6)).Hash(none).Packed().Text(x).Sealed());
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("cut short"), std::string::npos) << r.message;
    r = ParseBytes(added(Bytes().Header(1, 5, 6)).Hash(none).Hash({}).U8(0).Packed().Text(x).Sealed());
    EXPECT_NE(r.message.find("left over"), std::string::npos) << r.message;

    // The entries of a group share one codec as they share their data; codec 7 is version 6's.
    auto changed = [&](Bytes& b, const std::string& name, std::uint8_t codec) -> Bytes& {
        const std::string check(8, 'c');
        return b.U8(1).U8(codec).U16(1).Text(name).U64(1).Text(check).U64(1).Text(check).U64(0).U64(x.size());
    };
    for (std::uint8_t second : {3, 7}) {
        Bytes b = Bytes().Header(2, 5, 6);
        changed(changed(b, "a", 7), "b", second).Hash({}).Hash({});
        r = ParseBytes(b.Packed().Text(x).Sealed());
        if (second == 7) {
            EXPECT_TRUE(r.ok()) << r.message;
        } else {
            EXPECT_EQ(r.status, Status::kPatchCorrupt);
            EXPECT_NE(r.message.find("different codecs"), std::string::npos) << r.message;
        }
    }
    r = ParseBytes(Bytes()
                       .Header(1, 5, 5)
                       .U8(1)
                       .U8(7)
                       .U16(1)
                       .Text("a")
                       .U64(1)
                       .Hash({})
                       .U64(1)
                       .Hash({})
                       .U64(0)
                       .U64(5)
                       .Packed()
                       .Text(x)
                       .Sealed());
    EXPECT_NE(r.message.find("codec 7"), std::string::npos) << r.message;
}

TEST(PatchFormatTest, APackedTableReadsBackOrIsRefused)
{
    const std::string x = "hello";
    Patch patch;
    const std::vector<std::uint8_t> good =
        Bytes().Header(2, 5, 5).Dir("docs").Added("docs/a", x, 0).Packed().Text(x).Sealed();
    ASSERT_TRUE(ParseBytes(good, &patch).ok());
    ASSERT_EQ(patch.entries.size(), 2u);
    EXPECT_EQ(patch.entries[1].name, "docs/a");
    EXPECT_EQ(std::string(patch.data.begin(), patch.data.end()), x);
    // The frame as read is written back (zstd may pack the same table in other ways), until the
    // entries change.
    EXPECT_EQ(Serialize(patch), good);
    patch.entries[0].name = "doc";
    patch.entries[1].name = "doc/a";
    Patch renamed;
    ASSERT_TRUE(ParseBytes(Serialize(patch), &renamed).ok());
    EXPECT_EQ(renamed.entries[1].name, "doc/a");

    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* reason;
    };
    const Case cases[] = {
        // A frame that claims more than the file has, or is no frame.
        {Bytes().Header(1, 5, 5).U64(1000).Text(x).Sealed(), "cut short"},
        {Bytes().Header(1, 5, 5).U64(3).Text("abc").Text(x).Sealed(), "does not unpack"},
        // Bytes after the frame, entries left over, an entry cut short.
        {Bytes().Header(1, 5, 5).Added("a", x, 0).Packed(24, "!").Text(x).Sealed(), "does not unpack"},
        {Bytes().Header(1, 5, 5).Added("a", x, 0).Added("b", x, 0).Packed().Text(x).Sealed(), "left over"},
        {Bytes().Header(2, 5, 5).Added("a", x, 0).Packed().Text(x).Sealed(), "cut short"},
        // A small frame that unpacks to more than its entries could take.
        {Bytes().Header(1, 5, 5).Text(std::string(2000, 'a')).Packed().Text(x).Sealed(), "more than its entries"},
        // Version 4 has no packed table.
        {Bytes().Header(1, 5, 4).Added("a", x, 0).Packed().Text(x).Sealed(), ""},
    };
    for (const Case& c : cases) {
        Result r = ParseBytes(c.bytes);
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << c.reason;
        EXPECT_NE(r.message.find(c.reason), std::string::npos) << c.reason << ": " << r.message;
    }
}

TEST(PatchFormatTest, EveryChangedByteFailsTheIntegrityCheck)
{
    std::vector<std::uint8_t> good = OneAddedFile("a.txt");
    ASSERT_TRUE(ParseBytes(good).ok());
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::vector<std::uint8_t> bad = good;
        bad[i] ^= 0x01;
        Result r = ParseBytes(bad);
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << "byte " << i;
    }
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, good.size() - 1}) {
        std::vector<std::uint8_t> shorter(good.begin(), good.begin() + static_cast<long>(cut));
        EXPECT_EQ(ParseBytes(shorter).status, Status::kPatchCorrupt) << cut;
    }
}

TEST(PatchFormatTest, StructuralDamageIsRefusedWithItsReason)
{
    struct Case {
        std::vector<std::uint8_t> bytes;
        const char* reason;
    };
    const std::string x = "hello";
    const Case cases[] = {
        {Bytes().Header(1, 5, 10).Added("a", x, 0).Text(x).Sealed(), "format version 10"},
        // The signed flag only from version 3 on, and no other flag.
        {Bytes().Header(1, 5, 2, 1).Added("a", x, 0).Text(x).Sealed(), "unknown flags 1"},
        {Bytes().Header(1, 5, 3, 2).Added("a", x, 0).Text(x).Sealed(), "unknown flags 2"},
        {Bytes().Header(1, 5, 0).Added("a", x, 0).Text(x).Sealed(), "format version 0"},
        {Bytes().Header(1, 5).Added("a", x, 0).Text(x).Text("!").Sealed(),
         "1 bytes more than the entry table and the data"},
        {Bytes().Header(2, 5).Added("a", x, 0).Text(x).Sealed(), "entry kind"},
        {Bytes().Header(1, 5).U8(4).U8(0).U16(6).Text("a").Text(x).Sealed(), "runs into the data section"},
        {Bytes().Header(1, 5).Added("a", x, 1).Text(x).Sealed(), "outside the data section"},
        {Bytes().Header(1, 5).U8(9).U8(0).U16(1).Text("a").Text(x).Sealed(), "unknown entry kind"},
        {Bytes().Header(1, 0).U8(4).U8(1).U16(1).Text("a").Sealed(), "codec"},
        {Bytes().Header(1, 0).U8(2).U8(1).U16(1).Text("a").U64(0).Hash({}).U64(0).U64(0).Sealed(), "codec"},
        // Codecs newer than the patch's version, or for entries they cannot serve.
        {Bytes().Header(1, 0, 1).U8(2).U8(3).U16(1).Text("a").U64(0).Hash({}).U64(0).U64(0).Sealed(), "codec 3"},
        {Bytes().Header(1, 0, 2).U8(2).U8(4).U16(1).Text("a").U64(0).Hash({}).U64(0).U64(0).Sealed(), "codec 4"},
        {Bytes().Header(1, 0, 1).U8(1).U8(4).U16(1).Text("a").U64(0).Hash({}).U64(0).Hash({}).U64(0).U64(0).Sealed(),
         "codec 4"},
        {Bytes().Header(1, 0, 1).U8(3).U8(3).U16(1).Text("a").U64(0).Hash({}).U64(0).U64(0).Sealed(), "codec 3"},
        {Bytes().Header(1, 0, 2).U8(3).U8(1).U16(1).Text("a").U64(0).Hash({}).Sealed(), "codec 1"},
        {Bytes().Header(1, 0, 2).U8(1).U8(5).U16(1).Text("a").U64(0).Hash({}).U64(0).Hash({}).U64(0).U64(0).Sealed(),
         "codec 5"},
        {Bytes().Header(1, 0, 4).U8(1).U8(6).U16(1).Text("a").U64(0).Hash({}).U64(0).Hash({}).U64(0).U64(0).Sealed(),
         "codec 6"},
        {Bytes().Header(1, 0).U8(2).U8(0).U16(1).Text("a").U64(1ull << 50).Hash({}).U64(0).U64(0).Sealed(),
         "size that does not fit"},
        {Bytes().Header(0x7fffffff, 0).Sealed(), "too many entries"},
        {Bytes()
             .Header(1, 0)
             .U8(1)
             .U8(3)
             .U16(1)
             .Text("a")
             .U64(40ull << 20)
             .Hash({})
             .U64(40ull << 20)
             .Hash({})
             .U64(0)
             .U64(0)
             .Sealed(),
         "a group larger than"},
        {Bytes().Header(0, 1000).Sealed(), "longer than the file"},
    };
    for (const Case& c : cases) {
        Result r = ParseBytes(c.bytes);
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << c.reason;
        EXPECT_NE(r.message.find(c.reason), std::string::npos) << r.message;
    }
}

TEST(PatchFormatTest, NamesThatCouldEscapeOrCollideAreRefused)
{
    const char* unsafe[] = {"/etc/passwd",
                            "C:/Windows/win.ini",
                            "C:evil",
                            "../outside",
                            "a/../../outside",
                            "a/./b",
                            "a//b",
                            "dir/",
                            "a\\b",
                            "file.txt:stream",
                            "CON",
                            "con.txt",
                            "sub/NUL",
                            "Com1.log",
                            "LPT9",
                            "aux ",
                            "trailing.",
                            "sub/trailing ",
                            "what?",
                            "pipe|name",
                            "star*",
                            "<angle>",
                            "quote\"d",
                            "tab\there",
                            "\x7f",
                            ".qvpatch.tmp",
                            ".QVPATCH.TMP/journal",
                            ".qvpatch.tmpX",
                            ".qvpatch.tmp.lock",
                            "bad\xff"
                            "utf8",
                            "over\xc0\xaflong",
                            "COM\xc2\xb9"};
    for (const char* name : unsafe) {
        Result r = ParseBytes(OneAddedFile(name));
        EXPECT_EQ(r.status, Status::kUnsafePatch) << name;
    }
    // A name's length is checked as a name: none, or more than 1024 bytes, is an unsafe name.
    EXPECT_EQ(ParseBytes(Bytes().Header(1, 0).U8(2).U8(0).U16(0).Sealed()).status, Status::kUnsafePatch);
    const char* fine[] = {"a.txt",           "sub/dir/file.bin", "CONSOLE.txt",         "com10",
                          "caf\xc3\xa9.txt", ".hidden",          "name with blanks.txt"};
    for (const char* name : fine)
        EXPECT_TRUE(ParseBytes(OneAddedFile(name)).ok()) << name;
    EXPECT_EQ(ParseBytes(OneAddedFile(std::string(1100, 'n'))).status, Status::kUnsafePatch);
}

TEST(PatchFormatTest, DuplicatesAndFilesWhereDirectoriesStandAreRefused)
{
    const std::string x = "x";
    std::vector<std::vector<std::uint8_t>> patches = {
        Bytes().Header(2, 1).Added("Readme.txt", x, 0).Added("README.TXT", x, 0).Text(x).Sealed(),
        Bytes().Header(2, 1).Added("a", x, 0).Added("a/b", x, 0).Text(x).Sealed(),
        Bytes().Header(2, 1).Dir("a", 5).Added("a/new", x, 0).Text(x).Sealed(),
        Bytes().Header(2, 0).Dir("same").Dir("SAME", 5).Sealed(),
        // Case beyond ASCII, as Windows compares names: e with an acute accent, sigma, a Cyrillic
        // letter below directories that differ in case too.
        Bytes().Header(2, 1).Added("\xc3\xa9t\xc3\xa9", x, 0).Added("\xc3\x89T\xc3\x89", x, 0).Text(x).Sealed(),
        Bytes().Header(2, 1).Added("\xcf\x83", x, 0).Added("\xce\xa3", x, 0).Text(x).Sealed(),
        Bytes().Header(2, 1).Added("dir/\xd0\xb6", x, 0).Added("DIR/\xd0\x96", x, 0).Text(x).Sealed(),
        // Alpha with a subscript iota: its simple upper case is one letter, its full one two.
        Bytes().Header(2, 1).Added("\xe1\xbe\xb3.txt", x, 0).Added("\xe1\xbe\xbc.txt", x, 0).Text(x).Sealed(),
    };
    for (const auto& bytes : patches) {
        Result r = ParseBytes(bytes);
        EXPECT_EQ(r.status, Status::kUnsafePatch) << r.message;
    }
    // The message shows the names as they are.
    Result r = ParseBytes(patches[4]);
    EXPECT_NE(r.message.find("\xc3\xa9t\xc3\xa9 and \xc3\x89T\xc3\x89"), std::string::npos) << r.message;
    // Letters that differ beyond case stay apart.
    EXPECT_TRUE(ParseBytes(Bytes().Header(2, 1).Added("\xc3\xa9", x, 0).Added("e", x, 0).Text(x).Sealed()).ok());
}

}  // namespace
