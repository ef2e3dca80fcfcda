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
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec.h"
#include "qvpatch/status.h"

namespace qvpatch {

// The largest old file the builder indexes for matching (its suffix array has 32-bit entries).
constexpr std::uint64_t kMaxMatchOldSize = (1ull << 31) - 2;

enum class MatchFilter : std::uint8_t {
    kNone = 0,
    kX86Branches = 1,
};
constexpr int kMatchStreams = 4;

// Whether data is an x86 or x86-64 program (PE or ELF), for which kX86Branches pays.
bool LooksLikeX86Code(const std::uint8_t* data, std::size_t size);

// The x86 branch transform: in place on a whole buffer, and undone in place on a stream a piece
// at a time.
class X86BranchFilter {
public:
    // data is the whole stream.
    static void Encode(std::uint8_t* data, std::size_t size);
    // Undoes Encode on the stream's next bytes, in place, and returns how many of them are final.
    // The others (at most 4, whose meaning depends on what follows) must come again at the front
    // of the next call; at the stream's end (last) all are final.
    std::size_t DecodeInPlace(std::uint8_t* data, std::size_t size, bool last);

private:
    std::uint64_t base_ = 0;
};

// One approximate match: add bytes of difference against the old file at oldPos, then copy extra
// bytes; the next record reads the old file from oldPos + add + seek.
struct MatchRecord {
    std::uint64_t add = 0;
    std::uint64_t copy = 0;
    std::int64_t seek = 0;
};

// The records that turn old into data (the matching alone, without the streams); searches, when
// given, counts the lookups in the suffix array (the bulk of the work).
Result FindMatches(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                   std::vector<MatchRecord>* records, std::uint64_t* searches = nullptr);

// The codec's data for data against old, its streams compressed at level.
Result EncodeMatchDelta(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                        MatchFilter filter, int level, std::vector<std::uint8_t>* out);

// Decodes the codec's data into exactly newSize bytes handed to sink; anything out of bounds,
// left over or missing is refused as a corrupt patch naming what.
// ownedOld, when given, holds the old file and may be changed in place (saving a copy of it).
Result DecodeMatchDelta(const std::string& what, const std::uint8_t* data, std::size_t length, const std::uint8_t* old,
                        std::size_t oldSize, std::uint64_t newSize, const ChunkSink& sink,
                        std::vector<std::uint8_t>* ownedOld = nullptr);

}  // namespace qvpatch
