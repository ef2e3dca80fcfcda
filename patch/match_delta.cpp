// The match delta: approximate matching over a suffix array of the old file, and its decoder.
#include "match_delta.h"

#include "bytes.h"
#include "memory.h"
#include "threads.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <new>

// The scans of the call filters take 64 bytes at a time with SSE2; the 32-bit build, which does
// not assume it, takes a byte at a time (QV_SCALAR_SCAN: a native build of those, for their tests).
#if defined(__SSE2__) && !defined(QV_SCALAR_SCAN)
#define QV_VECTOR_SCAN 1
#include <emmintrin.h>
#endif

namespace qvpatch {

namespace {

// How many bytes a and b have in common at their start.
std::size_t CommonLength(const std::uint8_t* a, std::size_t aSize, const std::uint8_t* b, std::size_t bSize)
{
    std::size_t n = std::min(aSize, bSize), i = 0;
    while (i + 8 <= n) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
            break;
        i += 8;
    }
    while (i < n && a[i] == b[i])
        ++i;
    return i;
}

// The longest match for data in old, found by binary search in old's suffix array.
class SuffixFinder {
public:
    SuffixFinder() = default;
    SuffixFinder(const std::uint8_t* old, std::size_t oldSize, std::vector<std::int32_t> sa)
        : old_(old), oldSize_(oldSize), sa_(std::move(sa))
    {
    }

    std::size_t Longest(const std::uint8_t* data, std::size_t size, std::size_t* pos) const
    {
        return Longest(data, size, pos, [](std::size_t) { return SIZE_MAX; });
    }

    // The same where a match at p may run over no more than limit(p) bytes (old is made of pieces
    // that a match must not cross). The neighbours data falls between are then not always the
    // best: a few more each way are looked at, while they could still be.
    template <typename Limit>
    std::size_t Longest(const std::uint8_t* data, std::size_t size, std::size_t* pos, Limit limit) const
    {
        *pos = 0;
        if (sa_.empty() || size == 0)
            return 0;
        std::size_t lo = 0, hi = sa_.size() - 1;
        // Invariant: the suffix at lo sorts at or before data, the one at hi after it, unless at
        // the ends; data's longest match is one of the two neighbours it falls between.
        while (hi - lo > 1) {
            std::size_t mid = lo + (hi - lo) / 2;
            const std::uint8_t* s = old_ + sa_[mid];
            std::size_t sSize = oldSize_ - static_cast<std::size_t>(sa_[mid]);
            std::size_t common = CommonLength(s, sSize, data, size);
            bool before = common == sSize || (common < size && s[common] < data[common]);
            if (common == size)
                before = false;
            (before ? lo : hi) = mid;
        }
        std::size_t best = 0;
        bool found = false;
        // Suffix k's match; false once it cannot beat the best, nor can those further out.
        auto consider = [&](std::size_t k) {
            const auto at = static_cast<std::size_t>(sa_[k]);
            const std::size_t common = CommonLength(old_ + at, oldSize_ - at, data, size);
            if (found && common <= best)
                return false;
            const std::size_t length = std::min(common, limit(at));
            if (!found || length > best) {
                best = length;
                *pos = at;
                found = true;
            }
            return length < common;
        };
        constexpr std::size_t kAround = 8;
        bool down = consider(lo), up = consider(hi);
        for (std::size_t j = 1; j < kAround && (down || up); ++j) {
            down = down && lo >= j && consider(lo - j);
            up = up && hi + j < sa_.size() && consider(hi + j);
        }
        return best;
    }

private:
    const std::uint8_t* old_ = nullptr;
    std::size_t oldSize_ = 0;
    std::vector<std::int32_t> sa_;
};

// A hash of the block of size bytes (a multiple of 8) at p, and its slot in a table of 2^bits.
std::uint64_t BlockHash(const std::uint8_t* p, std::size_t size)
{
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    return h;
}

std::size_t BlockSlot(std::uint64_t h, int bits)
{
    return static_cast<std::size_t>((h * 0xD6E8FEB86659FD93ull) >> (64 - bits));
}

// The longest match for data in old that starts at an aligned block of old: a hash table of the
// old file's blocks (rsync's idea). A match at least two blocks long holds a whole aligned block,
// so the scan, which looks at every position, finds it at most a block late; the widening both
// ways that follows recovers what lies before. Memory is 8 bytes a block, and the blocks are made
// large enough that there are at most 2^27 of them.
class BlockFinder {
public:
    Result Build(const std::uint8_t* old, std::size_t oldSize)
    {
        old_ = old;
        oldSize_ = oldSize;
        block_ = 16;
        while ((oldSize >> 27) > block_)
            block_ *= 2;
        const std::size_t blocks = oldSize / block_;
        if (blocks >= kEmpty)
            return Fail(Status::kBuildFailed, "an old file too large to index for matching");
        bits_ = 1;
        while ((std::size_t{1} << bits_) < blocks)
            ++bits_;
        try {
            heads_.assign(std::size_t{1} << bits_, kEmpty);
            next_.assign(blocks, kEmpty);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the block index of an old file");
        }
        // A block the same as one of the few before it (a run of zeros, a fill, a short record
        // repeated) is left out: the scan finds the run from its first block, and chains stay
        // short. The others go in from the file's end to its start, so that each chain starts at
        // the earliest of its blocks: where a block repeats, the match that runs longest is tried
        // first.
        constexpr std::size_t kRecent = 8;
        std::vector<bool> repeats;
        try {
            repeats.assign(blocks, false);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the block index of an old file");
        }
        std::uint64_t recent[kRecent] = {};
        for (std::size_t k = 0; k < blocks; ++k) {
            const std::uint64_t h = Hash(old + k * block_);
            for (std::size_t d = 1; d <= kRecent && d <= k && !repeats[k]; ++d)
                repeats[k] = recent[(k - d) % kRecent] == h &&
                             std::memcmp(old + k * block_, old + (k - d) * block_, block_) == 0;
            recent[k % kRecent] = h;
        }
        for (std::size_t k = blocks; k-- > 0;) {
            if (repeats[k])
                continue;
            std::size_t slot = Slot(Hash(old + k * block_));
            next_[k] = heads_[slot];
            heads_[slot] = static_cast<std::uint32_t>(k);
        }
        return Result::Ok();
    }

    std::size_t Longest(const std::uint8_t* data, std::size_t size, std::size_t* pos) const
    {
        *pos = 0;
        if (size < block_ || heads_.empty())
            return 0;
        std::size_t best = 0;
        int tries = 0;
        for (std::uint32_t k = heads_[Slot(Hash(data))]; k != kEmpty && tries < kMaxTries; k = next_[k], ++tries) {
            std::size_t at = static_cast<std::size_t>(k) * block_;
            std::size_t length = CommonLength(old_ + at, oldSize_ - at, data, size);
            if (length >= block_ && length > best) {
                best = length;
                *pos = at;
            }
        }
        return best;
    }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    // The candidates of one lookup looked at, most recent first: where a block repeats more
    // often, the longest of these few is taken.
    static constexpr int kMaxTries = 16;

    std::uint64_t Hash(const std::uint8_t* p) const { return BlockHash(p, block_); }
    std::size_t Slot(std::uint64_t h) const { return BlockSlot(h, bits_); }

    const std::uint8_t* old_ = nullptr;
    std::size_t oldSize_ = 0;
    std::size_t block_ = 16;
    int bits_ = 1;
    std::vector<std::uint32_t> heads_, next_;
};

// The gear table of the rolling hash that picks anchors: a fixed pseudo-random value per byte.
struct GearTable {
    std::uint32_t value[256];
    constexpr GearTable() : value()
    {
        std::uint64_t x = 0x243F6A8885A308D3ull;
        for (std::uint32_t& v : value) {
            x += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            v = static_cast<std::uint32_t>(z ^ (z >> 31));
        }
    }
};
constexpr GearTable kGear;

// Content-defined anchors: the positions whose next kBlock bytes hash to one of kEvery values,
// chosen by their content, so that a piece that comes again has its anchors at the same places
// in each copy. The hash rolls (a gear hash: each byte's share is shifted out of its 32 bits
// kBlock bytes later), so finding the anchors costs a few operations a byte.
struct AnchorHash {
    static constexpr std::size_t kBlock = 16;  // the rolling hash's window
    static constexpr int kShift = 32 / static_cast<int>(kBlock);
    static constexpr int kBits = 4;  // one position in 2^kBits is an anchor
    static constexpr std::uint64_t kEvery = std::uint64_t{1} << kBits;
    static constexpr std::size_t kReach = 64;  // how far a lookup looks for its anchor

    static std::uint32_t Roll(std::uint32_t h, std::uint8_t byte) { return (h << kShift) + kGear.value[byte]; }
    static bool IsAnchor(std::uint32_t h, int bits = kBits) { return (h * 0x9E3779B1u) >> (32 - bits) == 0; }
};

struct Anchor {
    std::uint32_t at;
    std::uint32_t hash;
};

// The last few anchors of data seen, to tell one the same as one of them: in a run or a fill,
// where each position is an anchor.
class RecentAnchors {
public:
    // Whether a, the next anchor in order, repeats one of the few before it.
    bool Repeats(const std::uint8_t* data, const Anchor& a)
    {
        bool repeats = false;
        for (std::size_t d = 0; d < kRecent && d < seen_ && !repeats; ++d)
            repeats =
                recent_[d].hash == a.hash && std::memcmp(data + recent_[d].at, data + a.at, AnchorHash::kBlock) == 0;
        recent_[seen_++ % kRecent] = a;
        return repeats;
    }

private:
    static constexpr std::size_t kRecent = 8;
    std::size_t seen_ = 0;
    Anchor recent_[kRecent] = {};
};

// An index of anchors by their hash: chains of links, the latest first. An anchor the same as one
// of the few before it is left out, so that chains stay short.
class AnchorIndex {
public:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    struct Link {
        std::uint32_t at;
        std::uint32_t next;
    };

    // Room for about size bytes' anchors, one in every.
    Result Reserve(std::size_t size, std::size_t every, const char* what)
    {
        const std::size_t anchors = size / every + 1;
        while ((std::size_t{1} << bits_) < anchors)
            ++bits_;
        try {
            heads_.assign(std::size_t{1} << bits_, kEmpty);
            links_.reserve(anchors + anchors / 4);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, std::string("out of memory for the anchor index of ") + what);
        }
        return Result::Ok();
    }

    // a, an anchor of data; anchors go in in the order of their positions.
    void Add(const std::uint8_t* data, const Anchor& a)
    {
        if (recent_.Repeats(data, a))
            return;
        const std::size_t slot = Slot(a.hash);
        links_.push_back({a.at, heads_[slot]});
        heads_[slot] = static_cast<std::uint32_t>(links_.size() - 1);
    }

    std::uint32_t Head(std::uint32_t hash) const { return heads_.empty() ? kEmpty : heads_[Slot(hash)]; }
    const Link& operator[](std::uint32_t k) const { return links_[k]; }

    void Clear()
    {
        std::vector<std::uint32_t>().swap(heads_);
        std::vector<Link>().swap(links_);
    }

    // The matches for at (size bytes) through its anchor with hash, back bytes on, among the
    // first kTries candidates in source (sourceSize bytes) that agree with at up to the anchor:
    // f(start, length) for each, while it returns true.
    template <typename F>
    void ForEachMatch(std::uint32_t hash, const std::uint8_t* source, std::size_t sourceSize, const std::uint8_t* at,
                      std::size_t size, std::size_t back, F f) const
    {
        int tries = 0;
        for (std::uint32_t k = Head(hash); k != kEmpty && tries < kTries; k = links_[k].next, ++tries) {
            const std::size_t from = links_[k].at;
            if (from < back || std::memcmp(source + from - back, at, back) != 0)
                continue;
            if (!f(from - back, back + CommonLength(source + from, sourceSize - from, at + back, size - back)))
                return;
        }
    }

private:
    // The candidates of one lookup looked at, most recent first. Text repeats its short pieces
    // often (a keyword and the indentation around it), so a block's chain can be long; a few dozen
    // tries mostly reach the copy that runs on.
    static constexpr int kTries = 64;
    std::size_t Slot(std::uint32_t h) const { return (h * 0x85EBCA77u) >> (32 - bits_); }

    int bits_ = 1;
    std::vector<std::uint32_t> heads_;
    std::vector<Link> links_;
    RecentAnchors recent_;
};

// Calls f(anchor) for each anchor of data, in order.
template <typename F>
void ForEachAnchor(const std::uint8_t* data, std::size_t size, int bits, F f)
{
    if (size < AnchorHash::kBlock)
        return;
    std::uint32_t roll = 0;
    for (std::size_t i = 0; i + 1 < AnchorHash::kBlock; ++i)
        roll = AnchorHash::Roll(roll, data[i]);
    for (std::size_t at = 0; at + AnchorHash::kBlock <= size; ++at) {
        roll = AnchorHash::Roll(roll, data[at + AnchorHash::kBlock - 1]);
        if (AnchorHash::IsAnchor(roll, bits))
            f(Anchor{static_cast<std::uint32_t>(at), roll});
    }
}

// The longest match in the old file, for a new file that is mostly the old one. Where long
// stretches of the new file are found whole in the old one (covers, found by anchors in both), the
// suffix array is spent only on what is left of the old file: those stretches, less a margin at
// each end, are taken out of it, and a match is not looked for there again but at the anchors of
// what was taken out. A small update of a large tree then sorts the little that changed, not the
// whole tree (HDiffPatch's "covers by block" first). Where little is covered (programs, where
// changed addresses break up the stretches), the suffix array is of the whole old file.
class OldFinder {
public:
    OldFinder(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size)
        : old_(old),
          oldSize_(oldSize),
          data_(data),
          size_(size),
          allowed_(static_cast<std::int64_t>(4 * (std::uint64_t{oldSize} + size)) + (std::int64_t{1} << 26)),
          budget_(allowed_)
    {
    }

    Result Build()
    {
        if (oldSize_ >= kCoverFrom && size_ >= kCoverFrom && size_ <= kMaxMatchOldSize) {
            Result r = FindCovers();
            if (!r.ok())
                return r;
            if (!covers_.empty())
                return Pack();
        }
        return Sort(old_, oldSize_);
    }

    // The bytes the suffix array sorted, and those compared at anchors.
    std::size_t sorted() const { return sortedSize_; }
    std::uint64_t compared() const { return static_cast<std::uint64_t>(allowed_ - budget_); }

    std::size_t Longest(const std::uint8_t* at, std::size_t size, std::size_t* pos)
    {
        if (covers_.empty())
            return suffix_.Longest(at, size, pos);
        const auto scan = static_cast<std::size_t>(at - data_);
        while (cover_ < covers_.size() && covers_[cover_].newAt + covers_[cover_].length <= scan)
            ++cover_;
        if (cover_ < covers_.size() && covers_[cover_].newAt <= scan) {
            const Cover& c = covers_[cover_];
            *pos = c.oldAt + (scan - c.newAt);
            return std::min(size, c.newAt + c.length - scan);
        }
        std::size_t packed = 0;
        std::size_t best = suffix_.Longest(at, size, &packed, [this](std::size_t p) {
            const Segment& g = SegmentOf(p);
            return g.packedAt + g.length - p;
        });
        if (best > 0) {
            const Segment& g = SegmentOf(packed);
            *pos = g.oldAt + (packed - g.packedAt);
        }
        // The next anchor, a little way on, widened back to the point.
        while (anchor_ < newAnchors_.size() && newAnchors_[anchor_].at < scan)
            ++anchor_;
        if (anchor_ == newAnchors_.size() || newAnchors_[anchor_].at - scan > kReach)
            return best;
        if (budget_ <= 0)
            return best;
        const Anchor& a = newAnchors_[anchor_];
        lookupIndex_.ForEachMatch(a.hash, old_, oldSize_, at, size, a.at - scan,
                                  [&](std::size_t start, std::size_t length) {
                                      budget_ -= static_cast<std::int64_t>(length);
                                      if (length > best) {
                                          best = length;
                                          *pos = start;
                                      }
                                      return budget_ > 0;
                                  });
        return best;
    }

private:
    // Old and new files from this size on are looked at for covers.
    static constexpr std::size_t kCoverFrom = std::size_t{1} << 20;
    // A cover is at least this long; this much of each of its ends stays in the suffix array, so
    // that matches which run into a cover from the changes beside it are found whole.
    static constexpr std::size_t kCoverMin = 512;
    static constexpr std::size_t kMargin = 64;
    // The covers are kept only where they take out at least this share of the old file (1 in n).
    static constexpr std::size_t kCoveredShare = 4;
    static constexpr std::size_t kReach = AnchorHash::kReach;
    static constexpr int kCoverTries = 64;   // the candidates of an anchor looked at for a cover
    static constexpr std::size_t kKey = 64;  // the bytes an anchor is indexed by (Keyed)
    // The covers are looked for at one anchor in two (some 16 in the shortest cover), each indexed
    // by its key; matches in what they took out at each anchor there, by its block's hash, as in
    // the new file's own index: pieces of some 30 bytes and more.
    static constexpr int kCoverBits = AnchorHash::kBits + 1;
    static constexpr std::size_t kCoverEvery = std::size_t{1} << kCoverBits;

    struct Cover {
        std::size_t newAt, oldAt, length;
    };
    struct Segment {
        std::size_t packedAt, oldAt, length;
    };

    Result FindCovers()
    {
        Result r = coverIndex_.Reserve(oldSize_, kCoverEvery, "an old file");
        if (!r.ok())
            return r;
        try {
            newAnchors_.reserve(size_ / AnchorHash::kEvery + size_ / (4 * AnchorHash::kEvery) + 1);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the anchors of a new file");
        }
        ForEachAnchor(old_, oldSize_, kCoverBits,
                      [this](const Anchor& a) { coverIndex_.Add(old_, Keyed(old_, oldSize_, a)); });
        // The new file's, but for those the same as one of the few before (in a run or a fill,
        // where each position is one).
        RecentAnchors recent;
        ForEachAnchor(data_, size_, AnchorHash::kBits, [&](const Anchor& a) {
            if (!recent.Repeats(data_, a))
                newAnchors_.push_back(a);
        });
        // Each anchor of the new file past the last cover: the longest exact match through it,
        // the one at the offset of the cover before tried first (it is mostly the one that runs on).
        // The bytes compared are held to a budget of a few times the files: where pieces shorter
        // than a cover come again and again, each of their anchors would otherwise look at all
        // their copies. Past it, only the offset of the cover before is tried.
        std::size_t coveredTo = 0;
        std::int64_t offset = 0;
        for (const Anchor& n : newAnchors_) {
            if (n.at < coveredTo || !AnchorHash::IsAnchor(n.hash, kCoverBits))
                continue;
            const Anchor a = Keyed(data_, size_, n);
            std::size_t bestLength = 0, bestOld = 0, bestBack = 0;
            auto tryAt = [&](std::size_t from) {
                if (from + AnchorHash::kBlock > oldSize_ ||
                    std::memcmp(old_ + from, data_ + a.at, AnchorHash::kBlock) != 0)
                    return;
                const std::size_t forward = CommonLength(old_ + from, oldSize_ - from, data_ + a.at, size_ - a.at);
                std::size_t back = 0;
                while (back < a.at - coveredTo && back < from && old_[from - back - 1] == data_[a.at - back - 1])
                    ++back;
                budget_ -= static_cast<std::int64_t>(back + forward + AnchorHash::kBlock);
                if (back + forward > bestLength) {
                    bestLength = back + forward;
                    bestOld = from;
                    bestBack = back;
                }
            };
            const std::int64_t before = covers_.empty() ? -1 : static_cast<std::int64_t>(a.at) + offset;  // -1: none
            if (before >= 0)
                tryAt(static_cast<std::size_t>(before));
            int tries = 0;
            for (std::uint32_t k = coverIndex_.Head(a.hash);
                 k != AnchorIndex::kEmpty && tries < kCoverTries && budget_ > 0; k = coverIndex_[k].next, ++tries)
                if (coverIndex_[k].at != before)
                    tryAt(coverIndex_[k].at);
            if (bestLength < kCoverMin)
                continue;
            try {
                covers_.push_back({a.at - bestBack, bestOld - bestBack, bestLength});
            } catch (const std::bad_alloc&) {
                return Fail(Status::kOutOfMemory, "out of memory for the covers of a new file");
            }
            coveredTo = a.at - bestBack + bestLength;
            offset = static_cast<std::int64_t>(bestOld) - static_cast<std::int64_t>(a.at);
        }
        coverIndex_.Clear();
        return Result::Ok();
    }

    // What the covers leave of the old file, packed, into the suffix array; or the whole old file
    // where they leave most of it.
    Result Pack()
    {
        std::vector<std::pair<std::size_t, std::size_t>> out;  // the stretches taken out: start, end
        try {
            out.reserve(covers_.size());
            for (const Cover& c : covers_)
                if (c.length > 2 * kMargin)
                    out.emplace_back(c.oldAt + kMargin, c.oldAt + c.length - kMargin);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the covers of a new file");
        }
        std::sort(out.begin(), out.end());
        std::size_t kept = 0, end = 0;
        try {
            for (const auto& [from, to] : out) {
                if (from > end) {
                    segments_.push_back({kept, end, from - end});
                    kept += from - end;
                }
                end = std::max(end, to);
            }
            if (end < oldSize_) {
                segments_.push_back({kept, end, oldSize_ - end});
                kept += oldSize_ - end;
            }
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the covers of a new file");
        }
        if (oldSize_ - kept < oldSize_ / kCoveredShare) {
            covers_.clear();
            segments_.clear();
            std::vector<Anchor>().swap(newAnchors_);
            return Sort(old_, oldSize_);
        }
        // Where what they took out is looked for: its anchors (the suffix array has the rest).
        Result r = lookupIndex_.Reserve(oldSize_ - kept, AnchorHash::kEvery, "an old file");
        if (!r.ok())
            return r;
        std::size_t piece = 0;  // the first piece kept that does not end before the anchor
        ForEachAnchor(old_, oldSize_, AnchorHash::kBits, [&](const Anchor& a) {
            while (piece < segments_.size() && segments_[piece].oldAt + segments_[piece].length <= a.at)
                ++piece;
            if (piece == segments_.size() || a.at < segments_[piece].oldAt)
                lookupIndex_.Add(old_, a);
        });
        try {
            packed_.resize(kept);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the suffix array of an old file");
        }
        for (const Segment& g : segments_)
            std::memcpy(packed_.data() + g.packedAt, old_ + g.oldAt, g.length);
        return Sort(packed_.data(), packed_.size());
    }

    Result Sort(const std::uint8_t* bytes, std::size_t size)
    {
        std::vector<std::int32_t> sa;
        try {
            sa.reserve(size);
            AdviseLargeBuffer(sa.data(), size * sizeof(std::int32_t));
            sa.resize(size);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the suffix array of an old file");
        }
        if (size > 0 && divsufsort(bytes, sa.data(), static_cast<std::int32_t>(size)) != 0)
            return Fail(Status::kBuildFailed, "the suffix array of an old file could not be built");
        suffix_ = SuffixFinder(bytes, size, std::move(sa));
        sortedSize_ = size;
        return Result::Ok();
    }

    // The anchor a of bytes, indexed by the hash of the kKey bytes from it on: text repeats its
    // short pieces so often that the chains of their blocks would hide the copy that runs on.
    static Anchor Keyed(const std::uint8_t* bytes, std::size_t size, Anchor a)
    {
        if (a.at + kKey <= size)
            a.hash = static_cast<std::uint32_t>(BlockHash(bytes + a.at, kKey) >> 32);
        return a;
    }

    const Segment& SegmentOf(std::size_t packed) const
    {
        auto it = std::upper_bound(segments_.begin(), segments_.end(), packed,
                                   [](std::size_t p, const Segment& g) { return p < g.packedAt; });
        return *(it - 1);
    }

    const std::uint8_t* old_;
    std::size_t oldSize_;
    const std::uint8_t* data_;
    std::size_t size_;
    SuffixFinder suffix_;
    std::size_t sortedSize_ = 0;
    AnchorIndex coverIndex_;   // the old file's anchors for the covers, by their keys (Keyed)
    AnchorIndex lookupIndex_;  // its anchors in what the covers took out, by their blocks' hash
    std::vector<Anchor> newAnchors_;
    std::int64_t allowed_;       // the bytes that comparing at anchors may look at
    std::int64_t budget_;        // of which those left
    std::vector<Cover> covers_;  // in the order of the new file
    std::vector<Segment> segments_;
    std::vector<std::uint8_t> packed_;
    std::size_t cover_ = 0, anchor_ = 0;  // where the last lookup was, in covers_ and newAnchors_
};

// The longest match for the new file at a point, in the old file (OldFinder) or in the new file
// before that point. That is what pays: a piece of the new file that comes again, such as code
// built into several programs of a tree, changed the same way in each, costs its changes once.
//
// The new file is indexed at its anchors (AnchorHash). They are found a little ahead of the scan,
// which only moves forwards, and each goes into the index as the scan passes it. A lookup goes to
// the next anchor and widens what it finds there back to the point: matches of about two blocks
// and more are found, at 8 bytes of index per anchor. Positions in the new file are told past the
// old file's end.
class OutputFinder {
public:
    OutputFinder(OldFinder& old, std::size_t oldSize, const std::uint8_t* data, std::size_t size)
        : old_(old), oldSize_(oldSize), data_(data), size_(size)
    {
    }

    Result Build()
    {
        Result r = index_.Reserve(size_, AnchorHash::kEvery, "a new file");
        if (!r.ok())
            return r;
        for (std::size_t i = 0; i + 1 < kBlock && i < size_; ++i)
            roll_ = AnchorHash::Roll(roll_, data_[i]);
        return Result::Ok();
    }

    std::size_t Longest(const std::uint8_t* at, std::size_t size, std::size_t* pos)
    {
        std::size_t best = old_.Longest(at, size, pos);
        const auto scan = static_cast<std::size_t>(at - data_);
        // The anchors up to kReach past the point; those before it into the index, in the order of
        // their positions. Those the scan jumped over go straight in: only the ones past the point
        // are kept aside, a few dozen at most however far the scan jumps.
        for (; !ahead_.empty() && ahead_.front().at < scan; ahead_.pop_front())
            index_.Add(data_, ahead_.front());
        for (; rolled_ < scan + kReach && rolled_ + kBlock <= size_; ++rolled_) {
            roll_ = AnchorHash::Roll(roll_, data_[rolled_ + kBlock - 1]);
            if (!AnchorHash::IsAnchor(roll_))
                continue;
            const Anchor anchor{static_cast<std::uint32_t>(rolled_), roll_};
            if (rolled_ < scan)
                index_.Add(data_, anchor);
            else
                ahead_.push_back(anchor);
        }
        if (ahead_.empty())
            return best;
        const std::size_t back = ahead_.front().at - scan;
        // Of equally long matches, the one in the new file: it holds the changes made so far.
        std::size_t newBest = 0;
        index_.ForEachMatch(ahead_.front().hash, data_, size_, at, size, back,
                            [&](std::size_t start, std::size_t length) {
                                if (length >= back + kBlock && length > newBest && length >= best) {
                                    newBest = length;
                                    *pos = oldSize_ + start;
                                }
                                return true;
                            });
        return newBest > 0 ? newBest : best;
    }

private:
    static constexpr std::size_t kBlock = AnchorHash::kBlock;
    static constexpr std::size_t kReach = AnchorHash::kReach;

    OldFinder& old_;
    std::size_t oldSize_;
    const std::uint8_t* data_;
    std::size_t size_;
    AnchorIndex index_;
    std::uint32_t roll_ = 0;    // the hash of the kBlock - 1 bytes from rolled_ on
    std::size_t rolled_ = 0;    // the first position not yet looked at for an anchor
    std::deque<Anchor> ahead_;  // the anchors from the point of the last lookup up to rolled_
};

void PutNumber(std::vector<std::uint8_t>* out, std::uint64_t v)
{
    while (v >= 0x80) {
        out->push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<std::uint8_t>(v));
}

std::uint64_t ZigZag(std::int64_t v)
{
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}

std::int64_t UnZigZag(std::uint64_t v) { return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1); }

// Reads one zstd frame's content a piece at a time, within its declared size.
class FrameReader {
    // A piece: large enough that handing it to the thread beside (a wake-up, dear in a virtual
    // machine) is rare next to the work on it.
    static constexpr std::uint64_t kPiece = 256 << 10;

public:
    Result Open(const std::string& what, const char* stream, const DataSource& data, const std::uint8_t* prefix,
                std::size_t prefixSize, int maxWindowLog)
    {
        what_ = what;
        stream_ = stream;
        unsigned long long declared = 0;
        std::uint64_t window = 0;
        Result r = FrameContentSize(data, &declared, &window);
        if (!r.ok())
            return r;
        if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN)
            return Bad("is not a zstd frame with its size");
        // Asked of the header itself: zstd does not ask it of a frame it decodes in one go.
        if (window > (std::uint64_t{1} << maxWindowLog))
            return Bad("asks for a window larger than " + std::to_string((std::uint64_t{1} << maxWindowLog) >> 20) +
                       " MiB");
        declared_ = declared;
        Result made = NewZstdDecoder(prefix, prefixSize, &dctx_, maxWindowLog);
        if (!made.ok())
            return made;
        input_ = std::make_unique<FrameInput>(data);
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(declared_, kPiece)) + 1);
        return Result::Ok();
    }

    std::uint64_t declared() const { return declared_; }
    // The bytes not read yet.
    std::uint64_t left() const { return declared_ - handed_ + (end_ - pos_); }

    // Has each next piece of the frame decoded beside while this one is read: for a large stream.
    // Before the first read.
    void ReadAhead()
    {
        if (ahead_ || handed_ != 0 || declared_ == 0)
            return;
        ahead_ = std::make_unique<Ahead>();
        ahead_->buffer.resize(buffer_.size());
        StartAhead();
    }

    Result Byte(std::uint8_t* b)
    {
        if (pos_ < end_) {
            *b = buffer_[pos_++];
            return Result::Ok();
        }
        return Read(b, 1);
    }

    // Exactly n bytes into dst.
    Result Read(std::uint8_t* dst, std::size_t n)
    {
        while (n > 0) {
            if (pos_ == end_) {
                Result r = Fill();
                if (!r.ok())
                    return r;
            }
            std::size_t k = std::min(n, end_ - pos_);
            std::memcpy(dst, buffer_.data() + pos_, k);
            pos_ += k;
            dst += k;
            n -= k;
        }
        return Result::Ok();
    }

    // The bytes decoded and not read yet, which the Take and Try calls read.
    std::size_t buffered() const { return end_ - pos_; }
    std::uint8_t TakeByte() { return buffer_[pos_++]; }
    // A number read straight from the buffer, where the longest a number can be is there; false,
    // reading nothing, where it is not or the number is too large (Number tells which).
    bool TryNumber(std::uint64_t* v)
    {
        if (end_ - pos_ < 10)
            return false;
        const std::uint8_t* p = buffer_.data() + pos_;
        std::uint64_t x = 0;
        for (int i = 0; i < 10; ++i) {
            const std::uint8_t b = p[i];
            if (i == 9 && b > 1)
                return false;
            x |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
            if ((b & 0x80) == 0) {
                pos_ += static_cast<std::size_t>(i + 1);
                *v = x;
                return true;
            }
        }
        return false;
    }

    Result Number(std::uint64_t* v)
    {
        if (TryNumber(v))
            return Result::Ok();
        *v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            std::uint8_t b;
            Result r = Byte(&b);
            if (!r.ok())
                return r;
            if (shift == 63 && b > 1)
                break;
            *v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if ((b & 0x80) == 0)
                return Result::Ok();
        }
        return Bad("holds a number too large");
    }

    // Whether the frame ends here, with nothing after it.
    Result Finish()
    {
        if (ahead_)
            ahead_->beside.Wait();  // the decoder is this thread's again
        if (pos_ != end_ || handed_ != declared_)
            return Bad("has bytes left over");
        while (!finished_) {
            // The decoder may still have the frame's end to read.
            Result r = input_->Fill();
            if (!r.ok())
                return r;
            std::uint8_t spare;
            ZSTD_outBuffer out{&spare, 1, 0};
            const std::uint64_t before = input_->left();
            std::size_t ret = ZSTD_decompressStream(dctx_.get(), &out, input_->buffer());
            if (ZSTD_isError(ret))
                return Bad(std::string("does not decode: ") + ZSTD_getErrorName(ret));
            if (out.pos != 0)
                return Bad("decodes to more than it declares");
            if (ret == 0)
                finished_ = true;
            else if (input_->left() == 0 || input_->left() == before)
                return Bad("is cut short");
        }
        if (input_->left() != 0)
            return Bad("has bytes after its frame");
        return Result::Ok();
    }

private:
    // The next piece into the buffer; read ahead, the one decoded beside, and the one after
    // started there.
    Result Fill()
    {
        pos_ = end_ = 0;
        if (!ahead_) {
            Result r = Decode(buffer_.data(), buffer_.size(), &end_);
            handed_ = produced_;
            return r;
        }
        if (handed_ == declared_)
            return Bad("is used up too soon");
        ahead_->beside.Wait();
        if (!ahead_->result.ok())
            return ahead_->result;
        std::swap(buffer_, ahead_->buffer);
        end_ = ahead_->end;
        handed_ += end_;
        if (handed_ < declared_)
            StartAhead();
        return Result::Ok();
    }

    void StartAhead()
    {
        ahead_->beside.Start([this] {
            Ahead& a = *ahead_;
            a.end = 0;
            a.result = Decode(a.buffer.data(), a.buffer.size(), &a.end);
        });
    }

    // Decodes the frame's next bytes into (at most size of them), *end of them.
    Result Decode(std::uint8_t* into, std::size_t size, std::size_t* end)
    {
        if (finished_ || produced_ == declared_)
            return Bad("is used up too soon");
        *end = 0;
        while (*end == 0) {
            Result r = input_->Fill();
            if (!r.ok())
                return r;
            std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(size, declared_ - produced_));
            ZSTD_outBuffer out{into, room, 0};
            std::size_t ret = ZSTD_decompressStream(dctx_.get(), &out, input_->buffer());
            if (ZSTD_isError(ret))
                return Bad(std::string("does not decode: ") + ZSTD_getErrorName(ret));
            *end = out.pos;
            produced_ += out.pos;
            if (ret == 0) {
                finished_ = true;
                if (produced_ != declared_)
                    return Bad("decodes to other than it declares");
            }
            if (*end == 0 && (finished_ || input_->left() == 0))
                return Bad("is cut short");
        }
        return Result::Ok();
    }

    Result Bad(const std::string& why) const { return CorruptData(what_, std::string("(") + stream_ + ") " + why); }

    std::string what_;
    const char* stream_ = "";
    ZstdDecoder dctx_;
    std::unique_ptr<FrameInput> input_;
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0, end_ = 0;
    // Decoded, and handed on to buffer_; the decoder's (and produced_, finished_) are the
    // thread's beside while a piece is decoded ahead.
    std::uint64_t declared_ = 0, produced_ = 0, handed_ = 0;
    bool finished_ = false;
    struct Ahead {
        std::vector<std::uint8_t> buffer;
        std::size_t end = 0;
        Result result;
        Beside beside;  // last: its work ends before the rest goes
    };
    std::unique_ptr<Ahead> ahead_;  // last: its work uses the decoder and the input
};

}  // namespace

namespace {

// A binary range coder (LZMA's): adaptive probabilities of 12 bits that a bit is 0, each moved
// by 1/2^adapt of the way toward the bit coded.
constexpr int kProbabilityBits = 12;
constexpr std::uint16_t kProbabilityOne = 1u << kProbabilityBits, kProbabilityHalf = kProbabilityOne / 2;
constexpr std::uint32_t kRangeTop = 1u << 24;  // the range is kept at or above it

inline void Adapt(std::uint16_t* p, unsigned bit, int adapt)
{
    if (bit == 0)
        *p = static_cast<std::uint16_t>(*p + ((kProbabilityOne - *p) >> adapt));
    else
        *p = static_cast<std::uint16_t>(*p - (*p >> adapt));
}

class RangeEncoder {
public:
    explicit RangeEncoder(std::vector<std::uint8_t>* out) : out_(out) {}

    void Bit(std::uint16_t* p, unsigned bit, int adapt)
    {
        const std::uint32_t bound = (range_ >> kProbabilityBits) * *p;
        if (bit == 0) {
            range_ = bound;
        } else {
            low_ += bound;
            range_ -= bound;
        }
        Adapt(p, bit, adapt);
        Normalize();
    }

    // The low bits of value, from the top, down a tree of probabilities (probabilities[1] first).
    void Tree(std::uint16_t* probabilities, unsigned value, int bits, int adapt)
    {
        for (unsigned node = 1, k = static_cast<unsigned>(bits); k-- > 0;) {
            const unsigned bit = (value >> k) & 1;
            Bit(&probabilities[node], bit, adapt);
            node = node * 2 + bit;
        }
    }

    // A bit as likely 0 as 1.
    void Direct(unsigned bit)
    {
        range_ >>= 1;
        if (bit != 0)
            low_ += range_;
        Normalize();
    }

    void Finish()
    {
        for (int i = 0; i < 5; ++i)
            ShiftLow();
    }

private:
    void Normalize()
    {
        while (range_ < kRangeTop) {
            range_ <<= 8;
            ShiftLow();
        }
    }

    // A byte is written once no carry can reach it; 0xFF bytes wait with the one before.
    void ShiftLow()
    {
        if (static_cast<std::uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            const auto carry = static_cast<std::uint8_t>(low_ >> 32);
            std::uint8_t byte = cache_;
            do {
                out_->push_back(static_cast<std::uint8_t>(byte + carry));
                byte = 0xFF;
            } while (--cacheSize_ != 0);
            cache_ = static_cast<std::uint8_t>(low_ >> 24);
        }
        ++cacheSize_;
        low_ = (low_ & 0x00FFFFFF) << 8;
    }

    std::vector<std::uint8_t>* out_;
    std::uint64_t low_ = 0;
    std::uint32_t range_ = 0xFFFFFFFF;
    std::uint8_t cache_ = 0;
    std::uint64_t cacheSize_ = 1;
};

// Its decoder, reading the coder's bytes from a stream.
class RangeDecoder {
public:
    // The coder's first bytes.
    Result Open(FrameReader* stream)
    {
        stream_ = stream;
        for (int i = 0; i < 5; ++i) {
            Result r = NextByte();
            if (!r.ok())
                return r;
        }
        return Result::Ok();
    }

    Result Bit(std::uint16_t* p, int adapt, unsigned* bit)
    {
        const std::uint32_t bound = (range_ >> kProbabilityBits) * *p;
        if (code_ < bound) {
            range_ = bound;
            *bit = 0;
        } else {
            code_ -= bound;
            range_ -= bound;
            *bit = 1;
        }
        Adapt(p, *bit, adapt);
        return Normalize();
    }

    // What RangeEncoder::Tree coded.
    Result Tree(std::uint16_t* probabilities, int bits, int adapt, unsigned* value)
    {
        unsigned node = 1;
        for (int k = 0; k < bits; ++k) {
            unsigned bit = 0;
            Result r = Bit(&probabilities[node], adapt, &bit);
            if (!r.ok())
                return r;
            node = node * 2 + bit;
        }
        *value = node - (1u << bits);
        return Result::Ok();
    }

    Result Direct(unsigned* bit)
    {
        range_ >>= 1;
        *bit = code_ >= range_ ? 1 : 0;
        code_ -= *bit != 0 ? range_ : 0;
        return Normalize();
    }

    // After the last symbol: the coder's last bytes, at most 4 that were not needed.
    Result Finish(const std::string& what, const char* stream)
    {
        if (stream_->left() > 4)
            return CorruptData(what, std::string("has bytes left over after its ") + stream);
        while (stream_->left() > 0) {
            std::uint8_t b;
            Result r = stream_->Byte(&b);
            if (!r.ok())
                return r;
        }
        return Result::Ok();
    }

private:
    Result Normalize()
    {
        while (range_ < kRangeTop) {  // twice where a bit was all but certain
            range_ <<= 8;
            Result r = NextByte();
            if (!r.ok())
                return r;
        }
        return Result::Ok();
    }

    Result NextByte()
    {
        std::uint8_t b = 0;
        Result r = stream_->Byte(&b);
        code_ = code_ << 8 | b;
        return r;
    }

    FrameReader* stream_ = nullptr;
    std::uint32_t range_ = 0xFFFFFFFF, code_ = 0;
};

// The modeled streams cost time when applying: some 40 ns a value, and about 1 us a record (three
// numbers of some 30 bits each, decoded bit by bit twice, by the walk and the run), where the rest
// of applying takes a few ns a byte of the new file. So the values are modeled where there
// are at most 64 Ki of them or one for every 64 bytes of the new file, and the records where there
// are at most 4 Ki of them or one for every 4 KiB: a few ms, or a few percent of applying it. A
// reader refuses more, so that a small patch cannot make its decoding take long. Records are not
// modeled in programs, whose records lie close together and whose apply time is most of their
// budget: the model saved 242 bytes of win32-exe's 142,078, for 1.5 ms of its 29.
bool ModelsValues(std::uint64_t values, std::uint64_t newSize)
{
    return values <= std::max<std::uint64_t>(1 << 16, newSize / 64);
}
bool ModelsRecords(std::uint64_t records, std::uint64_t newSize)
{
    return records <= std::max<std::uint64_t>(1 << 12, newSize / 4096);
}

// The values of the changed bytes coded by the byte each changes (kSplitModeledValues): the new
// byte, a bit at a time from its top, each bit with a probability of its own for each old byte
// and the bits above it. In text, where a change mostly turns one letter into another the same way
// over and over (names renamed), the byte it changes says much of what it becomes: a third of the
// bytes zstd takes.
class ValueModel {
public:
    static constexpr int kAdapt = 3;
    ValueModel() : probabilities_(256 * 256, kProbabilityHalf) {}
    // The tree of probabilities for the bytes that change old.
    std::uint16_t* Tree(std::uint8_t old) { return &probabilities_[old * 256u]; }

private:
    std::vector<std::uint16_t> probabilities_;
};

// The values' stream: their count (LEB128), then the range coder's bytes.
std::vector<std::uint8_t> EncodeModeledValues(const std::vector<std::uint8_t>& values,
                                              const std::vector<std::uint8_t>& olds)
{
    std::vector<std::uint8_t> out;
    PutNumber(&out, values.size());
    ValueModel model;
    RangeEncoder coder(&out);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint8_t old = olds[i];
        coder.Tree(model.Tree(old), static_cast<std::uint8_t>(old + values[i]), 8, ValueModel::kAdapt);
    }
    coder.Finish();
    return out;
}

// Reads the values of a modeled stream from its frame, one for each changed byte, given the byte.
class ModeledValues {
public:
    // The count, and the coder's first bytes.
    Result Open(FrameReader* stream, std::uint64_t newSize, const std::string& what, std::uint64_t* count)
    {
        Result r = stream->Number(count);
        if (!r.ok())
            return r;
        if (*count > newSize)
            return CorruptData(what, "has more changed bytes than the new file");
        if (!ModelsValues(*count, newSize))
            return CorruptData(what, "has more modeled values than a new file of its size may");
        model_ = std::make_unique<ValueModel>();
        return coder_.Open(stream);
    }

    // The value that turns old into the new byte.
    Result Next(std::uint8_t old, std::uint8_t* value)
    {
        unsigned made = 0;
        Result r = coder_.Tree(model_->Tree(old), 8, ValueModel::kAdapt, &made);
        *value = static_cast<std::uint8_t>(made - old);
        return r;
    }

    Result Finish(const std::string& what) { return coder_.Finish(what, "values"); }

private:
    std::unique_ptr<ValueModel> model_;
    RangeDecoder coder_;
};

inline int BitLength(std::uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

// Numbers coded by their length in bits (a tree of 7 bits, for each context), then their bits
// below the top one: the first 3 with probabilities for each length and the bits before them, the
// rest as likely 0 as 1.
class NumberModel {
public:
    static constexpr int kAdapt = 4;
    explicit NumberModel(int contexts)
        : lengths_(static_cast<std::size_t>(contexts) * 128, kProbabilityHalf),
          bits_(static_cast<std::size_t>(contexts) * 65 * 16, kProbabilityHalf)
    {
    }

    void Encode(RangeEncoder* coder, std::uint64_t n, int context)
    {
        const int length = BitLength(n);
        coder->Tree(&lengths_[static_cast<std::size_t>(context) * 128], static_cast<unsigned>(length), 7, kAdapt);
        for (int k = length - 2, node = 1; k >= 0; --k) {
            const unsigned bit = static_cast<unsigned>(n >> k) & 1;
            if (k >= length - 1 - kModeled) {
                coder->Bit(Mantissa(context, length, node), bit, kAdapt);
                node = node * 2 + static_cast<int>(bit);
            } else {
                coder->Direct(bit);
            }
        }
    }

    Result Decode(RangeDecoder* coder, int context, const std::string& what, std::uint64_t* n)
    {
        unsigned lengthCode = 0;
        Result read = coder->Tree(&lengths_[static_cast<std::size_t>(context) * 128], 7, kAdapt, &lengthCode);
        if (!read.ok())
            return read;
        const int length = static_cast<int>(lengthCode);
        if (length > 64)
            return CorruptData(what, "holds a number too large");
        *n = length == 0 ? 0 : 1;
        for (int k = length - 2, mantissa = 1; k >= 0; --k) {
            unsigned bit = 0;
            Result r = k >= length - 1 - kModeled ? coder->Bit(Mantissa(context, length, mantissa), kAdapt, &bit)
                                                  : coder->Direct(&bit);
            if (!r.ok())
                return r;
            if (k >= length - 1 - kModeled)
                mantissa = mantissa * 2 + static_cast<int>(bit);
            *n = *n << 1 | bit;
        }
        return Result::Ok();
    }

private:
    static constexpr int kModeled = 3;  // the bits below the top one with probabilities of their own
    std::uint16_t* Mantissa(int context, int length, int node)
    {
        return &bits_[(static_cast<std::size_t>(context) * 65 + static_cast<std::size_t>(length)) * 16 +
                      static_cast<std::size_t>(node)];
    }

    std::vector<std::uint16_t> lengths_, bits_;
};

// The records' fields modeled (kSplitModeledRecords), each stream a range coder's bytes: the adds
// and copies as numbers; each seek as where the next record reads from, told from the end of this
// record's add bytes or from that of one of the 4 records before (a 3-bit choice), then the
// distance from there (zigzag). Text made of pieces of many files goes back to where it came from
// after a piece from elsewhere: that costs a short distance, not a far jump back.
class RecordModel {
public:
    static constexpr int kBases = 5;
    RecordModel() : adds(1), copies(1), distances(kBases), bases(8, kProbabilityHalf) {}

    // The base j's place for a record whose add bytes end at end.
    std::uint64_t Base(int j, std::uint64_t end) const { return j == 0 ? end : ends_[j - 1]; }
    // After each record.
    void Ended(std::uint64_t end, std::uint64_t next)
    {
        for (int j = kBases - 2; j > 0; --j)
            ends_[j] = ends_[j - 1];
        ends_[0] = end;
        position_ = next;
    }
    std::uint64_t position() const { return position_; }

    NumberModel adds, copies, distances;
    std::vector<std::uint16_t> bases;  // the choice of base, a tree of 3 bits

private:
    std::uint64_t ends_[kBases - 1] = {};
    std::uint64_t position_ = 0;
};

// The three streams of the records modeled.
void EncodeModeledRecords(const std::vector<MatchRecord>& records, std::vector<std::uint8_t>* adds,
                          std::vector<std::uint8_t>* copies, std::vector<std::uint8_t>* seeks)
{
    RangeEncoder addCoder(adds), copyCoder(copies), seekCoder(seeks);
    RecordModel model;
    for (const MatchRecord& rec : records) {
        model.adds.Encode(&addCoder, rec.add, 0);
        model.copies.Encode(&copyCoder, rec.copy, 0);
        const std::uint64_t end = model.position() + rec.add, next = end + static_cast<std::uint64_t>(rec.seek);
        int base = 0;
        std::uint64_t distance = ZigZag(rec.seek);
        for (int j = 1; j < RecordModel::kBases; ++j) {
            const std::uint64_t d = ZigZag(static_cast<std::int64_t>(next - model.Base(j, end)));
            if (BitLength(d) < BitLength(distance)) {
                base = j;
                distance = d;
            }
        }
        seekCoder.Tree(model.bases.data(), static_cast<unsigned>(base), 3, NumberModel::kAdapt);
        model.distances.Encode(&seekCoder, distance, base);
        model.Ended(end, next);
    }
    addCoder.Finish();
    copyCoder.Finish();
    seekCoder.Finish();
}

// The records' fields from the streams that hold them (one stream, or one each): LEB128 numbers,
// or modeled.
class RecordFields {
public:
    RecordFields(FrameReader& adds, FrameReader& copies, FrameReader& seeks)
        : adds_(adds), copies_(copies), seeks_(seeks)
    {
    }

    // The split form's modeled fields, at most ModelsRecords allows for newSize: the coders' first
    // bytes.
    Result Model(std::uint64_t newSize)
    {
        newSize_ = newSize;
        model_ = std::make_unique<RecordModel>();
        Result r;
        if (!(r = addCoder_.Open(&adds_)).ok() || !(r = copyCoder_.Open(&copies_)).ok())
            return r;
        return seekCoder_.Open(&seeks_);
    }

    Result Next(const std::string& what, std::uint64_t* add, std::uint64_t* copy, std::uint64_t* seekCode)
    {
        Result r;
        if (!model_) {
            if (!(r = adds_.Number(add)).ok() || !(r = copies_.Number(copy)).ok())
                return r;
            return seeks_.Number(seekCode);
        }
        if (!ModelsRecords(++records_, newSize_))
            return CorruptData(what, "has more modeled records than a new file of its size may");
        if (!(r = model_->adds.Decode(&addCoder_, 0, what, add)).ok() ||
            !(r = model_->copies.Decode(&copyCoder_, 0, what, copy)).ok())
            return r;
        unsigned baseCode = 0;
        if (!(r = seekCoder_.Tree(model_->bases.data(), 3, NumberModel::kAdapt, &baseCode)).ok())
            return r;
        const int base = static_cast<int>(baseCode);
        if (base >= RecordModel::kBases)
            return CorruptData(what, "reads from an unknown place");
        std::uint64_t distance = 0;
        if (!(r = model_->distances.Decode(&seekCoder_, base, what, &distance)).ok())
            return r;
        // Wrapping, as a seek may: the walk refuses one that leaves the file.
        const std::uint64_t end = model_->position() + *add;
        const std::uint64_t next = model_->Base(base, end) + static_cast<std::uint64_t>(UnZigZag(distance));
        *seekCode = ZigZag(static_cast<std::int64_t>(next - end));
        model_->Ended(end, next);
        return Result::Ok();
    }

    // After the last record: the coders' last bytes.
    Result Finish(const std::string& what)
    {
        Result r;
        if (!model_ || !(r = addCoder_.Finish(what, "adds")).ok() || !(r = copyCoder_.Finish(what, "copies")).ok())
            return r;
        return seekCoder_.Finish(what, "seeks");
    }

private:
    FrameReader &adds_, &copies_, &seeks_;
    std::unique_ptr<RecordModel> model_;
    RangeDecoder addCoder_, copyCoder_, seekCoder_;
    std::uint64_t newSize_ = 0, records_ = 0;
};

}  // namespace

namespace {

// The scan over the new file that turns it into records. The file is walked from the start; at
// each point the longest exact match in the old file is looked up, and taken when it beats, by
// more than a few bytes, simply going on at the offset of the match before (which still agrees in
// most bytes: code that moved, with its addresses changed). Each match taken is then widened both
// ways into an approximate one, as long as enough of its bytes agree (half, or more; see MatchOptions): the match
// before forwards, the new one backwards, and where the two widenings overlap the overlap is split where it costs
// least. What lies between them matches nothing and is copied as it is.
template <typename Finder>
class MatchScan {
public:
    // With readsOutput, a match may also be in the new file before the point it is for: the
    // source is the old file followed by the new one, and a position at or past oldSize is in the
    // new file. The finder keeps to what comes before.
    MatchScan(Finder& finder, const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
              const MatchOptions& options)
        : finder_(finder),
          old_(old),
          oldEnd_(static_cast<std::int64_t>(oldSize)),
          oldSize_(static_cast<std::int64_t>(options.readsOutput ? oldSize + size : oldSize)),
          data_(data),
          size_(static_cast<std::int64_t>(size)),
          agreePercent_(options.agreePercent),
          seekByteCost_(options.seekByteCost),
          halfSteps_(options.index == MatchIndex::kSuffixArray)
    {
    }

    void Run(std::vector<MatchRecord>* records)
    {
        while (scan_ < size_) {
            if (!FindNextMatch())
                continue;
            std::int64_t forward = ExtendForward();
            std::int64_t backward = scan_ < size_ ? ExtendBackward() : 0;
            SplitOverlap(&forward, &backward);
            Emit(forward, backward, records);
        }
    }

    std::uint64_t lookups() const { return lookups_; }

private:
    // The source's byte at pos.
    std::uint8_t Source(std::int64_t pos) const { return pos < oldEnd_ ? old_[pos] : data_[pos - oldEnd_]; }

    // Whether the old file at offset agrees with the new file at newPos.
    bool AgreesAt(std::int64_t newPos, std::int64_t offset) const
    {
        std::int64_t oldPos = newPos + offset;
        return oldPos >= 0 && offset < oldEnd_ && oldPos < oldSize_ && Source(oldPos) == data_[newPos];
    }

    // Looks for the next exact match worth taking, from the end of the last one on. False when the
    // scan must go on (the match found agrees with the offset before as well, and the file is
    // not at its end).
    bool FindNextMatch()
    {
        // A long match that the current offset does about as well: the positions inside it mostly
        // find the rest of the same match, so half of it is passed over. That bounds the search
        // work per byte where long runs repeat (it would grow with their length). With a suffix
        // array (halfSteps), where each lookup finds the longest match there is, the same goes for
        // a short one: looking again at each of its bytes finds little it did not, at a lookup a
        // byte (program code, where most lookups find short matches, is then matched in half the
        // time, into slightly smaller deltas).
        constexpr std::int64_t kLongMatch = 64;
        std::int64_t agreeing = 0;  // bytes of the match that the offset before agrees with as well
        std::int64_t counted = scan_ += length_;
        while (scan_ < size_) {
            std::size_t p = 0;
            length_ =
                static_cast<std::int64_t>(finder_.Longest(data_ + scan_, static_cast<std::size_t>(size_ - scan_), &p));
            ++lookups_;
            pos_ = static_cast<std::int64_t>(p);
            for (; counted < scan_ + length_; ++counted)
                agreeing += AgreesAt(counted, lastOffset_) ? 1 : 0;
            if ((length_ == agreeing && length_ != 0) || length_ > agreeing + Beat())
                break;
            std::int64_t step = length_ >= kLongMatch || halfSteps_ ? std::max<std::int64_t>(1, length_ / 2) : 1;
            for (std::int64_t k = 0; k < step && scan_ < size_; ++k, ++scan_)
                agreeing -= AgreesAt(scan_, lastOffset_) ? 1 : 0;
        }
        return !(length_ == agreeing && scan_ != size_);
    }

    // By how many bytes a match must be longer than the stretch of it that going on at the offset
    // before agrees with, to be taken.
    std::int64_t Beat() const
    {
        if (seekByteCost_ == 0)
            return 8;
        std::uint64_t seek = ZigZag((pos_ - scan_) - lastOffset_);
        std::int64_t bytes = 1;
        for (; seek >= 0x80; seek >>= 7)
            ++bytes;
        return seekByteCost_ * bytes;
    }

    // How far a widening may look: all the way, while the work of widening stays within a budget of
    // a few times the file; past it, a short way. Where matches keep being found that widen back
    // over the same long stretch (data that repeats with a short period, shifted), each would
    // otherwise look over all of it again.
    std::int64_t Reach(std::int64_t span)
    {
        constexpr std::int64_t kShortReach = 256;
        if (widenBudget_ <= 0)
            span = std::min(span, kShortReach);
        widenBudget_ -= span;
        return span;
    }

    // How far the match before reaches forwards: the length where agreeing bytes outnumber the
    // others by the most.
    std::int64_t ExtendForward()
    {
        std::int64_t forward = 0;
        // At the start there is no match before; with nothing old, its offset reads nothing made.
        if (lastPos_ - lastScan_ >= oldEnd_)
            return 0;
        const std::int64_t reach = Reach(scan_ - lastScan_);
        for (std::int64_t i = 0, agree = 0, best = 0; i < reach && lastPos_ + i < oldSize_;) {
            if (Source(lastPos_ + i) == data_[lastScan_ + i])
                ++agree;
            ++i;
            if (agree * 100 - i * agreePercent_ > best * 100 - forward * agreePercent_) {
                best = agree;
                forward = i;
            }
        }
        return forward;
    }

    // How far the new match reaches backwards, by the same measure.
    std::int64_t ExtendBackward()
    {
        std::int64_t backward = 0;
        const std::int64_t reach = Reach(scan_ - lastScan_);
        for (std::int64_t i = 1, agree = 0, best = 0; i <= reach && pos_ >= i; ++i) {
            if (Source(pos_ - i) == data_[scan_ - i])
                ++agree;
            if (agree * 100 - i * agreePercent_ > best * 100 - backward * agreePercent_) {
                best = agree;
                backward = i;
            }
        }
        return backward;
    }

    // Where the two widenings overlap, the point where the new file agrees with the match before
    // the most and with the new match the least goes to the match before, the rest to the new one.
    void SplitOverlap(std::int64_t* forward, std::int64_t* backward) const
    {
        std::int64_t overlap = (lastScan_ + *forward) - (scan_ - *backward);
        if (overlap <= 0)
            return;
        std::int64_t score = 0, best = 0, split = 0;
        for (std::int64_t i = 0; i < overlap; ++i) {
            if (data_[lastScan_ + *forward - overlap + i] == Source(lastPos_ + *forward - overlap + i))
                ++score;
            if (data_[scan_ - *backward + i] == Source(pos_ - *backward + i))
                --score;
            if (score > best) {
                best = score;
                split = i + 1;
            }
        }
        *forward += split - overlap;
        *backward -= split;
    }

    // The record of the match before (its forward reach, then the bytes that match nothing, then
    // the move to the new match), and the new match becomes the one before. A record that produces
    // nothing only moves the old position: the record before does it.
    void Emit(std::int64_t forward, std::int64_t backward, std::vector<MatchRecord>* records)
    {
        MatchRecord rec;
        rec.add = static_cast<std::uint64_t>(forward);
        rec.copy = static_cast<std::uint64_t>((scan_ - backward) - (lastScan_ + forward));
        rec.seek = (pos_ - backward) - (lastPos_ + forward);
        if (rec.add == 0 && rec.copy == 0 && !records->empty())
            records->back().seek += rec.seek;
        else
            records->push_back(rec);
        lastScan_ = scan_ - backward;
        lastPos_ = pos_ - backward;
        lastOffset_ = pos_ - scan_;
    }

    Finder& finder_;
    const std::uint8_t* old_;
    std::int64_t oldEnd_;   // the old file's size
    std::int64_t oldSize_;  // the source's: the old file's, or with the new file after it
    const std::uint8_t* data_;
    std::int64_t size_;
    std::int64_t scan_ = 0, length_ = 0, pos_ = 0;              // the match being looked at
    std::int64_t lastScan_ = 0, lastPos_ = 0, lastOffset_ = 0;  // the match before
    std::uint64_t lookups_ = 0;
    std::int64_t agreePercent_;
    std::int64_t seekByteCost_;
    bool halfSteps_;  // a match not taken is passed over by half, however short
    std::int64_t widenBudget_ = 16 * size_ + (std::int64_t{1} << 26);
};

}  // namespace

Result FindMatches(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                   std::vector<MatchRecord>* records, MatchWork* work, const MatchOptions& options)
{
    records->clear();
    if (options.index == MatchIndex::kBlockHash && options.readsOutput)
        return Fail(Status::kBuildFailed, "matches in the new file are found by suffix array only");
    if (options.index == MatchIndex::kBlockHash) {
        BlockFinder finder;
        Result r = finder.Build(old, oldSize);
        if (!r.ok())
            return r;
        MatchScan<BlockFinder> scan(finder, old, oldSize, data, size, options);
        scan.Run(records);
        if (work != nullptr)
            *work = MatchWork{scan.lookups(), 0, 0};
        return Result::Ok();
    }
    if (oldSize > kMaxMatchOldSize)
        return Fail(Status::kBuildFailed, "an old file too large to index for matching");
    if (options.readsOutput && size > kMaxMatchOldSize - oldSize)
        return Fail(Status::kBuildFailed, "files too large to match against each other");
    OldFinder finder(old, oldSize, data, size);
    Result built = finder.Build();
    if (!built.ok())
        return built;
    std::uint64_t lookups = 0;
    if (options.readsOutput) {
        OutputFinder both(finder, oldSize, data, size);
        Result r = both.Build();
        if (!r.ok())
            return r;
        MatchScan<OutputFinder> scan(both, old, oldSize, data, size, options);
        scan.Run(records);
        lookups = scan.lookups();
    } else {
        MatchScan<OldFinder> scan(finder, old, oldSize, data, size, options);
        scan.Run(records);
        lookups = scan.lookups();
    }
    if (work != nullptr)
        *work = MatchWork{lookups, finder.sorted(), finder.compared()};
    return Result::Ok();
}

// A call or jump with a 32-bit displacement (E8, E9) is transformed when the displacement reaches
// no further than 16 MiB: its top byte all zeros or all ones, which the transform keeps. The four
// bytes after such an opcode are passed over whether transformed or not, so no transform starts
// inside them: decoding then decides on the same bytes as encoding did, in the same places.
namespace {

inline bool IsOpcode(std::uint8_t b) { return (b & 0xFE) == 0xE8; }

inline bool IsNear(std::uint8_t top) { return static_cast<std::uint8_t>(top + 1) <= 1; }

// The first position from i on, before end, of an E8 or E9 byte; end if there is none. Eight bytes
// are looked at a time: with bit 0 cleared and E8 taken away, such a byte is the only zero, and the
// lowest byte flagged by the zero-byte test is always a true one.
inline std::size_t NextOpcode(const std::uint8_t* data, std::size_t i, std::size_t end)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    for (; i + 8 <= end; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        w = (w & ~kOnes) ^ (0xE8 * kOnes);
        const std::uint64_t zero = (w - kOnes) & ~w & kHigh;
        // The bytes in memory order are the word's from its lowest (every target is little-endian).
        if (zero != 0)
            return i + static_cast<std::size_t>(__builtin_ctzll(zero) >> 3);
    }
    for (; i < end; ++i)
        if (IsOpcode(data[i]))
            return i;
    return end;
}

// Calls take(i) for each opcode the filter takes in data: an E8 or E9 byte at i, with its 4 operand
// bytes before size, found from from and from 5 bytes past each one taken (take may change those
// 4). Returns where the scan would go on: past the last operand, or 4 bytes from the end.
template <class Take>
inline std::size_t ForEachOpcode(const std::uint8_t* data, std::size_t from, std::size_t size, Take take)
{
    const std::size_t end = size >= 4 ? size - 4 : 0;  // where an opcode with its operand no longer fits
    std::size_t next = from;
#if defined(QV_VECTOR_SCAN)
    // Sixty-four bytes at a time: a bit for each E8 or E9 among them, less those before next.
    const __m128i clearLow = _mm_set1_epi8(static_cast<char>(0xFE)), opcode = _mm_set1_epi8(static_cast<char>(0xE8));
    auto opcodes = [&](std::size_t at) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        return static_cast<std::uint64_t>(
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(bytes, clearLow), opcode))));
    };
    std::size_t block = from;
    for (; block + 64 <= end; block += 64) {
        if (next >= block + 64)
            continue;
        std::uint64_t mask =
            opcodes(block) | opcodes(block + 16) << 16 | opcodes(block + 32) << 32 | opcodes(block + 48) << 48;
        if (next > block)
            mask &= ~std::uint64_t{0} << (next - block);
        while (mask != 0) {
            const std::size_t i = block + static_cast<std::size_t>(__builtin_ctzll(mask));
            take(i);
            next = i + 5;
            mask = next - block >= 64 ? 0 : mask & (~std::uint64_t{0} << (next - block));
        }
    }
    next = std::max(next, block);
#endif
    for (std::size_t i = next; (i = NextOpcode(data, i, end)) < end; i += 5) {
        take(i);
        next = i + 5;
    }
    return std::max(next, end);
}

// The opcodes before a ModRM byte that filter 3 takes (1: after a REX prefix, 2: after 0F), and the
// bytes before them (the same bits).
struct WideTables {
    std::uint8_t opcodes[256] = {}, prefixes[256] = {};
    constexpr WideTables()
    {
        for (int op : {0x89, 0x8B, 0x8D})
            opcodes[op] = 1;
        for (int op : {0xB6, 0xB7, 0x10, 0x11, 0x28})
            opcodes[op] = 2;
        for (int rex = 0x40; rex <= 0x4F; ++rex)
            prefixes[rex] = 1;
        prefixes[0x0F] = 2;
    }
};
constexpr WideTables kWide{};
constexpr const std::uint8_t* kWideOpcodes = kWide.opcodes;
constexpr const std::uint8_t* kWidePrefixes = kWide.prefixes;

// Whether the byte at t of data (of its first bytes, at least t + 1) tells a reference of filter 3:
// an E8 or E9 opcode, whose instruction starts there (*start), or the ModRM byte of a displacement
// from the next instruction (mod 00, r/m 101) after one of the opcodes that take it most: a move or
// load of 64 bits (a REX prefix, then 89, 8B or 8D), or a zero-extending or SSE load or store (0F,
// then B6, B7, 10, 11 or 28), whose instruction starts 2 bytes before.
inline bool WideTag(const std::uint8_t* data, std::size_t t, std::size_t* start)
{
    const std::uint8_t b = data[t];
    if ((b & 0xFE) == 0xE8) {
        *start = t;
        return true;
    }
    if ((b & 0xC7) != 0x05 || t < 2)
        return false;
    *start = t - 2;
    return (kWideOpcodes[data[t - 1]] & kWidePrefixes[data[t - 2]]) != 0;
}

// The first position from i on, before end, of an E8 or E9 byte or a byte b with b AND C7 = 05; end
// if there is none. Each test zeroes the bytes it looks for; the lowest byte flagged by the
// zero-byte test of either is always a true one.
inline std::size_t NextMaybeTag(const std::uint8_t* data, std::size_t i, std::size_t end)
{
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    auto zeros = [](std::uint64_t w) { return (w - kOnes) & ~w & kHigh; };
    for (; i + 8 <= end; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        const std::uint64_t found = zeros((w & ~kOnes) ^ (0xE8 * kOnes)) | zeros((w & (0xC7 * kOnes)) ^ (0x05 * kOnes));
        if (found != 0)
            return i + static_cast<std::size_t>(__builtin_ctzll(found) >> 3);
    }
    for (; i < end; ++i)
        if ((data[i] & 0xFE) == 0xE8 || (data[i] & 0xC7) == 0x05)
            return i;
    return end;
}

// ForEachOpcode for filter 3: take(t) for each tag t (WideTag) whose instruction starts at or
// past from and past the last operand taken, with its operand before size. Returns where the scan
// would go on: past the last operand, or 6 bytes from the end (a tag 4 bytes from it may still
// have its instruction start 2 before).
template <class Take>
inline std::size_t ForEachWideReference(const std::uint8_t* data, std::size_t from, std::size_t size, Take take)
{
    const std::size_t end = size >= 4 ? size - 4 : 0;
    std::size_t next = from, t = from;
    auto consider = [&](std::size_t at) {
        std::size_t start = 0;
        if (!WideTag(data, at, &start) || start < next)
            return false;
        take(at);
        next = at + 5;
        return true;
    };
#if defined(QV_VECTOR_SCAN)
    // Sixty-four tags at a time, once two bytes before them can be read.
    for (; t < std::min<std::size_t>(end, 2); ++t)
        if (consider(t))
            t = next - 1;
    t = std::max(t, next);
    // The opcodes, and the bytes that may be such ModRM bytes, among 16 bytes.
    const __m128i clearLow = _mm_set1_epi8(static_cast<char>(0xFE)), opcode = _mm_set1_epi8(static_cast<char>(0xE8));
    const __m128i modBits = _mm_set1_epi8(static_cast<char>(0xC7)), mod = _mm_set1_epi8(0x05);
    auto tags = [&](std::size_t at, std::uint64_t* modrms) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        *modrms = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(b, modBits), mod)));
        return static_cast<std::uint64_t>(
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(b, clearLow), opcode))));
    };
    // The bits of a block from k on.
    auto past = [](std::size_t k) { return k >= 64 ? 0 : ~std::uint64_t{0} << k; };
    for (; t + 64 <= end; t += 64) {
        std::uint64_t m[4];
        const std::uint64_t opcodes =
            tags(t, &m[0]) | tags(t + 16, &m[1]) << 16 | tags(t + 32, &m[2]) << 32 | tags(t + 48, &m[3]) << 48;
        std::uint64_t modrms = 0;
        // Of the bytes that may be ModRM bytes, those after the opcodes that take them.
        for (std::uint64_t maybe = m[0] | m[1] << 16 | m[2] << 32 | m[3] << 48; maybe != 0; maybe &= maybe - 1) {
            const auto bit = static_cast<unsigned>(__builtin_ctzll(maybe));
            const std::size_t at = t + bit;
            modrms |= static_cast<std::uint64_t>((kWideOpcodes[data[at - 1]] & kWidePrefixes[data[at - 2]]) != 0)
                      << bit;
        }
        // Those whose instructions start at or past next (at most 4 bytes into the block).
        auto left = [&] {
            return (opcodes & past(next > t ? next - t : 0)) | (modrms & past(next + 2 > t ? next + 2 - t : 0));
        };
        for (std::uint64_t mask = left(); mask != 0; mask = left()) {
            const std::size_t at = t + static_cast<std::size_t>(__builtin_ctzll(mask));
            take(at);
            next = at + 5;
        }
        // The next block starts at most 4 bytes into the last operand taken.
    }
    t = std::max(t, from);
#endif
    // A byte at a time from each that may be a tag (an E8 or E9, or a ModRM byte of mod 00 and
    // r/m 101), found eight bytes at a time as NextOpcode finds opcodes.
    for (; (t = NextMaybeTag(data, t, end)) < end; ++t)
        if (consider(t))
            t = next - 1;
    return std::max(next, end >= 2 ? end - 2 : 0);
}

// The references of filter 1 (wide: 3) in data, as ForEachOpcode and ForEachWideReference.
template <class Take>
inline std::size_t ForEachReference(bool wide, const std::uint8_t* data, std::size_t from, std::size_t size, Take take)
{
    return wide ? ForEachWideReference(data, from, size, take) : ForEachOpcode(data, from, size, take);
}

// The opcode at p: where its operand's last byte is 00 or FF, the operand (little-endian, as every
// target is) has by added, modulo 2^25 and sign-extended, a one-to-one map of the displacements
// IsNear accepts. Without a branch: which opcodes are near follows no pattern.
inline void Shift(std::uint8_t* p, std::uint32_t by)
{
    std::uint32_t v;
    std::memcpy(&v, p + 1, 4);
    const std::uint32_t shifted = (((v + by) & 0x01FFFFFF) ^ 0x01000000) - 0x01000000;
    v = IsNear(p[4]) ? shifted : v;
    std::memcpy(p + 1, &v, 4);
}

// The target of the near branch at p (unfiltered) of a file, at position at in it: where its
// operand, a displacement of at most 2^24 either way, leads from the instruction's end.
inline std::int64_t BranchTarget(const std::uint8_t* p, std::uint64_t at)
{
    std::uint32_t v;
    std::memcpy(&v, p + 1, 4);
    return static_cast<std::int64_t>(at + 5) + static_cast<std::int32_t>(v);
}

// The same for a branch the call filter changed: its operand holds the target modulo 2^25.
inline std::int64_t FilteredBranchTarget(const std::uint8_t* p, std::uint64_t at)
{
    std::uint32_t v;
    std::memcpy(&v, p + 1, 4);
    const std::uint32_t displacement =
        (((v - static_cast<std::uint32_t>(at + 5)) & 0x01FFFFFF) ^ 0x01000000) - 0x01000000;
    return static_cast<std::int64_t>(at + 5) + static_cast<std::int32_t>(displacement);
}

}  // namespace

void X86BranchFilter::Encode(std::uint8_t* data, std::size_t size, bool wide) { (void)EncodeFrom(data, 0, size, wide); }

std::size_t X86BranchFilter::EncodeFrom(std::uint8_t* data, std::size_t from, std::size_t size, bool wide)
{
    return ForEachReference(wide, data, from, size,
                            [data](std::size_t i) { Shift(data + i, static_cast<std::uint32_t>(i + 5)); });
}

std::size_t X86BranchFilter::DecodeInPlace(std::uint8_t* data, std::size_t size, bool last, FilterMarks* marks)
{
    // The bytes from where the next opcode could start are final only at the end. The transform
    // keeps whether an operand is near, so the opcodes changed are those it changed.
    const std::uint64_t base = base_;
    const std::size_t i = ForEachReference(wide_, data, 0, size, [data, base, marks](std::size_t at) {
        if (marks != nullptr && IsNear(data[at + 4]))
            marks->Mark(base + at);
        Shift(data + at, 0u - static_cast<std::uint32_t>(base + at + 5));
    });
    std::size_t final = last ? size : i;
    base_ += final;
    return final;
}

void FilterMarks::Scan(const std::uint8_t* data, std::size_t size)
{
    std::size_t word = word_;
    std::uint64_t bits = wordBits_;
    from_ = ForEachReference(wide_, data, from_, size, [&](std::size_t i) {
        if (!IsNear(data[i + 4]))
            return;
        if (i / 64 != word) {
            if (bits != 0)
                bits_[word] = bits;
            word = i / 64;
            bits = 0;
        }
        bits |= std::uint64_t{1} << (i % 64);
    });
    if (bits != 0)
        bits_[word] = bits;
    word_ = word;
    wordBits_ = bits;
}

void FilterMarks::ScanWhole(const std::uint8_t* data, std::size_t size, Beside* beside)
{
    constexpr std::size_t kSplitFrom = 1 << 20;
    if (from_ != 0 || size < kSplitFrom || beside == nullptr) {
        Scan(data, size);
        return;
    }
    // A scan that starts in the middle takes the same references as the whole file's once it
    // takes one that the whole file's does: from there on both go the same way. Within a few
    // references they almost always do; the first half's scan goes on past the middle to find
    // where, the references of the second half's before it are put right, and where none is
    // found close after the middle, the second half is scanned again from the first's end.
    constexpr std::size_t kCheck = 4096;  // past the middle
    const std::size_t mid = size / 2 / 64 * 64;
    const std::size_t checkEnd = std::min(size, mid + kCheck + 4);
    std::size_t second[kCheck / 5 + 2];  // the second half's references before checkEnd - 4
    std::size_t secondCount = 0, secondFrom = 0;
    auto mark = [this, data](std::size_t i, std::size_t* word, std::uint64_t* bits) {
        if (!IsNear(data[i + 4]))
            return;
        if (i / 64 != *word) {
            if (*bits != 0)
                bits_[*word] = *bits;
            *word = i / 64;
            *bits = 0;
        }
        *bits |= std::uint64_t{1} << (i % 64);
    };
    auto scanSecond = [&] {
        std::size_t word = mid / 64;
        std::uint64_t bits = 0;
        secondFrom = ForEachReference(wide_, data, mid, size, [&](std::size_t i) {
            if (i + 4 < checkEnd)
                second[secondCount++] = i;
            mark(i, &word, &bits);
        });
        if (bits != 0)
            bits_[word] = bits;
    };
    beside->Start(scanSecond);
    std::size_t word = 0;
    std::uint64_t bits = 0;
    const std::size_t firstFrom =
        ForEachReference(wide_, data, 0, mid + 4, [&](std::size_t i) { mark(i, &word, &bits); });
    if (bits != 0)
        bits_[word] = bits;  // below mid / 64: the second half's words start there
    std::size_t first[kCheck / 5 + 2];
    std::size_t firstCount = 0;
    (void)ForEachReference(wide_, data, firstFrom, checkEnd, [&](std::size_t i) { first[firstCount++] = i; });
    beside->Wait();
    // The first reference both take; before it, the first half's are the right ones.
    std::size_t same = 0, k = 0;
    for (; same < firstCount; ++same) {
        while (k < secondCount && second[k] < first[same])
            ++k;
        if (k < secondCount && second[k] == first[same])
            break;
    }
    const std::size_t rightFrom = same < firstCount ? first[same] : size;
    for (std::size_t w = mid / 64; w * 64 < rightFrom; ++w) {
        std::uint64_t keep = rightFrom - w * 64 >= 64 ? 0 : ~std::uint64_t{0} << (rightFrom - w * 64);
        bits_[w] &= keep;
    }
    if (same < firstCount) {
        for (std::size_t j = 0; j < same; ++j)
            if (IsNear(data[first[j] + 4]))
                Mark(first[j]);
        from_ = secondFrom;
    } else {
        word = mid / 64;
        bits = 0;
        from_ = ForEachReference(wide_, data, firstFrom, size, [&](std::size_t i) { mark(i, &word, &bits); });
        if (bits != 0)
            bits_[word] = bits;
    }
    word_ = size / 64;
    wordBits_ = bits_[word_];
}

void FilterMarks::Apply(const std::uint8_t* data, std::uint64_t at, std::uint8_t* out, std::size_t k) const
{
    Apply(data, 0, at, out, k);
}

void FilterMarks::Apply(const std::uint8_t* data, std::uint64_t dataAt, std::uint64_t at, std::uint8_t* out,
                        std::size_t k) const
{
    Apply(data, dataAt, at, out, k, nullptr);
}

void FilterMarks::Apply(const std::uint8_t* data, std::uint64_t dataAt, std::uint64_t at, std::uint8_t* out,
                        std::size_t k, const TargetMap* targets) const
{
    // The opcodes from lo to hi have operand bytes among those copied.
    const std::uint64_t lo = at >= 4 ? at - 4 : 0, hi = at + k - 1;
    if (k == 0 || hi <= lo)
        return;
    const auto first = static_cast<std::size_t>(lo / 64), last = static_cast<std::size_t>((hi - 1) / 64);
    for (std::size_t w = first; w <= last; ++w) {
        std::uint64_t bits = bits_[w];
        if (w == first)
            bits &= ~std::uint64_t{0} << (lo % 64);
        if (w == last)
            bits &= ~std::uint64_t{0} >> (63 - (hi - 1) % 64);
        for (; bits != 0; bits &= bits - 1) {
            const std::uint64_t p = w * std::uint64_t{64} + static_cast<unsigned>(__builtin_ctzll(bits));
            const bool inside = p >= at && p + 5 <= at + k;
            std::uint8_t whole[5];
            // An operand cut by the copy's start or end: its bytes inside it.
            if (!inside)
                std::memcpy(whole, data + (p - dataAt), 5);
            std::uint8_t* op = inside ? out + (p - at) : whole;
            auto by = static_cast<std::uint32_t>(p + 5);
            if (targets != nullptr)
                by += static_cast<std::uint32_t>(targets->Shift(BranchTarget(op, p)));
            Shift(op, by);
            if (inside)
                continue;
            for (std::uint64_t q = std::max(p + 1, at); q < std::min(p + 5, at + k); ++q)
                out[q - at] = whole[q - p];
        }
    }
}

namespace {

// Filter 2: the same transform, on each block of kFilterBlock bytes on its own (a branch whose
// displacement would reach into the next block is left alone). at: the file position of data[0].
template <bool kUndo>
void FilterBlocks(std::uint8_t* data, std::size_t size, std::uint64_t at)
{
    for (std::size_t start = 0; start < size; start += kFilterBlock) {
        std::uint8_t* block = data + start;
        const std::uint64_t blockAt = at + start;
        (void)ForEachOpcode(block, 0, std::min(size - start, kFilterBlock), [block, blockAt](std::size_t i) {
            const auto p = static_cast<std::uint32_t>(blockAt + i + 5);
            Shift(block + i, kUndo ? 0u - p : p);
        });
    }
}

}  // namespace

void X86BranchFilter::EncodeBlocks(std::uint8_t* data, std::size_t size, std::uint64_t at)
{
    FilterBlocks<false>(data, size, at);
}

void X86BranchFilter::DecodeBlocks(std::uint8_t* data, std::size_t size, std::uint64_t at)
{
    FilterBlocks<true>(data, size, at);
}

MatchFilter ProgramFilter(const std::uint8_t* data, std::size_t size)
{
    if (!LooksLikeX86Code(data, size))
        return MatchFilter::kNone;
    auto u16 = [&](std::size_t at) { return static_cast<unsigned>(data[at] | data[at + 1] << 8); };
    unsigned machine = 0;
    if (data[0] == 'M')
        machine = u16((u16(0x3C) | static_cast<std::size_t>(u16(0x3E)) << 16) + 4);  // checked as a program
    else
        machine = data[5] == 2 ? static_cast<unsigned>(data[18] << 8 | data[19]) : u16(18);
    return machine == 0x8664 || machine == 62 ? MatchFilter::kX64References : MatchFilter::kX86Branches;
}

bool LooksLikeX86Code(const std::uint8_t* data, std::size_t size)
{
    auto u16 = [&](std::size_t at) { return static_cast<unsigned>(data[at] | data[at + 1] << 8); };
    if (size >= 0x40 && data[0] == 'M' && data[1] == 'Z') {
        std::size_t pe = u16(0x3C) | static_cast<std::size_t>(u16(0x3E)) << 16;
        if (pe <= size - 6 && std::memcmp(data + pe, "PE\0\0", 4) == 0) {
            unsigned machine = u16(pe + 4);
            return machine == 0x014C || machine == 0x8664;  // i386, AMD64
        }
        return false;
    }
    if (size >= 20 && std::memcmp(data,
                                  "\x7f"
                                  "ELF",
                                  4) == 0) {
        unsigned machine = data[5] == 2 ? static_cast<unsigned>(data[18] << 8 | data[19]) : u16(18);
        return machine == 3 || machine == 62;  // EM_386, EM_X86_64
    }
    return false;
}

namespace {

// Which pages of the old file the streamed decoder keeps: as many as the file has, up to 64, a page
// in the slot of its number modulo their count. The builder runs the same model over its records,
// so that it never writes a delta that the decoder would refuse for reading too much.
class PageSlots {
public:
    explicit PageSlots(std::uint64_t oldSize)
        : size_(oldSize),
          tags_(static_cast<std::size_t>(std::min<std::uint64_t>(64, oldSize / kFilterBlock + 1)), ~0ull)
    {
    }

    std::size_t count() const { return tags_.size(); }
    std::size_t SlotOf(std::uint64_t page) const { return static_cast<std::size_t>(page % tags_.size()); }
    // Whether the page must be read into its slot (it is taken as read), and the bytes that are.
    bool Miss(std::uint64_t page, std::uint64_t* bytes)
    {
        std::uint64_t& tag = tags_[SlotOf(page)];
        if (tag == page)
            return false;
        tag = page;
        *bytes = std::min<std::uint64_t>(kFilterBlock, size_ - page * kFilterBlock);
        return true;
    }

private:
    std::uint64_t size_;
    std::vector<std::uint64_t> tags_;
};

// The most of the old file the streamed decoder reads into its pages for a new file of newSize
// bytes: a few times the new file and some hundreds of MiB. A delta that would read more (records
// that jump back and forth between pages, a page read again and again) is refused, so that a small
// patch cannot keep an update reading for hours.
std::uint64_t MaxPageReads(std::uint64_t newSize) { return 4 * newSize + (256ull << 20); }

// The bytes the streamed decoder would read into its pages for the records.
std::uint64_t PageReads(const std::vector<MatchRecord>& records, std::uint64_t oldSize)
{
    PageSlots slots(oldSize);
    std::uint64_t reads = 0;
    std::int64_t oldPos = 0;
    for (const MatchRecord& rec : records) {
        if (rec.add > 0) {
            const std::uint64_t first = static_cast<std::uint64_t>(oldPos) / kFilterBlock;
            const std::uint64_t last = (static_cast<std::uint64_t>(oldPos) + rec.add - 1) / kFilterBlock;
            for (std::uint64_t page = first, bytes = 0; page <= last; ++page)
                if (slots.Miss(page, &bytes))
                    reads += bytes;
        }
        oldPos += static_cast<std::int64_t>(rec.add) + rec.seek;
    }
    return reads;
}

}  // namespace

OldCoverage::OldCoverage(std::uint64_t oldSize) : size_(oldSize), bits_(static_cast<std::size_t>(oldSize / 64 + 1)) {}

void OldCoverage::Mark(std::uint64_t at, std::uint64_t length)
{
    if (length == 0)
        return;
    const auto first = static_cast<std::size_t>(at / 64), last = static_cast<std::size_t>((at + length - 1) / 64);
    const std::uint64_t head = ~std::uint64_t{0} << (at % 64);
    const std::uint64_t tail = ~std::uint64_t{0} >> (63 - (at + length - 1) % 64);
    if (first == last) {
        bits_[first] |= head & tail;
        return;
    }
    bits_[first] |= head;
    std::fill(bits_.begin() + static_cast<std::ptrdiff_t>(first) + 1, bits_.begin() + static_cast<std::ptrdiff_t>(last),
              ~std::uint64_t{0});
    bits_[last] |= tail;
}

namespace {

inline std::uint64_t CountBits(std::uint64_t x)
{
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return (x * 0x0101010101010101ull) >> 56;
}

}  // namespace

std::uint64_t OldCoverage::Unread() const
{
    std::uint64_t read = 0;
    for (std::uint64_t word : bits_)
        read += CountBits(word);
    return size_ - read;
}

// The first position from at on whose bit is set (read) or clear (unread); past the file if none.
std::uint64_t OldCoverage::Next(std::uint64_t at, bool read) const
{
    auto k = static_cast<std::size_t>(at / 64);
    std::uint64_t word = (read ? bits_[k] : ~bits_[k]) & ~std::uint64_t{0} << (at % 64);
    while (word == 0) {
        if (++k == bits_.size())
            return size_;
        word = read ? bits_[k] : ~bits_[k];
    }
    return std::min<std::uint64_t>(size_, k * std::uint64_t{64} + static_cast<unsigned>(__builtin_ctzll(word)));
}

void OldCoverage::GatherUnread(const std::uint8_t* old, std::uint8_t* out, const FilterMarks* marks,
                               const TargetMap* targets) const
{
    GatherUnread(old, out, marks, 0, size_, targets);
}

void OldCoverage::GatherUnread(const std::uint8_t* old, std::uint8_t* out, const FilterMarks* marks, std::uint64_t from,
                               std::uint64_t to, const TargetMap* targets) const
{
    // A run of unread bytes at a time.
    for (std::uint64_t at = from < to ? Next(from, false) : to; at < to;) {
        const std::uint64_t end = std::min(Next(at, true), to);
        std::memcpy(out, old + at, static_cast<std::size_t>(end - at));
        if (marks != nullptr)
            marks->Apply(old, 0, at, out, static_cast<std::size_t>(end - at), targets);
        out += end - at;
        at = end < to ? Next(end, false) : to;
    }
}

void TargetMap::Reserve(std::uint64_t reads)
{
    reads_.reserve(static_cast<std::size_t>(std::min(reads, MaxReads(oldSize_))));
}

bool TargetMap::Add(std::uint64_t at, std::uint64_t length, std::uint64_t newAt)
{
    if (length == 0)
        return true;
    if (reads_.size() >= MaxReads(oldSize_))
        return false;
    reads_.push_back({at, at + length, static_cast<std::int64_t>(newAt - at)});
    return true;
}

// A stable sort by place, eleven bits of it at a time from the lowest (places are below the old
// size): for the many reads of a large program, several times as fast as comparing them.
void TargetMap::SortByPlace()
{
    constexpr int kDigit = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigit;
    if (reads_.size() < kBuckets) {
        std::stable_sort(reads_.begin(), reads_.end(), [](const Read& a, const Read& b) { return a.at < b.at; });
        return;
    }
    std::vector<Read> sorted(reads_.size());
    std::vector<std::size_t> starts(kBuckets);
    for (int shift = 0; shift < 64 && (oldSize_ - 1) >> shift != 0; shift += kDigit) {
        std::fill(starts.begin(), starts.end(), 0);
        for (const Read& read : reads_)
            ++starts[(read.at >> shift) & (kBuckets - 1)];
        std::size_t at = 0;
        for (std::size_t& start : starts)
            at += std::exchange(start, at);
        for (const Read& read : reads_)
            sorted[starts[(read.at >> shift) & (kBuckets - 1)]++] = read;
        reads_.swap(sorted);
    }
}

void TargetMap::Finish()
{
    // By place, the earlier record first where two start at the same one; each read keeps only
    // what no read before it in that order covers, so that the reads are apart and in order.
    SortByPlace();
    std::size_t kept = 0;
    std::uint64_t covered = 0;
    for (const Read& read : reads_) {
        if (read.end <= covered)
            continue;
        reads_[kept] = read;
        reads_[kept].at = std::max(read.at, covered);
        covered = read.end;
        ++kept;
    }
    reads_.resize(kept);
    reads_.shrink_to_fit();
    while ((oldSize_ >> granuleBits_) > (std::uint64_t{1} << 17))
        ++granuleBits_;
    const auto granules = static_cast<std::size_t>((oldSize_ >> granuleBits_) + 2);
    firsts_.assign(granules, 0);
    shifts_.assign(granules, 0);
    std::size_t first = 0;
    for (std::size_t g = 0; g < granules; ++g) {
        const std::uint64_t start = static_cast<std::uint64_t>(g) << granuleBits_;
        const std::uint64_t end = std::min(start + (std::uint64_t{1} << granuleBits_), oldSize_);
        while (first < reads_.size() && reads_[first].end <= start)
            ++first;
        firsts_[g] = static_cast<std::uint32_t>(first);
        if (first == reads_.size() || reads_[first].at >= end)
            shifts_[g] = 0;
        else if (reads_[first].at <= start && reads_[first].end >= end && reads_[first].shift > INT32_MIN &&
                 reads_[first].shift <= INT32_MAX)
            shifts_[g] = static_cast<std::int32_t>(reads_[first].shift);
        else
            shifts_[g] = kSearch;
    }
}

std::int64_t TargetMap::Shift(std::int64_t target) const
{
    if (target < 0 || static_cast<std::uint64_t>(target) >= oldSize_)
        return 0;
    const auto t = static_cast<std::uint64_t>(target);
    const auto g = static_cast<std::size_t>(t >> granuleBits_);
    if (shifts_[g] != kSearch)
        return shifts_[g];
    // The read that holds t, if any, is the first that ends past it: among those from the first
    // that ends past the granule's start to the first that ends past the next one's.
    auto from = reads_.begin() + firsts_[g];
    auto to = reads_.begin() + std::min<std::size_t>(firsts_[g + 1] + std::size_t{1}, reads_.size());
    auto read = std::upper_bound(from, to, t, [](std::uint64_t x, const Read& r) { return x < r.end; });
    return read != to && read->at <= t ? read->shift : 0;
}

std::uint64_t OldCoverage::Middle(std::uint64_t total, std::uint64_t* before) const
{
    const std::uint64_t half = total / 2;
    std::uint64_t unread = 0;
    std::size_t w = 0;
    for (; (w + 1) * std::uint64_t{64} <= size_ && unread < half; ++w)
        unread += 64 - CountBits(bits_[w]);
    *before = unread;
    return w * std::uint64_t{64};
}

namespace {

// How one form of the match delta is written.
struct MatchForm {
    MatchFilter filter;
    MatchOptions matching;
    bool extraPrefix;  // the extra frame has the (filtered) old file as its prefix
    int maxWindowLog;
    // The changed bytes as runs: the gap before each run and its length in streams of their own
    // (the streamed form), rather than a gap before each changed byte.
    bool runs;
    // The split form: each record field in a stream of its own, the extra frame with the old bytes
    // that no record reads as its prefix, and the changes in two streams or interleaved in one.
    bool split;
    unsigned threads = 1;  // the split form's frames are compressed on as many
};

const MatchForm kHeldForm{MatchFilter::kNone, {MatchIndex::kSuffixArray, 50}, true, kMaxWindowLog, false, false};
const MatchForm kStreamedForm{MatchFilter::kNone, {MatchIndex::kBlockHash, 75}, false, kStreamedWindowLog, true, false};
const MatchForm kSplitForm{MatchFilter::kNone, {MatchIndex::kSuffixArray, 50}, false, kMaxWindowLog, false, true};

// The streams of a form, in the order of their frames.
int StreamCount(const MatchForm& form)
{
    return form.split ? kSplitStreams : form.runs ? kStreamedStreams : kMatchStreams;
}

// A stream's frame, the smallest of a few match lengths where the stream is small enough for the
// tries to cost little (the default suits text; longer ones often suit code and tables better).
Result EncodeStream(const std::vector<std::uint8_t>& stream, const std::uint8_t* prefix, std::size_t prefixSize,
                    int level, int maxWindowLog, std::vector<std::uint8_t>* frame)
{
    constexpr std::size_t kTriedUpTo = 32u << 20;
    Result r = EncodeZstd(stream.data(), stream.size(), prefix, prefixSize, level, frame, maxWindowLog);
    if (stream.size() > kTriedUpTo || prefix != nullptr)
        return r;
    for (int minMatch : {4, 5}) {
        std::vector<std::uint8_t> other;
        if (!r.ok() ||
            !(r = EncodeZstd(stream.data(), stream.size(), nullptr, 0, level, &other, maxWindowLog, minMatch)).ok())
            return r;
        if (other.size() < frame->size())
            frame->swap(other);
    }
    return r;
}

// The changes interleaved: each position followed by its value.
std::vector<std::uint8_t> Interleave(const std::vector<std::uint8_t>& positions,
                                     const std::vector<std::uint8_t>& values)
{
    std::vector<std::uint8_t> joint;
    joint.reserve(positions.size() + values.size());
    std::size_t at = 0;
    for (std::uint8_t value : values) {
        do
            joint.push_back(positions[at]);
        while ((positions[at++] & 0x80) != 0);
        joint.push_back(value);
    }
    return joint;
}

// The split form's frames: the changes as two streams or as one, whichever is smaller, and the
// extra stream with the old bytes no record reads as its prefix (where a changed piece of code
// was, mostly: the new one is often much like it). The frames are compressed side by side.
Result EncodeSplitFrames(std::vector<std::uint8_t>* streams, const std::vector<std::uint8_t>& olds,
                         const std::vector<MatchRecord>& records, const std::uint8_t* old, std::size_t oldSize,
                         int level, unsigned threads, bool program, std::uint8_t* flags,
                         std::vector<std::uint8_t>* frames)
{
    std::vector<std::uint8_t> unread;
    std::vector<std::uint8_t> joint, jointFrame, modeled, modeledFrame;
    std::vector<std::uint8_t> modeledRecords[3], modeledRecordFrames[3];
    try {
        OldCoverage coverage(oldSize);
        std::uint64_t oldPos = 0;
        for (const MatchRecord& rec : records) {
            if (oldPos < oldSize)
                coverage.Mark(oldPos, std::min<std::uint64_t>(rec.add, oldSize - oldPos));
            oldPos += rec.add + static_cast<std::uint64_t>(rec.seek);
        }
        if (!streams[5].empty() && coverage.Unread() > 0) {
            unread.resize(static_cast<std::size_t>(coverage.Unread()));
            coverage.GatherUnread(old, unread.data());
        }
        joint = Interleave(streams[3], streams[4]);
        std::uint64_t newSize = 0;
        for (const MatchRecord& rec : records)
            newSize += rec.add + rec.copy;
        if (ModelsValues(streams[4].size(), newSize))
            modeled = EncodeModeledValues(streams[4], olds);
        if (!program && ModelsRecords(records.size(), newSize))
            EncodeModeledRecords(records, &modeledRecords[0], &modeledRecords[1], &modeledRecords[2]);
    } catch (const std::bad_alloc&) {
        return Fail(Status::kOutOfMemory, "out of memory for the streams of a match delta");
    }
    Result results[kSplitStreams + 1];
    std::vector<std::pair<std::size_t, std::function<void()>>> work;
    auto task = [&](std::size_t weight, Result* result, std::function<Result()> f) {
        work.emplace_back(weight, [result, f] {
            try {
                *result = f();
            } catch (const std::bad_alloc&) {
                *result = Fail(Status::kOutOfMemory, "out of memory for the streams of a match delta");
            }
        });
    };
    for (int i = 0; i < 5; ++i)
        task(streams[i].size(), &results[i],
             [&, i] { return EncodeStream(streams[i], nullptr, 0, level, kMaxWindowLog, &frames[i]); });
    task(joint.size(), &results[kSplitStreams],
         [&] { return EncodeStream(joint, nullptr, 0, level, kMaxWindowLog, &jointFrame); });
    Result modeledResult, modeledRecordResults[3];
    for (int i = 0; i < 3; ++i)
        if (!modeledRecords[i].empty())
            task(modeledRecords[i].size() / 4, &modeledRecordResults[i], [&, i] {
                return EncodeZstd(modeledRecords[i].data(), modeledRecords[i].size(), nullptr, 0, level,
                                  &modeledRecordFrames[i]);
            });
    if (!modeled.empty())
        task(modeled.size() / 4, &modeledResult,
             [&] { return EncodeZstd(modeled.data(), modeled.size(), nullptr, 0, level, &modeledFrame); });
    // The extra frame with the unread bytes as its prefix, and without: applying finds the
    // unread bytes (a second walk of the records), makes room for them and copies them, about a
    // nanosecond a byte on a current machine, where a byte of patch takes about 100 to download at
    // 10 MB/s. So the prefix is kept only where it saves at least a byte of patch for every
    // kPrefixBytesPerByte bytes of it.
    constexpr std::size_t kPrefixBytesPerByte = 100;
    // The strong level indexes the whole prefix, which for some MiB of it is most of the frames'
    // work (0.15 s a MiB). In text, what a prefix saves is long stretches of old text among the
    // new bytes, which a quick level finds too: at the strong level it saved 1 to 1.4 times what
    // it saved at the quick one on trees of scripts. So from kQuickPrefixFrom on, where twice the
    // quick saving falls short of the bound, the strong frame with the prefix is not made, and
    // the quick one is kept where it passes the bound itself. Program code gains several times
    // more at the strong level (short repeats of instructions, repeated offsets), and is always
    // tried.
    constexpr int kQuickPrefixLevel = 9;
    constexpr std::size_t kQuickPrefixFrom = std::size_t{1} << 20;
    const std::size_t unreadSize = unread.size();
    std::vector<std::uint8_t> quickWith;
    if (unreadSize >= kQuickPrefixFrom && !program && level > kQuickPrefixLevel) {
        std::vector<std::uint8_t> with, without;
        Result quick =
            EncodeZstd(streams[5].data(), streams[5].size(), unread.data(), unread.size(), kQuickPrefixLevel, &with);
        if (quick.ok())
            quick = EncodeZstd(streams[5].data(), streams[5].size(), nullptr, 0, kQuickPrefixLevel, &without);
        if (!quick.ok())
            return quick;
        const std::size_t saved = without.size() > with.size() ? without.size() - with.size() : 0;
        if (2 * saved * kPrefixBytesPerByte < unreadSize) {
            quickWith.swap(with);
            std::vector<std::uint8_t>().swap(unread);
        }
    }
    std::vector<std::uint8_t> plainExtra;
    Result plainResult;
    task(streams[5].size() + unread.size() / 4, &results[5], [&] {
        return EncodeZstd(streams[5].data(), streams[5].size(), unread.empty() ? nullptr : unread.data(), unread.size(),
                          level, &frames[5]);
    });
    if (!unread.empty())
        task(streams[5].size(), &plainResult,
             [&] { return EncodeZstd(streams[5].data(), streams[5].size(), nullptr, 0, level, &plainExtra); });
    std::stable_sort(work.begin(), work.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::function<void()>> tasks;
    for (auto& w : work)
        tasks.push_back(std::move(w.second));
    RunParallel(tasks, threads);
    for (const Result& r : results)
        if (!r.ok())
            return r;
    if (!plainResult.ok())
        return plainResult;
    if (!modeledResult.ok())
        return modeledResult;
    for (const Result& r : modeledRecordResults)
        if (!r.ok())
            return r;
    *flags = unread.empty() ? 0 : kSplitUnreadPrefix;
    if (!unread.empty() && (plainExtra.size() <= frames[5].size() ||
                            (plainExtra.size() - frames[5].size()) * kPrefixBytesPerByte < unread.size())) {
        *flags = 0;
        frames[5].swap(plainExtra);
    }
    if (!quickWith.empty() && quickWith.size() < frames[5].size() &&
        (frames[5].size() - quickWith.size()) * kPrefixBytesPerByte >= unreadSize) {
        *flags = kSplitUnreadPrefix;
        frames[5].swap(quickWith);
    }
    // The records' fields as numbers or modeled, whichever is smaller.
    if (!modeledRecords[0].empty() &&
        modeledRecordFrames[0].size() + modeledRecordFrames[1].size() + modeledRecordFrames[2].size() <
            frames[0].size() + frames[1].size() + frames[2].size()) {
        *flags |= kSplitModeledRecords;
        for (int i = 0; i < 3; ++i)
            frames[i].swap(modeledRecordFrames[i]);
    }
    // The changes: positions and values apart, interleaved, or apart with the values modeled,
    // whichever is smallest.
    const std::size_t apart = frames[3].size() + frames[4].size();
    if (!modeledFrame.empty() && modeledFrame.size() < frames[4].size() &&
        frames[3].size() + modeledFrame.size() <= jointFrame.size()) {
        *flags |= kSplitModeledValues;
        frames[4].swap(modeledFrame);
        return Result::Ok();
    }
    if (jointFrame.size() < apart) {
        *flags |= kSplitJointChanges;
        frames[3].swap(jointFrame);
        return EncodeZstd(nullptr, 0, nullptr, 0, level, &frames[4]);
    }
    return Result::Ok();
}

// A record that adds nothing reads nothing, but a decoder still wants its place within what a
// record may read: the old file, and where the records read the new file, the part of it made.
// One whose place the matching left outside is put at the nearer end, with the seeks around it
// made up so that the next record's place stays.
}  // namespace

void PlaceIdleRecords(std::vector<MatchRecord>* records, std::uint64_t oldSize)
{
    bool readsOutput = false;
    std::int64_t pos = 0;
    for (const MatchRecord& rec : *records) {
        readsOutput = readsOutput || (rec.add > 0 && pos >= 0 && static_cast<std::uint64_t>(pos) + rec.add > oldSize);
        pos += static_cast<std::int64_t>(rec.add) + rec.seek;
    }
    pos = 0;
    std::uint64_t produced = 0;
    for (std::size_t k = 0; k < records->size(); ++k) {
        MatchRecord& rec = (*records)[k];
        const auto limit = static_cast<std::int64_t>(readsOutput ? oldSize + produced : oldSize);
        if (rec.add == 0 && k > 0 && (pos < 0 || pos > limit)) {
            const std::int64_t to = pos < 0 ? 0 : limit;
            (*records)[k - 1].seek += to - pos;
            rec.seek += pos - to;
            pos = to;
        }
        produced += rec.add + rec.copy;
        pos += static_cast<std::int64_t>(rec.add) + rec.seek;
    }
}

namespace {

// Moves each branch target in old (filtered by the call filter) to where the records put it in
// the new file (kSplitProjected); *done: whether it did, which it does not where the records read
// the old file in more pieces than a map of it may hold.
Result ProjectTargets(const std::vector<MatchRecord>& records, std::uint8_t* old, std::size_t oldSize, bool wide,
                      bool* done)
{
    *done = false;
    try {
        TargetMap targets(oldSize);
        std::uint64_t oldPos = 0, newPos = 0;
        for (const MatchRecord& rec : records) {
            if (oldPos < oldSize && !targets.Add(oldPos, std::min<std::uint64_t>(rec.add, oldSize - oldPos), newPos))
                return Result::Ok();
            newPos += rec.add + rec.copy;
            oldPos += rec.add + static_cast<std::uint64_t>(rec.seek);
        }
        targets.Finish();
        (void)ForEachReference(wide, old, 0, oldSize, [old, &targets](std::size_t i) {
            if (IsNear(old[i + 4]))
                Shift(old + i, static_cast<std::uint32_t>(targets.Shift(FilteredBranchTarget(old + i, i))));
        });
    } catch (const std::bad_alloc&) {
        return Fail(Status::kOutOfMemory, "out of memory for the map of a program's branch targets");
    }
    *done = true;
    return Result::Ok();
}

// The data for data against old, both as filtered already. projectable, when given, is old as a
// copy of the caller's, which the split form may change (ProjectTargets).
Result EncodeFiltered(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                      const MatchForm& form, int level, std::vector<std::uint8_t>* out,
                      std::uint8_t* projectable = nullptr)
{
    std::vector<MatchRecord> records;
    Result r = FindMatches(old, oldSize, data, size, &records, nullptr, form.matching);
    if (!r.ok())
        return r;
    // Matches that would have the streamed decoder read the old file over and over (matching far
    // back and forth, a piece at a time) give way to the new bytes as they are.
    if (form.runs && PageReads(records, oldSize) > MaxPageReads(size))
        records.assign(size > 0 ? 1 : 0, MatchRecord{0, size, 0});
    PlaceIdleRecords(&records, oldSize);
    bool projected = false;
    if (form.split && projectable != nullptr &&
        !(r = ProjectTargets(records, projectable, oldSize, form.filter == MatchFilter::kX64References, &projected))
             .ok())
        return r;

    // The streams. The differences are mostly zeros: only the changed bytes are kept, with the
    // count of unchanged ones before each (or before each run of them).
    const int count = StreamCount(form);
    std::vector<std::uint8_t> streams[kSplitStreams];
    std::vector<std::uint8_t>& control = streams[0];
    std::vector<std::uint8_t>& copies = streams[form.split ? 1 : 0];
    std::vector<std::uint8_t>& seeks = streams[form.split ? 2 : 0];
    std::vector<std::uint8_t>& positions = streams[form.split ? 3 : 1];  // or the runs' gaps
    std::vector<std::uint8_t>& runLengths = streams[2];
    std::vector<std::uint8_t>& values = streams[count - 2];
    std::vector<std::uint8_t>& extra = streams[count - 1];
    std::vector<std::uint8_t> olds;  // the split form's: the byte each value changes
    std::size_t newPos = 0, oldPos = 0;
    std::uint64_t unchanged = 0, run = 0;
    // The source the records read: the old file, and with readsOutput the new file after it.
    auto source = [&](std::size_t pos) { return pos < oldSize ? old[pos] : data[pos - oldSize]; };
    bool readsOutput = false;
    for (const MatchRecord& rec : records) {
        PutNumber(&control, rec.add);
        PutNumber(&copies, rec.copy);
        PutNumber(&seeks, ZigZag(rec.seek));
        readsOutput = readsOutput || (rec.add > 0 && oldPos + rec.add > oldSize);
        for (std::uint64_t i = 0; i < rec.add; ++i) {
            auto d = static_cast<std::uint8_t>(data[newPos + i] - source(oldPos + i));
            if (d == 0) {
                if (run > 0)
                    PutNumber(&runLengths, run - 1);
                run = 0;
                ++unchanged;
                continue;
            }
            if (!form.runs || run == 0) {
                PutNumber(&positions, unchanged);
                unchanged = 0;
            }
            run += form.runs ? 1 : 0;
            values.push_back(d);
            if (form.split)
                olds.push_back(source(oldPos + i));
        }
        extra.insert(extra.end(), data + newPos + rec.add, data + newPos + rec.add + rec.copy);
        newPos += static_cast<std::size_t>(rec.add + rec.copy);
        oldPos = static_cast<std::size_t>(static_cast<std::int64_t>(oldPos + rec.add) + rec.seek);
    }
    if (run > 0)
        PutNumber(&runLengths, run - 1);
    if (newPos != size)
        return Fail(Status::kBuildFailed, "the matching did not cover the new file");

    // The extra bytes are new, but pieces of them are often in the old file somewhere: where the
    // old file is held when applying, their frame has it (filtered) as its prefix.
    std::vector<std::uint8_t> frames[kSplitStreams];
    std::uint8_t flags = 0;
    if (form.split) {
        if (!(r = EncodeSplitFrames(streams, olds, records, old, oldSize, level, form.threads,
                                    form.filter != MatchFilter::kNone, &flags, frames))
                 .ok())
            return r;
        flags |= (readsOutput ? kSplitReadsOutput : 0) | (projected ? kSplitProjected : 0);
    } else {
        for (int i = 0; i < count; ++i) {
            bool prefixed = &streams[i] == &extra && form.extraPrefix;
            if (!(r = form.runs ? EncodeStream(streams[i], nullptr, 0, level, form.maxWindowLog, &frames[i])
                                : EncodeZstd(streams[i].data(), streams[i].size(), prefixed ? old : nullptr,
                                             prefixed ? oldSize : 0, level, &frames[i], form.maxWindowLog))
                     .ok())
                return r;
            std::vector<std::uint8_t>().swap(streams[i]);
        }
    }
    out->clear();
    ByteWriter header;
    header.U8(static_cast<std::uint8_t>(form.filter));
    if (form.split)
        header.U8(flags);
    for (int i = 0; i < count; ++i)
        header.U64(frames[i].size());
    *out = std::move(header.out);
    for (int i = 0; i < count; ++i)
        out->insert(out->end(), frames[i].begin(), frames[i].end());
    return Result::Ok();
}

}  // namespace

namespace {

// The data for data against old as transformed by filter (on copies of both, in place).
Result EncodeOnCopies(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData, std::size_t size,
                      void (*filter)(std::uint8_t*, std::size_t), const MatchForm& form, int level,
                      std::vector<std::uint8_t>* out)
{
    std::vector<std::uint8_t> filteredOld, filteredNew;
    try {
        filteredOld.assign(oldData, oldData + oldSize);
        filteredNew.assign(newData, newData + size);
    } catch (const std::bad_alloc&) {
        return Fail(Status::kOutOfMemory, "out of memory for filtering a program");
    }
    filter(filteredOld.data(), oldSize);
    filter(filteredNew.data(), size);
    return EncodeFiltered(filteredOld.data(), oldSize, filteredNew.data(), size, form, level, out, filteredOld.data());
}

void EncodeWholeBlocks(std::uint8_t* data, std::size_t size) { X86BranchFilter::EncodeBlocks(data, size, 0); }
void EncodeBranches(std::uint8_t* data, std::size_t size) { X86BranchFilter::Encode(data, size); }
void EncodeWideReferences(std::uint8_t* data, std::size_t size) { X86BranchFilter::Encode(data, size, true); }

}  // namespace

namespace {

// The data of a form with the filter given: none, or the one transform the form takes.
Result EncodeWithFilter(MatchForm form, MatchFilter filter, MatchFilter taken,
                        void (*transform)(std::uint8_t*, std::size_t), const std::uint8_t* oldData, std::size_t oldSize,
                        const std::uint8_t* newData, std::size_t size, int level, std::vector<std::uint8_t>* out)
{
    form.filter = filter;
    if (filter == MatchFilter::kNone)
        return EncodeFiltered(oldData, oldSize, newData, size, form, level, out);
    if (filter != taken)
        return Fail(Status::kBuildFailed, "a filter this form of the match delta does not take");
    return EncodeOnCopies(oldData, oldSize, newData, size, transform, form, level, out);
}

}  // namespace

Result EncodeMatchDelta(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData, std::size_t size,
                        MatchFilter filter, int level, std::vector<std::uint8_t>* out)
{
    return EncodeWithFilter(kHeldForm, filter, MatchFilter::kX86Branches, EncodeBranches, oldData, oldSize, newData,
                            size, level, out);
}

Result EncodeSplitMatchDelta(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                             std::size_t size, MatchFilter filter, int level, std::vector<std::uint8_t>* out,
                             unsigned threads, bool readsOutput)
{
    MatchForm form = kSplitForm;
    form.threads = std::max(threads, 1u);
    form.matching.readsOutput = readsOutput;
    // A record costs about a byte of each stream and its seek's bytes. In a program, matches lie
    // close together (code that moved a little) and a short one that keeps the changed addresses
    // out of the differences pays; in text, jumps are far, and what a short match saves is less
    // than its record costs.
    const bool program = filter != MatchFilter::kNone;
    form.matching.seekByteCost = program ? 4 : 10;
    // In text, what changed is mostly inserted or rewritten rather than a few bytes in place: a
    // match is widened only while most of its bytes agree.
    form.matching.agreePercent = program ? 50 : 75;
    const bool wide = filter == MatchFilter::kX64References;
    return EncodeWithFilter(form, filter, wide ? MatchFilter::kX64References : MatchFilter::kX86Branches,
                            wide ? EncodeWideReferences : EncodeBranches, oldData, oldSize, newData, size, level, out);
}

Result EncodeStreamedMatchDelta(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                                std::size_t size, MatchFilter filter, int level, std::vector<std::uint8_t>* out)
{
    return EncodeWithFilter(kStreamedForm, filter, MatchFilter::kX86BranchesByBlock, EncodeWholeBlocks, oldData,
                            oldSize, newData, size, level, out);
}

Result EncodeStreamedMatchDelta(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                                std::size_t size, int level, std::vector<std::uint8_t>* out, std::uint8_t* writableOld,
                                std::uint8_t* writableNew)
{
    MatchForm form = kStreamedForm;
    Result r = EncodeFiltered(oldData, oldSize, newData, size, form, level, out);
    if (!r.ok() || !LooksLikeX86Code(newData, size))
        return r;
    // A program is tried with its calls and jumps made absolute as well, and keeps the smaller.
    form.filter = MatchFilter::kX86BranchesByBlock;
    std::vector<std::uint8_t> filtered;
    if (writableOld == nullptr || writableNew == nullptr) {
        r = EncodeStreamedMatchDelta(oldData, oldSize, newData, size, form.filter, level, &filtered);
    } else {
        X86BranchFilter::EncodeBlocks(writableOld, oldSize, 0);
        X86BranchFilter::EncodeBlocks(writableNew, size, 0);
        r = EncodeFiltered(writableOld, oldSize, writableNew, size, form, level, &filtered);
        X86BranchFilter::DecodeBlocks(writableOld, oldSize, 0);
        X86BranchFilter::DecodeBlocks(writableNew, size, 0);
    }
    if (r.ok() && filtered.size() < out->size())
        out->swap(filtered);
    return r;
}

namespace {

// The old file of the streamed form, read by position a page (a filter block) at a time into a
// few pages kept, each filtered on its own as it is read.
class OldPages {
public:
    OldPages(const std::string& what, InputFile& file, std::uint64_t size, MatchFilter filter, std::uint64_t newSize)
        : what_(what), file_(file), size_(size), filter_(filter), slots_(size), budget_(MaxPageReads(newSize))
    {
    }

    Result Read(std::uint64_t pos, std::uint8_t* dst, std::size_t n)
    {
        if (pages_.empty()) {
            try {
                pages_.resize(slots_.count() * kFilterBlock);
            } catch (const std::bad_alloc&) {
                return Fail(Status::kOutOfMemory, "out of memory for reading the old file");
            }
        }
        while (n > 0) {
            const std::uint64_t page = pos / kFilterBlock;
            std::uint8_t* held = pages_.data() + slots_.SlotOf(page) * kFilterBlock;
            std::uint64_t bytes = 0;
            if (slots_.Miss(page, &bytes)) {
                if (bytes > budget_)
                    return CorruptData(what_, "reads the old file over and over");
                budget_ -= bytes;
                Result r = Load(page, held);
                if (!r.ok())
                    return r;
            }
            const auto from = static_cast<std::size_t>(pos % kFilterBlock);
            const std::size_t k = std::min(n, kFilterBlock - from);
            std::memcpy(dst, held + from, k);
            dst += k;
            pos += k;
            n -= k;
        }
        return Result::Ok();
    }

private:
    Result Load(std::uint64_t page, std::uint8_t* into)
    {
        const std::uint64_t at = page * kFilterBlock;
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kFilterBlock, size_ - at));
        for (std::size_t done = 0; done < length;) {
            std::size_t got = 0;
            Result r = file_.ReadAt(at + done, into + done, length - done, &got);
            if (!r.ok())
                return r;
            if (got == 0)
                return Fail(Status::kWrongVersion, "the old file of " + what_ +
                                                       " changed while the update was reading it; the directory is "
                                                       "as it was");
            done += got;
        }
        if (filter_ == MatchFilter::kX86BranchesByBlock)
            X86BranchFilter::EncodeBlocks(into, length, at);
        return Result::Ok();
    }

    const std::string& what_;
    InputFile& file_;
    std::uint64_t size_;
    MatchFilter filter_;
    PageSlots slots_;
    std::uint64_t budget_;  // the bytes it may still read into its pages
    std::vector<std::uint8_t> pages_;
};

// The forms a match delta's data comes in.
enum class MatchLayout { kHeld, kStreamed, kSplit };

// The reading of a delta's records, checked as it goes: each record's old position, and the end
// when the records have produced the new size.
class RecordWalk {
public:
    // With readsOutput, a position at or past oldSize reads the new file made so far: a record's
    // add bytes may start anywhere before its first byte's place (when they overlap it, each byte
    // read is made before it is read).
    RecordWalk(const std::string& what, std::uint64_t oldSize, std::uint64_t newSize, bool readsOutput)
        : what_(what), oldSize_(oldSize), newSize_(newSize), readsOutput_(readsOutput)
    {
    }

    bool done() const { return produced_ >= newSize_; }

    // The next record's fields, from the streams that hold them (one stream, or one each); *at is
    // where in the old file its add bytes start.
    Result Next(RecordFields& fields, std::uint64_t* add, std::uint64_t* copy, std::uint64_t* at)
    {
        std::uint64_t seekCode;
        Result r = fields.Next(what_, add, copy, &seekCode);
        if (!r.ok())
            return r;
        if (*add > newSize_ - produced_ || *copy > newSize_ - produced_ - *add)
            return CorruptData(what_, "runs past the new size");
        if (*add == 0 && *copy == 0) {
            if (idle_)
                return CorruptData(what_, "has records that produce nothing");
            idle_ = true;
        } else {
            idle_ = false;
        }
        const std::uint64_t limit = readsOutput_ ? oldSize_ + produced_ : oldSize_;
        if (oldPos_ < 0 || static_cast<std::uint64_t>(oldPos_) > limit ||
            (*add > 0 && (readsOutput_ ? static_cast<std::uint64_t>(oldPos_) == limit
                                       : *add > limit - static_cast<std::uint64_t>(oldPos_))))
            return CorruptData(what_, readsOutput_ ? "reads outside the old file and the new file made so far"
                                                   : "reads outside the old file");
        *at = static_cast<std::uint64_t>(oldPos_);
        produced_ += *add + *copy;
        std::int64_t seek = UnZigZag(seekCode);
        std::int64_t moved = oldPos_ + static_cast<std::int64_t>(*add);
        // The old position stays within what a file can be, so that moving it cannot overflow.
        if ((seek > 0 && moved > static_cast<std::int64_t>(kMaxFileSize) - seek) ||
            (seek < 0 && moved < -static_cast<std::int64_t>(kMaxFileSize) - seek))
            return CorruptData(what_, "moves outside the old file");
        oldPos_ = moved + seek;
        return Result::Ok();
    }

private:
    const std::string& what_;
    std::uint64_t oldSize_, newSize_;
    bool readsOutput_;
    std::uint64_t produced_ = 0;
    std::int64_t oldPos_ = 0;
    bool idle_ = false;  // the last record produced nothing
};

// Files from this size have parts of their decoding done on a second thread, beside the rest.
constexpr std::uint64_t kBesideFrom = 1 << 20;
// What is held of a new file that records read, where the rest can be read back: more than the
// chunk being made and the one being undone beside together.
constexpr std::size_t kOutputRing = 4 << 20;
static_assert(kOutputRing > 2 * (kChunkSize + 8), "the ring holds what is not handed on yet");

// The decoder of one match delta, in three steps: read the header, set up the streams, run the
// records. The held and split forms have the old file in memory; the streamed form reads it by
// position.
class MatchDecoder {
public:
    ~MatchDecoder()
    {
        // Before the pieces handed on go: the sink may still be reading the last of them.
        if (piecesKept_)
            (*keepPieces_)(false);
    }

    MatchDecoder(const std::string& what, std::uint64_t newSize, const ChunkSink& sink, MatchLayout layout)
        : what_(what),
          newSize_(newSize),
          sink_(sink),
          streamed_(layout == MatchLayout::kStreamed),
          split_(layout == MatchLayout::kSplit),
          count_(split_      ? kSplitStreams
                 : streamed_ ? kStreamedStreams
                             : kMatchStreams)
    {
    }

    // The filter (and the split form's flags) and the frames' lengths; the frames must fill the
    // rest exactly.
    Result ReadHeader(const DataSource& data)
    {
        std::uint8_t bytes[2 + 8 * kSplitStreams];
        const auto size =
            static_cast<std::size_t>(std::min<std::uint64_t>((split_ ? 2 : 1) + 8 * count_, data.length()));
        Result read = data.Read(0, bytes, size);
        if (!read.ok())
            return read;
        ByteReader header(bytes, size);
        std::uint8_t filter = 0;
        if (!header.U8(&filter) || (split_ && !header.U8(&flags_)))
            return CorruptData(what_, "is cut short");
        const auto formFilter =
            static_cast<std::uint8_t>(streamed_ ? MatchFilter::kX86BranchesByBlock : MatchFilter::kX86Branches);
        if (filter != static_cast<std::uint8_t>(MatchFilter::kNone) && filter != formFilter &&
            !(split_ && filter == static_cast<std::uint8_t>(MatchFilter::kX64References)))
            return CorruptData(what_, "names an unknown filter " + std::to_string(filter));
        if ((flags_ & ~(kSplitUnreadPrefix | kSplitJointChanges | kSplitReadsOutput | kSplitProjected |
                        kSplitModeledValues | kSplitModeledRecords)) != 0)
            return CorruptData(what_, "has unknown flags " + std::to_string(flags_));
        if (modeled() && joint())
            return CorruptData(what_, "has modeled values interleaved");
        filter_ = static_cast<MatchFilter>(filter);
        unfilter_ = X86BranchFilter(wide());
        if (projected() && !branches())
            return CorruptData(what_, "moves branch targets without the call filter");
        for (int i = 0; i < count_; ++i)
            if (!header.U64(&lengths_[i]))
                return CorruptData(what_, "is cut short");
        std::uint64_t left = data.length() - header.position();
        for (int i = 0; i < count_; ++i) {
            if (lengths_[i] > left || (i == count_ - 1 && lengths_[i] != left))
                return CorruptData(what_, "has streams that do not fit it");
            left -= lengths_[i];
        }
        frames_ = data.Part(header.position(), data.length() - header.position());
        return Result::Ok();
    }

    // Where the caller reads back the new file made so far (as it was handed on), only its last
    // bytes are held, where the records read it.
    void SetReadBack(const OldLoad::ReadBack* readBack) { readBack_ = readBack; }
    // Where the sink can go on reading a piece beside until its next call.
    void SetKeepPieces(const std::function<void(bool)>* keepPieces) { keepPieces_ = keepPieces; }

    // Starts what can be done before the old file is read (of oldSize bytes): the held new
    // file's room is made, and the walk that finds the old bytes no record reads, which reads
    // none itself, goes on beside in a large file.
    Result StartWalk(std::size_t oldSize)
    {
        Result held = HoldOutput();
        if (!held.ok())
            return held;
        oldSize_ = oldSize;
        walkStarted_ = true;
        // The held form filters a copy of the old file whole (SetUpStreams): it marks nothing.
        if (split_ && branches()) {
            try {
                marks_ = FilterMarks(oldSize, wide());
            } catch (const std::bad_alloc&) {
                return Fail(Status::kOutOfMemory, "out of memory for the old file's filter");
            }
            filtered_ = true;
        }
        if (!gather() && !projected())
            return Result::Ok();
        if (gather())
            coverage_ = OldCoverage(oldSize);
        if (projected())
            targets_ = TargetMap(oldSize);
        // The walk also makes the room for the unread bytes: its pages are first written there.
        auto walk = [this] {
            coverage_.MakePages();
            if (!(walked_ = WalkRecords()).ok() || !gather())
                return;
            try {
                const auto unread = static_cast<std::size_t>(coverage_.Unread());
                unread_.reserve(unread);
                AdviseLargeBuffer(unread_.data(), unread_.capacity());
                unread_.resize(unread);
                TouchPages(unread_.data(), unread_.size());
            } catch (const std::bad_alloc&) {
                walked_ = Fail(Status::kOutOfMemory, "out of memory for the old file's unread bytes");
            }
        };
        if (oldSize >= kBesideFrom)
            walker_.Start(walk);
        else
            walk();
        return Result::Ok();
    }

    // The old file's first n bytes are read: the opcodes the filter changes among them are
    // marked, while the rest is read.
    void OldRead(const std::uint8_t* old, std::size_t n)
    {
        if (filtered_ && n <= oldSize_)  // more is refused once read
            marks_.ScanWhole(old, n, n == oldSize_ ? &unfiltering_ : nullptr);
    }

    // The old file (read with OldRead already, when scanned), which stays as it is: its bytes are
    // filtered as they are copied out of it, as the matching saw them. And a reader for each
    // stream, each bounded by what the new file can need of it.
    Result SetUpStreams(const std::uint8_t* oldData, std::size_t oldSize, bool scanned = false)
    {
        Result r = walkStarted_ ? Result::Ok() : StartWalk(oldSize);
        if (!r.ok())
            return r;
        old_ = oldData;
        if (!split_ && filter_ == MatchFilter::kX86Branches) {
            // The held form's extra frame has the filtered old file as its prefix: a copy.
            try {
                filteredOld_.assign(oldData, oldData + oldSize);
            } catch (const std::bad_alloc&) {
                return Fail(Status::kOutOfMemory, "out of memory for the old file");
            }
            X86BranchFilter::Encode(filteredOld_.data(), oldSize);
            old_ = filteredOld_.data();
        }
        if (!split_)
            return OpenStreams(old_, oldSize, kMaxWindowLog);
        if (!scanned)
            OldRead(oldData, oldSize);
        if (!gather() && !projected())
            return OpenStreams(nullptr, 0, kMaxWindowLog);
        walker_.Wait();
        if (!walked_.ok())
            return walked_;
        if (!gather())
            return OpenStreams(nullptr, 0, kMaxWindowLog);
        GatherUnread();
        return OpenStreams(unread_.data(), unread_.size(), kMaxWindowLog);
    }

    Result SetUpStreamed(InputFile& old, std::uint64_t oldSize)
    {
        oldSize_ = oldSize;
        pages_ = std::make_unique<OldPages>(what_, old, oldSize, filter_, newSize_);
        return OpenStreams(nullptr, 0, kStreamedWindowLog);
    }

    // Produces the new file record by record, a chunk at a time, and checks that every stream is
    // used up at the end.
    Result RunRecords()
    {
        chunkSize_ =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, std::max<std::uint64_t>(newSize_, 1)));
        unfilterBeside_ = branches() && newSize_ >= kBesideFrom;
        // With a ring (a whole number of chunks: the file is larger than it), each chunk is made
        // in it, in turn; the rooms are only where the transform is undone, beside. Without the
        // transform, the ring's chunk is handed on as it is.
        const int rooms = unfilterBeside_ ? 2 : ring_ != 0 ? 0 : 1;
        for (int i = 0; i < rooms; ++i)
            rooms_[i].resize(kRoomHead + chunkSize_);
        chunk_ = ring_ != 0 ? output_.data() : rooms_[0].data() + kRoomHead;
        // With a ring, a piece handed on is written over only after the next one has been: a
        // room's undoing starts once the other room's piece has been handed on, and a chunk of
        // the ring (handed on as it is) comes round again after four others.
        if (ring_ != 0 && keepPieces_ != nullptr && *keepPieces_) {
            (*keepPieces_)(true);
            piecesKept_ = true;
        }
        valuesLeft_ = joint() ? 0 : values().declared();
        if (modeled()) {
            Result opened = modeledValues_.Open(&values(), newSize_, what_, &valuesLeft_);
            if (!opened.ok())
                return opened;
            if (positions().declared() > 10 * valuesLeft_)
                return CorruptData(what_, "has streams larger than the new file can need");
        }
        Result r = NextChange();
        if (!r.ok())
            return r;
        beside_.Wait();  // the held new file's room, made ready in SetUpStreams
        RecordWalk walk(what_, oldSize_, newSize_, readsOutput());
        RecordFields fields(control(), copies(), seeks());
        if (modeledRecords() && !(r = fields.Model(newSize_)).ok())
            return r;
        for (std::uint64_t records = 1; !walk.done(); ++records) {
            std::uint64_t add = 0, copy = 0, at = 0;
            if (!(r = walk.Next(fields, &add, &copy, &at)).ok())
                return r;
            // The sink is asked now and then even where records produce little, so that a stop
            // request is seen by the work done.
            if (records % 65536 == 0 && !(r = sink_(chunk_, 0)).ok())
                return r;
            if (!(r = AddDifference(at, add)).ok() || !(r = CopyExtra(copy)).ok())
                return r;
        }
        if (changeAhead_)
            return CorruptData(what_, "changes bytes past its matches");
        if ((modeled() && !(r = modeledValues_.Finish(what_)).ok()) || !(r = fields.Finish(what_)).ok())
            return r;
        if (!(r = Flush(true)).ok())
            return r;
        for (int i = 0; i < count_; ++i)
            if (!(r = streams_[i].Finish()).ok())
                return r;
        return Result::Ok();
    }

private:
    static constexpr const char* kHeldNames[kMatchStreams] = {"control", "positions", "values", "extra"};
    static constexpr const char* kStreamedNames[kStreamedStreams] = {"control", "gaps", "run lengths", "values",
                                                                     "extra"};
    static constexpr const char* kSplitNames[kSplitStreams] = {"adds",      "copies", "seeks",
                                                               "positions", "values", "extra"};
    const char* NameOf(int i) const { return split_ ? kSplitNames[i] : streamed_ ? kStreamedNames[i] : kHeldNames[i]; }

    // A first walk of the records, with the same checks as the run's: the old bytes they read,
    // for the split form's prefix of the extra frame (the others, in order), and where they put
    // them, for the branch targets (kSplitProjected).
    Result WalkRecords()
    {
        FrameReader adds, copies, seeks;
        FrameReader* readers[3] = {&adds, &copies, &seeks};
        std::uint64_t at = 0;
        for (int i = 0; i < 3; ++i) {
            Result r =
                readers[i]->Open(what_, kSplitNames[i], frames_.Part(at, lengths_[i]), nullptr, 0, kMaxWindowLog);
            if (!r.ok())
                return r;
            if (readers[i]->declared() > 10 * (2 * newSize_ + 1))
                return CorruptData(what_, "has streams larger than the new file can need");
            at += lengths_[i];
        }
        RecordWalk walk(what_, oldSize_, newSize_, readsOutput());
        RecordFields fields(adds, copies, seeks);
        if (modeledRecords()) {
            Result r = fields.Model(newSize_);
            if (!r.ok())
                return r;
        }
        std::uint64_t newAt = 0;
        try {
            // Plain records take a byte of the adds stream at least: their count is known nearly,
            // and the map's reads are made once in their room, not copied as it grows.
            if (projected() && !modeledRecords())
                targets_.Reserve(adds.declared());
            while (!walk.done()) {
                std::uint64_t add = 0, copy = 0, from = 0;
                Result r = walk.Next(fields, &add, &copy, &from);
                if (!r.ok())
                    return r;
                if (from < oldSize_ && gather())
                    coverage_.Mark(from, std::min(add, oldSize_ - from));
                if (from < oldSize_ && projected() && !targets_.Add(from, std::min(add, oldSize_ - from), newAt))
                    return CorruptData(what_, "reads the old file in more pieces than its branch targets' map takes");
                newAt += add + copy;
            }
            if (projected())
                targets_.Finish();
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the map of a program's branch targets");
        }
        return Result::Ok();
    }

    // The old bytes no record reads, filtered, for the extra frame's prefix: in a large file, those
    // in its second half beside.
    void GatherUnread()
    {
        const FilterMarks* marks = filtered_ ? &marks_ : nullptr;
        const TargetMap* targets = projected() ? &targets_ : nullptr;
        if (oldSize_ < kBesideFrom) {
            coverage_.GatherUnread(old_, unread_.data(), marks, targets);
            return;
        }
        std::uint64_t before = 0;
        const std::uint64_t middle = coverage_.Middle(unread_.size(), &before);
        std::uint8_t* second = unread_.data() + before;
        walker_.Start([this, marks, middle, second, targets] {
            coverage_.GatherUnread(old_, second, marks, middle, oldSize_, targets);
        });
        coverage_.GatherUnread(old_, unread_.data(), marks, 0, middle, targets);
        walker_.Wait();
    }

    // A reader for each stream; the extra stream has the prefix given.
    Result OpenStreams(const std::uint8_t* prefix, std::size_t prefixSize, int maxWindowLog)
    {
        std::uint64_t at = 0;
        for (int i = 0; i < count_; ++i) {
            bool isExtra = &streams_[i] == &extra();
            Result r = streams_[i].Open(what_, NameOf(i), frames_.Part(at, lengths_[i]), isExtra ? prefix : nullptr,
                                        isExtra ? prefixSize : 0, maxWindowLog);
            if (!r.ok())
                return r;
            at += lengths_[i];
        }
        // A record produces at least a byte or is followed by one that does; each record is three
        // numbers of at most 10 bytes, each changed byte a position of at most 10 bytes and a value.
        const std::uint64_t records = 2 * newSize_ + 1;
        bool fits = extra().declared() <= newSize_;
        if (joint())
            fits = fits && values().declared() == 0 && positions().declared() <= 11 * newSize_;
        else if (modeled())  // the values' count is checked against the positions once read
            fits = fits && values().declared() <= 2 * newSize_ + 16 && positions().declared() <= 10 * newSize_;
        else
            fits = fits && values().declared() <= newSize_ && positions().declared() <= 10 * values().declared();
        if (streamed_)
            fits = fits && runLengths().declared() <= 10 * values().declared();
        if (split_)
            fits = fits && control().declared() <= 10 * records && copies().declared() <= 10 * records &&
                   seeks().declared() <= 10 * records;
        else
            fits = fits && control().declared() <= 30 * records;
        if (!fits)
            return CorruptData(what_, "has streams larger than the new file can need");
        // In a large file, the large streams are decoded a piece ahead, beside.
        constexpr std::uint64_t kAheadFrom = 256 << 10;
        if (newSize_ >= kBesideFrom)
            for (int i = 0; i < count_; ++i)
                if (streams_[i].declared() >= kAheadFrom)
                    streams_[i].ReadAhead();
        return Result::Ok();
    }

    bool joint() const { return (flags_ & kSplitJointChanges) != 0; }
    bool gather() const { return split_ && (flags_ & kSplitUnreadPrefix) != 0; }
    bool readsOutput() const { return (flags_ & kSplitReadsOutput) != 0; }
    bool projected() const { return split_ && (flags_ & kSplitProjected) != 0; }
    bool modeled() const { return split_ && (flags_ & kSplitModeledValues) != 0; }
    bool modeledRecords() const { return split_ && (flags_ & kSplitModeledRecords) != 0; }
    // Filter 1 or 3, undone as the new file is made.
    bool branches() const { return filter_ == MatchFilter::kX86Branches || wide(); }
    bool wide() const { return filter_ == MatchFilter::kX64References; }
    FrameReader& control() { return streams_[0]; }  // the split form: the adds
    FrameReader& copies() { return streams_[split_ ? 1 : 0]; }
    FrameReader& seeks() { return streams_[split_ ? 2 : 0]; }
    FrameReader& positions() { return streams_[split_ ? 3 : 1]; }  // the streamed form: the runs' gaps
    FrameReader& runLengths() { return streams_[2]; }              // the streamed form only
    FrameReader& values() { return streams_[count_ - 2]; }
    FrameReader& extra() { return streams_[count_ - 1]; }
    // Where each changed byte's value is read: after its position, when they are interleaved.
    FrameReader& valueSource() { return joint() ? positions() : values(); }

    // The distance to the next changed byte, when there is one.
    Result NextChange()
    {
        changeAhead_ = joint() ? positions().left() > 0 : valuesLeft_ > 0;
        if (!changeAhead_ || !streamed_)
            return changeAhead_ ? positions().Number(&gap_) : Result::Ok();
        if (runLeft_ > 0) {
            --runLeft_;
            gap_ = 0;
            return Result::Ok();
        }
        Result r = positions().Number(&gap_);
        if (r.ok())
            r = runLengths().Number(&runLeft_);
        if (r.ok() && runLeft_ >= valuesLeft_)
            return CorruptData(what_, "has a run of changes longer than its values");
        return r;
    }

    // add bytes of the old file from oldPos, with the changed ones changed.
    Result AddDifference(std::uint64_t oldPos, std::uint64_t add)
    {
        for (std::uint64_t done = 0; done < add;) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(add - done, chunkSize_ - filled_));
            std::uint8_t* out = chunk_ + filled_;
            const std::uint64_t from = oldPos + done;
            if (pages_) {
                Result r = pages_->Read(from, out, k);
                if (!r.ok())
                    return r;
            } else if (from < oldSize_) {
                k = static_cast<std::size_t>(std::min<std::uint64_t>(k, oldSize_ - from));
                std::memcpy(out, old_ + from, k);
                if (filtered_)
                    marks_.Apply(old_, 0, from, out, k, projected() ? &targets_ : nullptr);
            } else {
                // From the new file made so far. Where the bytes read run into the ones being
                // made, they repeat with the period of the distance between the two, up to the
                // next changed byte (which later ones may read as changed): the made ones, then
                // what is filled already, doubling.
                const auto at = static_cast<std::size_t>(from - oldSize_);
                const std::size_t period = made_ - at;
                if (k > period && changeAhead_)
                    k = static_cast<std::size_t>(std::min<std::uint64_t>(k, gap_ + 1));
                Result r = ReadOutput(at, out, std::min(k, period));
                if (!r.ok())
                    return r;
                for (std::size_t filled = period; filled < k;) {
                    const std::size_t whole = filled - filled % period;
                    const std::size_t n = std::min(whole, k - filled);
                    std::memcpy(out + filled, out + filled - whole, n);
                    filled += n;
                }
            }
            std::size_t at = 0;
            if (!streamed_) {
                Result r = ApplyBufferedChanges(out, k, &at);
                if (!r.ok())
                    return r;
            }
            while (changeAhead_ && gap_ < k - at) {
                at += static_cast<std::size_t>(gap_);
                std::uint8_t v;
                Result r = modeled() ? modeledValues_.Next(out[at], &v) : valueSource().Byte(&v);
                if (!r.ok())
                    return r;
                out[at] = static_cast<std::uint8_t>(out[at] + v);
                ++at;
                valuesLeft_ -= joint() ? 0 : 1;
                if (!(r = NextChange()).ok())
                    return r;
            }
            if (changeAhead_)
                gap_ -= k - at;
            Result kept = Keep(out, k);
            if (!kept.ok())
                return kept;
            filled_ += k;
            done += k;
            if (filled_ == chunkSize_) {
                Result r = Flush(false);
                if (!r.ok())
                    return r;
            }
        }
        return Result::Ok();
    }

    // The changes in out[*at, k) as the loop in AddDifference makes them, read straight from the
    // streams' buffers while they hold all a change can take; that loop goes on from where this
    // stops. The held and split forms: one number per change.
    Result ApplyBufferedChanges(std::uint8_t* out, std::size_t k, std::size_t* at)
    {
        FrameReader& gaps = positions();
        FrameReader& values = valueSource();
        const bool oneStream = joint();
        const std::size_t needed = oneStream ? 11 : 10;  // the value, and the longest number after it
        std::size_t i = *at;
        if (modeled())
            return Result::Ok();
        while (changeAhead_ && gap_ < k - i && gaps.buffered() >= needed && values.buffered() >= 1) {
            i += static_cast<std::size_t>(gap_);
            out[i] = static_cast<std::uint8_t>(out[i] + values.TakeByte());
            ++i;
            if (!oneStream)
                --valuesLeft_;
            changeAhead_ = oneStream ? gaps.left() > 0 : valuesLeft_ > 0;
            if (changeAhead_ && !gaps.TryNumber(&gap_)) {
                *at = i;
                return gaps.Number(&gap_);  // too large a number, which this tells
            }
        }
        *at = i;
        return Result::Ok();
    }

    // copy bytes of the extra stream.
    Result CopyExtra(std::uint64_t copy)
    {
        for (std::uint64_t done = 0; done < copy;) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(copy - done, chunkSize_ - filled_));
            Result r = extra().Read(chunk_ + filled_, k);
            if (!r.ok())
                return r;
            if (!(r = Keep(chunk_ + filled_, k)).ok())
                return r;
            filled_ += k;
            done += k;
            if (filled_ == chunkSize_ && !(r = Flush(false)).ok())
                return r;
        }
        return Result::Ok();
    }

    // With kSplitReadsOutput, the room for the new file made so far. Its pages are first written
    // (and so made by the system) beside, while the old file is made ready.
    Result HoldOutput()
    {
        if (!readsOutput())
            return Result::Ok();
        // No larger than a builder holds a file (or a group) for applying, whatever size the
        // entry declares.
        if (newSize_ > kMaxHeldBytes)
            return CorruptData(
                what_, "reads a new file made so far larger than " + std::to_string(kMaxHeldBytes >> 20) + " MiB");
        // Where the caller reads back what it was handed, only the last bytes made are held, and
        // the opcodes the filter changed are marked as it is undone, to be changed again in what
        // is read back.
        const bool ring = readBack_ != nullptr && newSize_ > kOutputRing;
        const auto held = static_cast<std::size_t>(ring ? kOutputRing : newSize_);
        try {
            output_.reserve(held);
            AdviseLargeBuffer(output_.data(), output_.capacity());
            if (ring && branches()) {
                outputMarks_ = FilterMarks(newSize_, wide());
                outputMarked_ = true;
            }
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the new file");
        }
        ring_ = ring ? kOutputRing : 0;
        // Within what was reserved: this neither allocates nor throws.
        if (held >= kBesideFrom)
            beside_.Start([this, held] {
                output_.resize(held);
                TouchPages(output_.data(), held);
                if (outputMarked_)
                    outputMarks_.MakePages();
            });
        else
            output_.resize(held);
        return Result::Ok();
    }

    // n bytes of the new file made so far from at (all made), as the records made them.
    Result ReadOutput(std::size_t at, std::uint8_t* out, std::size_t n)
    {
        if (ring_ == 0) {
            std::memcpy(out, output_.data() + at, n);
            return Result::Ok();
        }
        // out is in the ring too, where the oldest bytes in it were: the part in the ring is
        // moved first, with what overlaps, and the part before it comes after.
        const std::size_t ringStart = made_ > ring_ ? made_ - ring_ : 0;
        const std::size_t before = at < ringStart ? std::min(n, ringStart - at) : 0;
        const std::size_t i = (at + before) & (ring_ - 1), first = std::min(n - before, ring_ - i);
        std::memmove(out + before, output_.data() + i, first);
        std::memmove(out + before + first, output_.data(), n - before - first);
        // The part before the ring was handed on (the ring is larger than what the chunks being
        // made and undone hold back): it is read back, with its operands 4 bytes on each side.
        if (before > 0) {
            const std::size_t from = at >= 4 ? at - 4 : 0;
            const auto to = static_cast<std::size_t>(std::min<std::uint64_t>(at + before + 4, newSize_));
            if (to > flushed_)
                return Fail(Status::kIoError, "cannot read back " + what_ + " as it is written");
            try {
                readBackBuffer_.resize(to - from);
            } catch (const std::bad_alloc&) {
                return Fail(Status::kOutOfMemory, "out of memory reading back " + what_);
            }
            Result r = (*readBack_)(from, readBackBuffer_.data(), to - from);
            if (!r.ok())
                return r;
            std::memcpy(out, readBackBuffer_.data() + (at - from), before);
            if (outputMarked_)
                outputMarks_.Apply(readBackBuffer_.data(), from, at, out, before);
        }
        return Result::Ok();
    }

    // Keeps the bytes made, where later records may read them.
    Result Keep(const std::uint8_t* made, std::size_t size)
    {
        if (!readsOutput())
            return Result::Ok();
        // With a ring, the chunks are made in it, where the records read them.
        if (ring_ == 0)
            std::memcpy(output_.data() + made_, made, size);  // within newSize_, as the records are
        made_ += size;
        return Result::Ok();
    }

    // Hands on the chunk's final bytes; the filter may hold a few back for the next chunk.
    Result Flush(bool last)
    {
        if (unfilterBeside_)
            return FlushBeside(last);
        std::size_t final = filled_;
        if (branches()) {
            final = unfilter_.DecodeInPlace(chunk_, filled_, last, outputMarked_ ? &outputMarks_ : nullptr);
        } else if (filter_ == MatchFilter::kX86BranchesByBlock) {
            // Whole blocks only, but for the file's last (the chunk is a whole number of blocks).
            if (!last)
                final -= final % kFilterBlock;
            X86BranchFilter::DecodeBlocks(chunk_, final, flushed_);
        }
        flushed_ += final;
        Result r = final > 0 ? sink_(chunk_, final) : Result::Ok();
        if (ring_ != 0) {  // no transform: all of it was final
            chunk_ = output_.data() + (made_ & (ring_ - 1));
            filled_ = 0;
            return r;
        }
        std::memmove(chunk_, chunk_ + final, filled_ - final);
        filled_ -= final;
        return r;
    }

    // The same in a large file, with the transform undone beside: the chunk goes to the other
    // thread, and the records go on in the other room. The chunk before, undone meanwhile, is
    // handed on first. The bytes the transform holds back are put in front of the next chunk
    // there, in its room's head.
    Result FlushBeside(bool last)
    {
        unfiltering_.Wait();
        Result r = HandOnUndone();
        if (!r.ok())
            return r;
        std::uint8_t* chunk = chunk_;
        std::uint8_t* room = rooms_[room_].data() + kRoomHead;
        const std::size_t size = filled_;
        unfiltering_.Start([this, chunk, room, size, last] {
            if (room != chunk)
                std::memcpy(room, chunk, size);  // from the ring, which keeps it as it is
            std::uint8_t* from = room - heldBack_;
            std::memcpy(from, heldBackBytes_, heldBack_);
            const std::size_t whole = heldBack_ + size;
            const std::size_t final =
                unfilter_.DecodeInPlace(from, whole, last, outputMarked_ ? &outputMarks_ : nullptr);
            heldBack_ = whole - final;  // at most 6
            std::memcpy(heldBackBytes_, from + final, heldBack_);
            undone_ = from;
            undoneSize_ = final;
        });
        room_ ^= 1;
        chunk_ = ring_ != 0 ? output_.data() + (made_ & (ring_ - 1)) : rooms_[room_].data() + kRoomHead;
        filled_ = 0;
        if (!last)
            return Result::Ok();
        unfiltering_.Wait();
        return HandOnUndone();
    }

    Result HandOnUndone()
    {
        const std::size_t size = undoneSize_;
        undoneSize_ = 0;
        flushed_ += size;
        return size > 0 ? sink_(undone_, size) : Result::Ok();
    }

    const std::string& what_;
    std::uint64_t newSize_;
    const ChunkSink& sink_;
    MatchFilter filter_ = MatchFilter::kNone;
    std::uint64_t lengths_[kSplitStreams] = {};
    DataSource frames_{nullptr, 0};
    const bool streamed_, split_;
    const int count_;                    // of streams
    std::uint8_t flags_ = 0;             // the split form's
    UnwrittenBytes unread_;              // the split form's prefix for the extra frame
    const std::uint8_t* old_ = nullptr;  // the held form's old file
    std::unique_ptr<OldPages> pages_;    // the streamed form's
    std::uint64_t oldSize_ = 0;
    std::uint64_t flushed_ = 0;              // the bytes of the new file handed on
    FilterMarks marks_;                      // of the split form's old file, with the call filter
    std::vector<std::uint8_t> filteredOld_;  // the held form's, filtered
    bool filtered_ = false;                  // by marks_
    FrameReader streams_[kSplitStreams];
    X86BranchFilter unfilter_;
    // The chunk being made, in a room with a head for the bytes the transform held back. With the
    // transform undone beside, two rooms in turn.
    static constexpr std::size_t kRoomHead = 8;
    std::vector<std::uint8_t> rooms_[2];
    int room_ = 0;
    std::uint8_t* chunk_ = nullptr;
    std::size_t chunkSize_ = 0;
    bool unfilterBeside_ = false;
    // Only the thread beside uses these between Start and Wait.
    std::uint8_t heldBackBytes_[kRoomHead] = {};
    std::size_t heldBack_ = 0;
    std::uint8_t* undone_ = nullptr;
    std::size_t undoneSize_ = 0;
    std::size_t filled_ = 0;
    // With kSplitReadsOutput, the new file made so far, as the records make it (before the filter
    // is undone).
    // Whole, or, where the caller reads back what it was handed (readBack_), the last ring_ bytes
    // in a ring, with the opcodes the filter changed marked in what was handed on (outputMarks_).
    UnwrittenBytes output_;
    std::size_t ring_ = 0;
    std::size_t made_ = 0;  // of the new file
    const OldLoad::ReadBack* readBack_ = nullptr;
    const std::function<void(bool)>* keepPieces_ = nullptr;
    bool piecesKept_ = false;
    FilterMarks outputMarks_;
    bool outputMarked_ = false;
    std::vector<std::uint8_t> readBackBuffer_;
    // After the rooms, the ring and its marks: its work reads the ring and writes the rest, and
    // may still run when a decoding that failed ends.
    Beside unfiltering_;
    Beside beside_;  // after output_, which its work fills
    std::uint64_t valuesLeft_ = 0, gap_ = 0, runLeft_ = 0;
    bool changeAhead_ = false;
    // The walk over the records, started before the old file is read (StartWalk).
    bool walkStarted_ = false;
    OldCoverage coverage_{0};
    TargetMap targets_{0};         // with kSplitProjected
    ModeledValues modeledValues_;  // with kSplitModeledValues
    Result walked_;
    Beside walker_;  // last: its work, which uses all the above, ends first
};

}  // namespace

namespace {

// A held form's decoding: the header, the streams with the old file in memory, the records.
Result DecodeHeld(MatchLayout layout, const std::string& what, const DataSource& data, const std::uint8_t* oldData,
                  std::size_t oldSize, std::uint64_t newSize, const ChunkSink& sink, const OldLoad* load)
{
    MatchDecoder decoder(what, newSize, sink, layout);
    Result r = decoder.ReadHeader(data);
    if (load != nullptr) {
        // The old file is read while the records are walked beside, and the opcodes the filter
        // changes are marked as it comes. It is read and checked whatever the header says: a
        // directory at another version is told as such before a damaged patch is.
        if (load->readBack)
            decoder.SetReadBack(&load->readBack);
        decoder.SetKeepPieces(&load->keepPieces);
        if (r.ok())
            r = decoder.StartWalk(oldSize);
        const bool ready = r.ok();
        OldBytes old;
        Result loaded = load->read(&old, [&](const std::uint8_t* in, std::size_t n) {
            if (ready)
                decoder.OldRead(in, n);
        });
        if (!loaded.ok())
            return loaded;
        // The records run while the old file's check goes on beside; what they made is handed
        // on only to where the caller keeps it until the check is told. A file that is not the
        // old one is told before anything the records found wrong.
        if (r.ok() && old.size != oldSize)
            r = Fail(Status::kWrongVersion, "the old file of " + what + " is not the size the patch says");
        if (r.ok()) {
            decoder.OldRead(old.data, oldSize);
            r = decoder.SetUpStreams(old.data, oldSize, true);
        }
        if (load->recordsStart)
            load->recordsStart();
        if (r.ok())
            r = decoder.RunRecords();
        Result checked = load->Check();
        return checked.ok() ? r : checked;
    }
    if (r.ok())
        r = decoder.SetUpStreams(oldData, oldSize);
    if (r.ok())
        r = decoder.RunRecords();
    return r;
}

}  // namespace

Result DecodeMatchDelta(const std::string& what, const DataSource& data, const std::uint8_t* oldData,
                        std::size_t oldSize, std::uint64_t newSize, const ChunkSink& sink, const OldLoad* load)
{
    return DecodeHeld(MatchLayout::kHeld, what, data, oldData, oldSize, newSize, sink, load);
}

Result DecodeSplitMatchDelta(const std::string& what, const DataSource& data, const std::uint8_t* oldData,
                             std::size_t oldSize, std::uint64_t newSize, const ChunkSink& sink, const OldLoad* load)
{
    return DecodeHeld(MatchLayout::kSplit, what, data, oldData, oldSize, newSize, sink, load);
}

Result DecodeStreamedMatchDelta(const std::string& what, const DataSource& data, InputFile& old, std::uint64_t oldSize,
                                std::uint64_t newSize, const ChunkSink& sink)
{
    MatchDecoder decoder(what, newSize, sink, MatchLayout::kStreamed);
    Result r = decoder.ReadHeader(data);
    if (r.ok())
        r = decoder.SetUpStreamed(old, oldSize);
    if (r.ok())
        r = decoder.RunRecords();
    return r;
}

}  // namespace qvpatch
