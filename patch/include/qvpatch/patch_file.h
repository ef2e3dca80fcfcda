// The patch file: a versioned header, a table of entries, a data section, and a SHA-256 of all of
// it at the end. Described byte by byte in docs/patch-format.md.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qvpatch/file_hash.h"
#include "qvpatch/sha256.h"
#include "qvpatch/signature.h"
#include "qvpatch/status.h"

namespace qvpatch {

constexpr char kMagic[8] = {'Q', 'V', 'P', 'A', 'T', 'C', 'H', '\x1a'};
// The newest version read. Version 3 adds the signature block, version 4 the streamed match delta,
// version 5 the split match delta and the packed entry table, version 6 the short file checks,
// version 7 the split match delta's records that read the new file made so far, version 8 files
// told by BLAKE3 (kBlake3FormatVersion) rather than SHA-256, version 9 the split match delta's
// branch targets moved where its records put them, and its values coded by the bytes they change. A builder writes
// version 9.
constexpr std::uint16_t kFormatVersion = 9;
constexpr std::uint16_t kPackedTableFormatVersion = 5;
// From this version an entry holds the first kShortCheckBytes of each of its files' SHA-256, and
// the table ends in the contents checks (Patch::oldContents, Patch::newContents).
constexpr std::uint16_t kShortCheckFormatVersion = 6;
constexpr std::size_t kShortCheckBytes = 8;
constexpr std::uint16_t kSignedFormatVersion = 3;
constexpr std::uint16_t kUnsignedFormatVersion = 2;
// Version 1 patches (without the match delta and without added files in groups) are still read.
constexpr std::uint16_t kOldestFormatVersion = 1;
// The header flag of a signed patch (version 3 on).
constexpr std::uint16_t kFlagSigned = 1;
// Limits a reader enforces, so that a hostile patch cannot make it allocate without bound.
constexpr std::uint32_t kMaxEntries = 1u << 20;
constexpr std::size_t kMaxNameBytes = 1024;
// The most one entry takes in the table: kind, codec, name length, name, two sizes and hashes, and
// the data's offset and length.
constexpr std::uint64_t kMaxEntryBytes = 4 + kMaxNameBytes + 2 * (8 + 32) + 16;
constexpr std::uint64_t kMaxFileSize = 1ull << 40;
// The name of the work area inside the directory being updated; no entry may use it.
constexpr char kWorkAreaName[] = ".qvpatch.tmp";

enum class EntryKind : std::uint8_t {
    kChangedFile = 1,
    kAddedFile = 2,
    kRemovedFile = 3,
    kAddedDirectory = 4,
    kRemovedDirectory = 5,
};

enum class Codec : std::uint8_t {
    kStored = 0,     // the new file's bytes as they are
    kZstdDelta = 1,  // one zstd frame compressed with the old file as its prefix (zstd --patch-from)
    kZstd = 2,       // one zstd frame on its own
    // One zstd frame shared by several files (entries with this codec and the same data),
    // compressed with the old files of its changed and removed entries, one after the other in
    // entry order, as its prefix; it decodes to the new files of its changed and added entries,
    // one after the other. Matches across files make it smaller (a renamed file among them).
    kZstdGroupDelta = 3,
    // Approximate matches against the old file: control, difference and extra streams, each a
    // zstd frame (see match_delta.h).
    kMatchDelta = 4,
    // The same, read as a stream: the old file by position a page at a time, so that applying it
    // needs memory of its own only, whatever the file's size (see match_delta.h).
    kStreamedMatchDelta = 5,
    // The match delta with each record field in a stream of its own and the extra frame primed
    // with the old bytes no match reads (see match_delta.h); the builder's for held files.
    kSplitMatchDelta = 6,
    // A group (as kZstdGroupDelta) whose data is a split match delta of its new files, one after
    // the other, against its old files, one after the other: the new files made mostly of long
    // pieces of the old ones, this is found and written far faster than the zstd frame, and is
    // often smaller.
    kGroupMatchDelta = 7,
};

// The most a group may hold, old and new files together, so that applying it stays within a
// bounded amount of memory.
constexpr std::uint64_t kMaxGroupBytes = 64ull << 20;
// The most of a file's old and new contents together that applying holds in memory: a file
// beyond it is encoded with codecs that stream (the old file read by position, windows of a few
// MiB), so that applying needs the same memory for a file of any size.
constexpr std::uint64_t kMaxHeldBytes = kMaxGroupBytes;
constexpr std::uint16_t kStreamedFormatVersion = 4;
constexpr std::uint16_t kSplitFormatVersion = 5;

struct Entry {
    EntryKind kind = EntryKind::kAddedFile;
    Codec codec = Codec::kStored;
    std::string name;  // relative, UTF-8, '/' between its parts
    std::uint64_t oldSize = 0;
    Digest oldHash{};
    std::uint64_t newSize = 0;
    Digest newHash{};
    std::uint64_t dataOffset = 0;  // in the data section
    std::uint64_t dataLength = 0;

    bool HasOld() const { return kind == EntryKind::kChangedFile || kind == EntryKind::kRemovedFile; }
    bool HasNew() const { return kind == EntryKind::kChangedFile || kind == EntryKind::kAddedFile; }
    bool IsDirectory() const { return kind == EntryKind::kAddedDirectory || kind == EntryKind::kRemovedDirectory; }
    // Whether the entry points into the data section: files with new contents, and removed files
    // whose old contents serve a group (a shared codec) as part of its prefix.
    bool HasData() const;
};

// A signed patch's signature block: the signer's public key and the signature over the patch's
// integrity check. A reader takes it only when it verifies.
struct PatchSignature {
    bool present = false;
    PublicKey key{};
    Signature value{};
};

class InputFile;

struct Patch {
    std::uint16_t version = kUnsignedFormatVersion;  // as read; written back as it is
    std::vector<Entry> entries;
    std::vector<std::uint8_t> data;  // the data section
    PatchSignature signature;        // as read; written back as it is
    // A packed entry table as read, and the SHA-256 of what it unpacks to: written back as it is
    // while the entries are unchanged (zstd may pack the same table in other ways).
    std::vector<std::uint8_t> packedTable;
    Digest packedContent{};
    // A patch file too large to hold keeps its data section in the file, read by position when
    // each entry is decoded (data is then empty): its size and where it starts.
    std::shared_ptr<InputFile> file;
    std::uint64_t fileDataStart = 0;
    std::uint64_t fileDataSize = 0;
    // From version 6, where an entry holds only the start of each file's SHA-256: the SHA-256 over
    // the SHA-256 of every old file (of the entries with one, in entry order), and the same over the
    // new files (see ContentsCheck). Each file is told by its short check; the set is verified
    // whole by these.
    Digest oldContents{};
    Digest newContents{};

    std::uint64_t DataSize() const { return file ? fileDataSize : data.size(); }
    // The hash the patch tells its files by (each file's hash below is that hash).
    FileHash FileHashKind() const { return FileHashOf(version); }
    // How many bytes of each file's SHA-256 the entries hold.
    std::size_t CheckBytes() const { return version >= kShortCheckFormatVersion ? kShortCheckBytes : sizeof(Digest); }
    // Whether a file's SHA-256 matches what an entry holds of it.
    bool Matches(const Digest& actual, const Digest& expected) const
    {
        return std::equal(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(CheckBytes()), expected.begin());
    }
};

// The contents check over files' SHA-256, in entry order.
Digest ContentsCheck(const std::vector<Digest>& files);

// For a patch whose entries hold their files' whole SHA-256 (as a builder has them): sets its
// contents checks, which a patch of version 6 on carries in place of the rest of each hash.
void SetContentsChecks(Patch* patch);

// The patch file's bytes.
std::vector<std::uint8_t> Serialize(const Patch& patch);

// The patch file's bytes, signed with key (as format version 3).
Result SerializeSigned(const Patch& patch, const SecretKey& key, std::vector<std::uint8_t>* bytes);

// Reads a patch file's bytes: the integrity check first, then a signature's block and the
// signature itself (kUntrusted when either fails), then every field with its bounds, then every
// name and the set of names as a whole. Nothing may be left over.
Result Parse(const std::uint8_t* bytes, std::size_t size, Patch* patch);

class FileSystem;

// The largest patch file that is loaded whole; a larger one keeps its data section in the file.
constexpr std::uint64_t kMaxHeldPatchSize = 64ull << 20;
// The largest entry table read (names, sizes and hashes of up to kMaxEntries entries).
constexpr std::uint64_t kMaxTableSize = 256ull << 20;

// Loads a patch file (a plain file; a pipe or device is refused without waiting on it) and reads
// it as Parse does: the integrity check over every byte first. A file that cannot be opened or
// read gives kPatchUnreadable. A file larger than kMaxHeldPatchSize is read through once for the
// check, and its data section then read by position as it is decoded (the file stays open with
// the patch). maxHeld: the largest file loaded whole.
Result LoadPatchFile(FileSystem& fs, const std::string& path, Patch* patch, std::uint64_t maxHeld = kMaxHeldPatchSize);

// Whether a name is safe to join to the directory being updated: relative, UTF-8, '/' between
// non-empty parts, none of them "." or "..", no drive, stream or device name, no character that
// Windows does not allow in names, no part ending in a dot or a blank.
Result CheckName(const std::string& name);

// Whether the names together are safe: no two equal without regard to case, and no file entry
// standing where another entry needs a directory.
Result CheckNames(const std::vector<Entry>& entries);

// The entries of each group (kZstdGroupDelta, kGroupMatchDelta), in entry order, by the offset of
// their data.
std::vector<std::vector<std::size_t>> Groups(const Patch& patch);

// The names of a codec and of an entry kind, for people.
const char* CodecName(Codec codec);
const char* EntryKindName(EntryKind kind);

// The name folded for comparisons without regard to case.
std::string FoldName(const std::string& name);

// Whether a name at the top of a tree is the update's own (its work area, its lock): such names
// are never part of a patch, and a build passes over them.
bool IsUpdateOwnName(const std::string& topName);

}  // namespace qvpatch
