// The match delta: the new file as a run of approximate matches in the old file, each stored as its
// byte-wise difference from the old bytes, with the bytes that match nothing in between. Code that
// moved between versions matches but for the addresses inside it, so its difference is mostly
// zeros and compresses far better than the bytes themselves.
//
// The data: a filter byte, the lengths (u64 each) of four zstd frames, and the frames:
//   control: records of three LEB128 numbers: add, copy, seek (zigzag-signed). A record takes add
//     bytes from the old file at the old position, changed as below, and moves the old position
//     on by add; then copy bytes from the extra stream; then moves the old position by seek.
//   positions: for each changed byte of the add bytes (all records' add bytes one after the
//     other), the number of unchanged bytes before it since the last changed one (LEB128);
//   values: for each changed byte, what is added to it (mod 256);
//   extra: the bytes that match nothing (its frame has the old file, filtered, as its prefix).
// The records together produce exactly the new file, and every stream is used up at the end.
// Filter 1 (for x86 programs) matches both files with the targets of their relative calls and
// jumps made absolute, so that a call to code that did not move stays the same wherever the call
// itself moved; the decoder undoes it on the way out.
//
// The streamed form (for files too large to hold in memory when applying) is the same but for
// four things: the old file is read by position, a page at a time, never whole; the extra frame
// has no prefix; its filter (2) works on each 64 KiB block of a file on its own, so that any page
// of the old file can be filtered without what comes before it; and the changed bytes are told as
// runs, the positions stream split in two: the gap before each run, and each run's length less
// one. Its frames ask for windows of at most 8 MiB, so that decoding all five stays within a few
// dozen MiB whatever the file's size.
//
// The split form (codec 6, for a held old file) has each record field in a stream of its own
// (adds, copies, seeks), the changes as two streams or interleaved in one (flag), and an extra
// frame whose prefix is the old bytes that no record reads (flag): the code that changed, mostly,
// which the new code is much like, at a fraction of the cost of the whole old file as prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"
#include "memory.h"
#include "qvpatch/file_system.h"
#include "qvpatch/status.h"

namespace qvpatch {

// The largest old file the builder indexes for matching (its suffix array has 32-bit entries).
constexpr std::uint64_t kMaxMatchOldSize = (1ull << 31) - 2;

enum class MatchFilter : std::uint8_t {
    kNone = 0,
    kX86Branches = 1,
    kX86BranchesByBlock = 2,  // the streamed form's
    // For x86-64 programs (the split form's): filter 1's branches and, as they are, the 32-bit
    // displacements of the moves and loads that address memory relative to the next instruction.
    kX64References = 3,
};
constexpr int kMatchStreams = 4;
constexpr int kStreamedStreams = 5;
constexpr int kSplitStreams = 6;
// The split form's flags.
constexpr std::uint8_t kSplitUnreadPrefix = 1;  // the extra frame has the old bytes no record reads as its prefix
constexpr std::uint8_t kSplitJointChanges = 2;  // each position followed by its value, in one stream
// The records' positions at and past the old file's end read the new file made so far.
constexpr std::uint8_t kSplitReadsOutput = 4;
// With filter 1 or 3: a branch (or reference) in the old file has its target where the records put it in the
// new file (TargetMap), rather than where it is in the old one.
constexpr std::uint8_t kSplitProjected = 8;
// The values stream holds the values coded by the bytes they change (ValueModel), not as they are;
// the changes are then never interleaved.
constexpr std::uint8_t kSplitModeledValues = 16;
// The adds, copies and seeks streams hold the records' fields coded by a model (RecordModel), not
// as LEB128 numbers.
constexpr std::uint8_t kSplitModeledRecords = 32;
// The blocks filter 2 works on, each on its own; also the page in which the streamed decoder reads
// the old file.
constexpr std::size_t kFilterBlock = 1 << 16;
// The largest window the streamed form's frames may ask for.
constexpr int kStreamedWindowLog = 23;

// Whether data is an x86 or x86-64 program (PE or ELF), for which kX86Branches pays.
bool LooksLikeX86Code(const std::uint8_t* data, std::size_t size);
// The split form's filter for data: kX64References for an x86-64 program, kX86Branches for an
// x86 one, kNone for anything else.
MatchFilter ProgramFilter(const std::uint8_t* data, std::size_t size);

// The x86 branch transform (filter 1, or with wide filter 3): in place on a whole buffer, and
// undone in place on a stream a piece at a time. A reference is a 4-byte operand after the byte
// that tells it (its tag: an E8 or E9 opcode, or filter 3's ModRM byte), made absolute as if its
// instruction ended right after it.
class X86BranchFilter {
public:
    explicit X86BranchFilter(bool wide = false) : wide_(wide) {}
    // data is the whole stream.
    static void Encode(std::uint8_t* data, std::size_t size, bool wide = false);
    // The same on a stream that grows: data holds its first size bytes, and the opcodes from
    // from on whose operands end within them are encoded. Returns the from of the next call;
    // calls with sizes that grow to the whole stream encode it as Encode does.
    static std::size_t EncodeFrom(std::uint8_t* data, std::size_t from, std::size_t size, bool wide = false);
    // Filter 2, on whole blocks: data starts at a multiple of kFilterBlock of its file, and its
    // last block may be short only at the file's end. DecodeBlocks reverses EncodeBlocks exactly.
    static void EncodeBlocks(std::uint8_t* data, std::size_t size, std::uint64_t at);
    static void DecodeBlocks(std::uint8_t* data, std::size_t size, std::uint64_t at);
    // Undoes Encode on the stream's next bytes, in place, and returns how many of them are final.
    // The others (at most 6, whose meaning depends on what follows) must come again at the front
    // of the next call; at the stream's end (last) all are final.
    // With marks, the opcodes it changes are marked there (by their place in the stream), as
    // FilterMarks::Scan marks those Encode changes in the stream before it.
    std::size_t DecodeInPlace(std::uint8_t* data, std::size_t size, bool last, class FilterMarks* marks = nullptr);

private:
    bool wide_;
    std::uint64_t base_ = 0;
};

class TargetMap;

// The opcodes the call filter changes in a file (those it takes whose displacement is near), a bit
// each: the file stays as it is, and its bytes are filtered as they are copied out of it. What
// reads the file meanwhile (its hash, say) sees it unchanged.
class FilterMarks {
public:
    // For a file of size bytes; throws std::bad_alloc.
    explicit FilterMarks(std::uint64_t size = 0, bool wide = false)
        : bits_(static_cast<std::size_t>(size / 64 + 1)), wide_(wide)
    {
    }
    // Marks the opcodes whose operands end within the file's first size bytes, held at data: from
    // where the call before stopped, so that calls with sizes that grow to the whole file mark it
    // as one call would.
    void Scan(const std::uint8_t* data, std::size_t size);
    // The same for a whole file of size bytes, where nothing is scanned yet: its second half is
    // scanned on beside while the caller scans the first, and the references across the middle
    // are put right after.
    void ScanWhole(const std::uint8_t* data, std::size_t size, class Beside* beside);
    // Filters out[0, k), a copy of data[at, at + k) of the file scanned whole, as Encode would
    // have left those bytes.
    void Apply(const std::uint8_t* data, std::uint64_t at, std::uint8_t* out, std::size_t k) const;
    // The same with only part of the file at data, from its byte dataAt on: at least from 4 bytes
    // before at (or the file's start) to 4 bytes past at + k (or the file's end).
    void Apply(const std::uint8_t* data, std::uint64_t dataAt, std::uint64_t at, std::uint8_t* out,
               std::size_t k) const;
    // The same with each target moved as targets has it (kSplitProjected).
    void Apply(const std::uint8_t* data, std::uint64_t dataAt, std::uint64_t at, std::uint8_t* out, std::size_t k,
               const TargetMap* targets) const;
    // Marks the opcode at at (one the filter changes).
    void Mark(std::uint64_t at) { bits_[static_cast<std::size_t>(at / 64)] |= std::uint64_t{1} << (at % 64); }
    // Makes the pages Mark writes, before the first.
    void MakePages() { bits_.MakePages(); }

private:
    ZeroedWords bits_;
    bool wide_;
    std::size_t from_ = 0;  // where Scan goes on
    // The word Scan is in and its bits so far: words are stored whole, never read.
    std::size_t word_ = 0;
    std::uint64_t wordBits_ = 0;
};

// Where the records put the old bytes they read: each one's distance from its place in the old file
// to its place in the new file, taken from the record that reads it first by place in the old file
// (the earlier one in the records where two start at the same place). A call to code that moved as
// the records have it then keeps its target in the new file, however far the code went.
class TargetMap {
public:
    explicit TargetMap(std::uint64_t oldSize) : oldSize_(oldSize) {}
    // The most reads a map of an old file of oldSize bytes takes (each costs 24 bytes).
    static std::uint64_t MaxReads(std::uint64_t oldSize) { return oldSize / 256 + 65536; }
    // Room for about this many reads (at most MaxReads). Throws std::bad_alloc.
    void Reserve(std::uint64_t reads);
    // A record's add bytes of the old file from at (within it), made at newAt of the new file;
    // false, adding nothing, when the map holds MaxReads already. Throws std::bad_alloc.
    bool Add(std::uint64_t at, std::uint64_t length, std::uint64_t newAt);
    // After the last Add, before the first Shift. Throws std::bad_alloc.
    void Finish();
    // How far the byte at target of the old file moved; 0 when no record reads it.
    std::int64_t Shift(std::int64_t target) const;

private:
    struct Read {
        std::uint64_t at, end;
        std::int64_t shift;
    };
    void SortByPlace();
    // A granule's shift where one read holds it all, or none of it does; else the reads are
    // searched.
    static constexpr std::int32_t kSearch = INT32_MIN;
    std::uint64_t oldSize_;
    std::vector<Read> reads_;
    int granuleBits_ = 8;  // at most 2^17 granules
    // For each granule of the old file, the first read that ends past its start.
    std::vector<std::uint32_t> firsts_;
    std::vector<std::int32_t> shifts_;
};

// One approximate match: add bytes of difference against the old file at oldPos, then copy extra
// bytes; the next record reads the old file from oldPos + add + seek.
struct MatchRecord {
    std::uint64_t add = 0;
    std::uint64_t copy = 0;
    std::int64_t seek = 0;
};

// Puts each record that adds nothing, whose place the matching left outside what a decoder lets a
// record stand on (before the old file, or past it, or with records that read the new file, past
// the part of it made), at the nearer end, keeping every other record's place.
void PlaceIdleRecords(std::vector<MatchRecord>* records, std::uint64_t oldSize);

// Which bytes of the old file a delta's records read, a bit each. The split form's extra frame has
// the others, in order, as its prefix.
class OldCoverage {
public:
    explicit OldCoverage(std::uint64_t oldSize);
    // [at, at + length) lies within the old file.
    void Mark(std::uint64_t at, std::uint64_t length);
    std::uint64_t Unread() const;
    // Makes the pages Mark writes, before the first.
    void MakePages() { bits_.MakePages(); }
    // The unread bytes of old, in order, into out (Unread() bytes); filtered as they are copied,
    // with marks given.
    void GatherUnread(const std::uint8_t* old, std::uint8_t* out, const FilterMarks* marks = nullptr,
                      const TargetMap* targets = nullptr) const;
    // The same for the unread bytes in [from, to) of the file only.
    void GatherUnread(const std::uint8_t* old, std::uint8_t* out, const FilterMarks* marks, std::uint64_t from,
                      std::uint64_t to, const TargetMap* targets = nullptr) const;
    // A place, a multiple of 64, with about half of the total unread bytes (Unread(), which the
    // caller has) before it; *before: how many.
    std::uint64_t Middle(std::uint64_t total, std::uint64_t* before) const;

private:
    std::uint64_t Next(std::uint64_t at, bool read) const;

    std::uint64_t size_;
    ZeroedWords bits_;
};

// How the old file is searched for matches.
enum class MatchIndex {
    // A suffix array: every match, at 4 bytes of memory per old byte (and up to 2^31 bytes).
    kSuffixArray,
    // A hash of each aligned block of the old file (16 bytes or more, so that there are at most
    // 2^27 of them): the matches of at least two blocks' length, at a fraction of the memory.
    kBlockHash,
};

struct MatchOptions {
    MatchIndex index = MatchIndex::kSuffixArray;
    // How many of an approximate match's bytes must agree, in percent: where the bytes that match
    // nothing are dear (their frame has the old file as prefix), a match is widened while half
    // agree; where they are not, a changed byte costs about what a new one does, and a match is
    // widened only while most agree.
    int agreePercent = 50;
    // Whether a match may also be in the new file, before the point it is for (the records'
    // positions at and past the old file's end are in the new file).
    bool readsOutput = false;
    // When not 0, a match is taken over going on at the offset before only where it is longer
    // than what that offset agrees with by this many bytes for each byte of its seek (a far jump
    // costs more); at 0, by 8 bytes.
    int seekByteCost = 0;
};

// What the matching did: the lookups in the index (the bulk of the scan's work), the old bytes
// the suffix array sorted (where long stretches of the new file are found whole in the old one,
// only what is left of it), and the bytes compared at anchors.
struct MatchWork {
    std::uint64_t lookups = 0;
    std::uint64_t sorted = 0;
    std::uint64_t compared = 0;  // the bytes compared to find those stretches, and matches at anchors
};

// The records that turn old into data (the matching alone, without the streams); work, when
// given, tells what it took.
Result FindMatches(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                   std::vector<MatchRecord>* records, MatchWork* work = nullptr, const MatchOptions& options = {});

// The codec's data for data against old, its streams compressed at level.
Result EncodeMatchDelta(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                        MatchFilter filter, int level, std::vector<std::uint8_t>* out);

// The split form's data (codec 6), for the held old file as EncodeMatchDelta; its frames are
// compressed on up to threads threads. With readsOutput, its records may also read the new file
// before the point they are for (kSplitReadsOutput).
Result EncodeSplitMatchDelta(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                             MatchFilter filter, int level, std::vector<std::uint8_t>* out, unsigned threads = 1,
                             bool readsOutput = false);

// The streamed form's data, matched by block hash. When writableOld and writableNew are given
// (the same bytes as old and data), the filter works on them in place and undoes itself after,
// rather than on copies: they must not be read by anyone else meanwhile.
// A program is tried with filter 2 and without, and keeps the smaller.
Result EncodeStreamedMatchDelta(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data,
                                std::size_t size, int level, std::vector<std::uint8_t>* out,
                                std::uint8_t* writableOld = nullptr, std::uint8_t* writableNew = nullptr);
// The same with the one filter given (kNone or kX86BranchesByBlock), on copies.
Result EncodeStreamedMatchDelta(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data,
                                std::size_t size, MatchFilter filter, int level, std::vector<std::uint8_t>* out);

// Decodes the codec's data into exactly newSize bytes handed to sink; anything out of bounds,
// left over or missing is refused as a corrupt patch naming what.
// The old file stays as it is: its bytes are filtered as they are copied out of it. load, when
// given, reads it (old is not used): the opcodes the filter changes are marked a piece at a time
// as it comes, while the records are walked beside, and the records run while it is checked.
Result DecodeMatchDelta(const std::string& what, const DataSource& data, const std::uint8_t* old, std::size_t oldSize,
                        std::uint64_t newSize, const ChunkSink& sink, const OldLoad* load = nullptr);

// Decodes the split form, as DecodeMatchDelta.
Result DecodeSplitMatchDelta(const std::string& what, const DataSource& data, const std::uint8_t* old,
                             std::size_t oldSize, std::uint64_t newSize, const ChunkSink& sink,
                             const OldLoad* load = nullptr);

// Decodes the streamed form, reading the old file (of oldSize bytes, checked by the caller) by
// position, a page at a time; a short read is refused as a file that changed.
Result DecodeStreamedMatchDelta(const std::string& what, const DataSource& data, InputFile& old, std::uint64_t oldSize,
                                std::uint64_t newSize, const ChunkSink& sink);

}  // namespace qvpatch
