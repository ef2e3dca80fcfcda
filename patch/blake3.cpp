// BLAKE3's hash: the tree of 1 KiB chunks, each hashed a 64-byte block at a time, their chaining
// values merged pairwise into parents up to the root. Whole chunks in the middle of the input go
// to the wide code, several at once.
#include "qvpatch/blake3.h"

#include <algorithm>
#include <cstring>

#include "blake3_impl.h"

namespace qvpatch {

namespace {

using blake3::kIv;

inline std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t Load32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void Mix(std::uint32_t* s, int a, int b, int c, int d, std::uint32_t x, std::uint32_t y)
{
    s[a] = s[a] + s[b] + x;
    s[d] = Rotate(s[d] ^ s[a], 16);
    s[c] = s[c] + s[d];
    s[b] = Rotate(s[b] ^ s[c], 12);
    s[a] = s[a] + s[b] + y;
    s[d] = Rotate(s[d] ^ s[a], 8);
    s[c] = s[c] + s[d];
    s[b] = Rotate(s[b] ^ s[c], 7);
}

// The compression of one block into cv (its first 8 output words).
void Compress(std::uint32_t cv[8], const std::uint8_t block[64], std::uint64_t counter, std::uint32_t length,
              std::uint32_t flags)
{
    std::uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = Load32(block + 4 * i);
    std::uint32_t s[16] = {cv[0],
                           cv[1],
                           cv[2],
                           cv[3],
                           cv[4],
                           cv[5],
                           cv[6],
                           cv[7],
                           kIv[0],
                           kIv[1],
                           kIv[2],
                           kIv[3],
                           static_cast<std::uint32_t>(counter),
                           static_cast<std::uint32_t>(counter >> 32),
                           length,
                           flags};
    for (const auto& w : blake3::kSchedule.word) {
        Mix(s, 0, 4, 8, 12, m[w[0]], m[w[1]]);
        Mix(s, 1, 5, 9, 13, m[w[2]], m[w[3]]);
        Mix(s, 2, 6, 10, 14, m[w[4]], m[w[5]]);
        Mix(s, 3, 7, 11, 15, m[w[6]], m[w[7]]);
        Mix(s, 0, 5, 10, 15, m[w[8]], m[w[9]]);
        Mix(s, 1, 6, 11, 12, m[w[10]], m[w[11]]);
        Mix(s, 2, 7, 8, 13, m[w[12]], m[w[13]]);
        Mix(s, 3, 4, 9, 14, m[w[14]], m[w[15]]);
    }
    for (int i = 0; i < 8; ++i)
        cv[i] = s[i] ^ s[i + 8];
}

// A parent's chaining value (or, with the root flag, the hash) from its children's.
void Parent(std::uint32_t out[8], const std::uint32_t left[8], const std::uint32_t right[8], std::uint32_t flags)
{
    std::uint8_t block[64];
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 4; ++k) {
            block[4 * i + k] = static_cast<std::uint8_t>(left[i] >> (8 * k));
            block[32 + 4 * i + k] = static_cast<std::uint8_t>(right[i] >> (8 * k));
        }
    std::memcpy(out, kIv, sizeof kIv);
    Compress(out, block, 0, 64, blake3::kParent | flags);
}

}  // namespace

Blake3Stream::Blake3Stream() { std::memcpy(cv_, kIv, sizeof cv_); }

// The chunk's full block, with more to come after it in the chunk.
void Blake3Stream::CompressBlock(bool last)
{
    const std::uint32_t flags = (blocksDone_ == 0 ? blake3::kChunkStart : 0) | (last ? blake3::kChunkEnd : 0);
    Compress(cv_, block_, chunk_, static_cast<std::uint32_t>(blockLength_), flags);
    ++blocksDone_;
    blockLength_ = 0;
}

// A whole subtree of 2^level chunks that are not the last ones, from the chunk numbered chunk_ (a
// multiple of its size) on: each larger subtree it completes is merged into its parent.
void Blake3Stream::AddSubtree(const std::uint32_t cv[8], int level)
{
    std::uint32_t merged[8];
    std::memcpy(merged, cv, sizeof merged);
    chunk_ += std::uint64_t{1} << level;
    for (std::uint64_t total = chunk_ >> level; (total & 1) == 0; total >>= 1)
        Parent(merged, stack_[--depth_], merged, 0);
    std::memcpy(stack_[depth_++], merged, sizeof merged);
}

// The whole chunks at in (more than count * kChunk bytes) merged into the largest subtree that
// starts at chunk_, of at most count chunks.
std::size_t Blake3Stream::HashSubtree(const std::uint8_t* in, std::size_t count)
{
    int level = 0;
    while (level < kMaxLevel && (std::size_t{2} << level) <= count && (chunk_ >> (level + 1) << (level + 1)) == chunk_)
        ++level;
    std::size_t n = std::size_t{1} << level;
    std::uint32_t cvs[std::size_t{1} << kMaxLevel][8];
    for (std::size_t c = blake3::HashChunksWide(in, n, chunk_, cvs); c < n; ++c) {
        std::memcpy(cvs[c], kIv, sizeof kIv);
        for (std::size_t b = 0; b < kChunk / kBlock; ++b)
            Compress(cvs[c], in + c * kChunk + b * kBlock, chunk_ + c, kBlock,
                     (b == 0 ? blake3::kChunkStart : 0) | (b + 1 == kChunk / kBlock ? blake3::kChunkEnd : 0));
    }
    // Each level's parents in place of their children, up to the subtree's root.
    for (; n > 1; n /= 2)
        for (std::size_t p = blake3::HashParentsWide(cvs, n / 2, cvs); p < n / 2; ++p)
            Parent(cvs[p], cvs[2 * p], cvs[2 * p + 1], 0);
    AddSubtree(cvs[0], level);
    return std::size_t{1} << level;
}

void Blake3Stream::Update(const void* data, std::size_t size)
{
    auto in = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        // A chunk is closed only once more input comes: the last one is the root's, or its
        // parents' up to the root.
        if (blocksDone_ * kBlock + blockLength_ == kChunk) {
            CompressBlock(true);
            const std::uint32_t done[8] = {cv_[0], cv_[1], cv_[2], cv_[3], cv_[4], cv_[5], cv_[6], cv_[7]};
            AddSubtree(done, 0);
            std::memcpy(cv_, kIv, sizeof cv_);
            blocksDone_ = 0;
        }
        // Whole chunks with more after them, several at a time.
        if (blocksDone_ == 0 && blockLength_ == 0 && size > kChunk) {
            const std::size_t n = HashSubtree(in, (size - 1) / kChunk);
            in += n * kChunk;
            size -= n * kChunk;
            continue;
        }
        if (blockLength_ == kBlock)
            CompressBlock(false);
        const std::size_t n = std::min(size, kBlock - blockLength_);
        std::memcpy(block_ + blockLength_, in, n);
        blockLength_ += n;
        in += n;
        size -= n;
    }
}

Digest Blake3Stream::Final() const
{
    // The last chunk's last block (of 0 to 64 bytes), then the parents along the right edge.
    std::uint8_t last[kBlock] = {};
    std::memcpy(last, block_, blockLength_);
    std::uint32_t cv[8];
    std::memcpy(cv, cv_, sizeof cv);
    std::uint32_t flags = (blocksDone_ == 0 ? blake3::kChunkStart : 0) | blake3::kChunkEnd;
    if (depth_ == 0)
        flags |= blake3::kRoot;
    Compress(cv, last, chunk_, static_cast<std::uint32_t>(blockLength_), flags);
    for (int i = depth_ - 1; i >= 0; --i)
        Parent(cv, stack_[i], cv, i == 0 ? blake3::kRoot : 0);
    Digest digest;
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 4; ++k)
            digest[4 * i + k] = static_cast<std::uint8_t>(cv[i] >> (8 * k));
    return digest;
}

Digest Blake3(const void* data, std::size_t size)
{
    Blake3Stream hash;
    hash.Update(data, size);
    return hash.Final();
}

}  // namespace qvpatch
