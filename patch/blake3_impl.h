// BLAKE3's constants and compression, shared by the portable code and the wide one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvpatch::blake3 {

constexpr std::uint32_t kIv[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                  0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr std::uint32_t kChunkStart = 1, kChunkEnd = 2, kParent = 4, kRoot = 8;

// The message words each of the 7 rounds takes, in order: each round's are the round before's
// permuted.
struct Schedule {
    std::uint8_t word[7][16];
    constexpr Schedule() : word()
    {
        constexpr std::uint8_t kPermutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};
        for (int i = 0; i < 16; ++i)
            word[0][i] = static_cast<std::uint8_t>(i);
        for (int r = 1; r < 7; ++r)
            for (int i = 0; i < 16; ++i)
                word[r][i] = word[r - 1][kPermutation[i]];
    }
};
constexpr Schedule kSchedule;

// Hashes whole chunks of 1024 bytes at input, numbered from counter on, none of them the root,
// into their chaining values; returns how many it did of count (a multiple of the vectors' width:
// the rest is for the portable code). Where the processor has no wide vectors, none.
std::size_t HashChunksWide(const std::uint8_t* input, std::size_t count, std::uint64_t counter,
                           std::uint32_t (*out)[8]);
// The same for parents, none of them the root, of the pairs of chaining values at children.
std::size_t HashParentsWide(const std::uint32_t (*children)[8], std::size_t count, std::uint32_t (*out)[8]);
// Keeps the wide code to vectors of at most lanes (0, 8 or 16) from now on, for the tests of each
// form on a processor that has a wider one.
void LimitWideLanes(int lanes);

}  // namespace qvpatch::blake3
