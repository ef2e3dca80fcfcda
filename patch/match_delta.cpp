// The match delta: approximate matching over a suffix array of the old file, and its decoder.
#include "match_delta.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>

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
class MatchFinder {
public:
    MatchFinder(const std::uint8_t* old, std::size_t oldSize, std::vector<std::int32_t> sa)
        : old_(old), oldSize_(oldSize), sa_(std::move(sa))
    {
    }

    std::size_t Longest(const std::uint8_t* data, std::size_t size, std::size_t* pos) const
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
        std::size_t lenLo = CommonLength(old_ + sa_[lo], oldSize_ - sa_[lo], data, size);
        std::size_t lenHi = CommonLength(old_ + sa_[hi], oldSize_ - sa_[hi], data, size);
        if (lenLo >= lenHi) {
            *pos = static_cast<std::size_t>(sa_[lo]);
            return lenLo;
        }
        *pos = static_cast<std::size_t>(sa_[hi]);
        return lenHi;
    }

private:
    const std::uint8_t* old_;
    std::size_t oldSize_;
    std::vector<std::int32_t> sa_;
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
public:
    Result Open(const std::string& what, const char* stream, const std::uint8_t* data, std::size_t length,
                const std::uint8_t* prefix = nullptr, std::size_t prefixSize = 0)
    {
        what_ = what;
        stream_ = stream;
        unsigned long long declared = ZSTD_getFrameContentSize(data, length);
        if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN)
            return Bad("is not a zstd frame with its size");
        declared_ = declared;
        Result made = NewZstdDecoder(prefix, prefixSize, &dctx_);
        if (!made.ok())
            return made;
        in_ = ZSTD_inBuffer{data, length, 0};
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(declared_, 1 << 16)) + 1);
        return Result::Ok();
    }

    std::uint64_t declared() const { return declared_; }

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

    Result Number(std::uint64_t* v)
    {
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
        if (pos_ != end_ || produced_ != declared_)
            return Bad("has bytes left over");
        if (!finished_) {
            // The decoder may still have the frame's end to read.
            std::uint8_t spare;
            ZSTD_outBuffer out{&spare, 1, 0};
            std::size_t ret = ZSTD_decompressStream(dctx_.get(), &out, &in_);
            if (ZSTD_isError(ret))
                return Bad(std::string("does not decode: ") + ZSTD_getErrorName(ret));
            if (out.pos != 0)
                return Bad("decodes to more than it declares");
            if (ret != 0)
                return Bad("is cut short");
            finished_ = true;
        }
        if (in_.pos != in_.size)
            return Bad("has bytes after its frame");
        return Result::Ok();
    }

private:
    Result Fill()
    {
        if (finished_ || produced_ == declared_)
            return Bad("is used up too soon");
        pos_ = end_ = 0;
        while (end_ == 0) {
            std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), declared_ - produced_));
            ZSTD_outBuffer out{buffer_.data(), room, 0};
            std::size_t ret = ZSTD_decompressStream(dctx_.get(), &out, &in_);
            if (ZSTD_isError(ret))
                return Bad(std::string("does not decode: ") + ZSTD_getErrorName(ret));
            end_ = out.pos;
            produced_ += out.pos;
            if (ret == 0) {
                finished_ = true;
                if (produced_ != declared_)
                    return Bad("decodes to other than it declares");
            }
            if (end_ == 0 && (finished_ || in_.pos == in_.size))
                return Bad("is cut short");
        }
        return Result::Ok();
    }

    Result Bad(const std::string& why) const { return CorruptData(what_, std::string("(") + stream_ + ") " + why); }

    std::string what_;
    const char* stream_ = "";
    ZstdDecoder dctx_;
    ZSTD_inBuffer in_{};
    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0, end_ = 0;
    std::uint64_t declared_ = 0, produced_ = 0;
    bool finished_ = false;
};

}  // namespace

Result FindMatches(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                   std::vector<MatchRecord>* records, std::uint64_t* searches)
{
    std::uint64_t lookups = 0;
    records->clear();
    if (oldSize > kMaxMatchOldSize)
        return Fail(Status::kBuildFailed, "an old file too large to index for matching");
    std::vector<std::int32_t> sa;
    try {
        sa.resize(oldSize);
    } catch (const std::bad_alloc&) {
        return Fail(Status::kOutOfMemory, "out of memory for the suffix array of an old file");
    }
    if (oldSize > 0 && divsufsort(old, sa.data(), static_cast<std::int32_t>(oldSize)) != 0)
        return Fail(Status::kBuildFailed, "the suffix array of an old file could not be built");
    MatchFinder finder(old, oldSize, std::move(sa));

    // A scan over the new data. At each point the longest exact match is looked up; it is taken
    // when it beats, by more than a few bytes, simply going on with the current match at its
    // offset (which still agrees in most bytes). Each taken match is then widened both ways into
    // an approximate one: forwards from the last match for as long as at least half the bytes
    // agree, backwards from the new match the same, the overlap between the two split where it
    // costs least.
    const std::int64_t n = static_cast<std::int64_t>(size), on = static_cast<std::int64_t>(oldSize);
    constexpr std::int64_t kLongMatch = 64;
    std::int64_t scan = 0, len = 0, pos = 0, lastScan = 0, lastPos = 0, lastOffset = 0;
    while (scan < n) {
        std::int64_t oldScore = 0;
        std::int64_t scsc = scan += len;
        while (scan < n) {
            std::size_t p = 0;
            len = static_cast<std::int64_t>(finder.Longest(data + scan, static_cast<std::size_t>(n - scan), &p));
            ++lookups;
            pos = static_cast<std::int64_t>(p);
            for (; scsc < scan + len; ++scsc)
                if (scsc + lastOffset >= 0 && scsc + lastOffset < on && old[scsc + lastOffset] == data[scsc])
                    ++oldScore;
            if ((len == oldScore && len != 0) || len > oldScore + 8)
                break;
            // A long match that the current offset does about as well: the positions inside it
            // mostly find the rest of the same match, so half of it is passed over. That bounds
            // the search work per byte where long runs repeat (it would grow with their length).
            std::int64_t step = len >= kLongMatch ? len / 2 : 1;
            for (std::int64_t k = 0; k < step && scan < n; ++k, ++scan)
                if (scan + lastOffset >= 0 && scan + lastOffset < on && old[scan + lastOffset] == data[scan])
                    --oldScore;
        }
        if (len == oldScore && scan != n)
            continue;

        std::int64_t lenF = 0;
        for (std::int64_t i = 0, s = 0, best = 0; lastScan + i < scan && lastPos + i < on;) {
            if (old[lastPos + i] == data[lastScan + i])
                ++s;
            ++i;
            if (s * 2 - i > best * 2 - lenF) {
                best = s;
                lenF = i;
            }
        }
        std::int64_t lenB = 0;
        if (scan < n) {
            for (std::int64_t i = 1, s = 0, best = 0; scan >= lastScan + i && pos >= i; ++i) {
                if (old[pos - i] == data[scan - i])
                    ++s;
                if (s * 2 - i > best * 2 - lenB) {
                    best = s;
                    lenB = i;
                }
            }
        }
        if (lastScan + lenF > scan - lenB) {
            std::int64_t overlap = (lastScan + lenF) - (scan - lenB), s = 0, best = 0, lenS = 0;
            for (std::int64_t i = 0; i < overlap; ++i) {
                if (data[lastScan + lenF - overlap + i] == old[lastPos + lenF - overlap + i])
                    ++s;
                if (data[scan - lenB + i] == old[pos - lenB + i])
                    --s;
                if (s > best) {
                    best = s;
                    lenS = i + 1;
                }
            }
            lenF += lenS - overlap;
            lenB -= lenS;
        }
        MatchRecord rec;
        rec.add = static_cast<std::uint64_t>(lenF);
        rec.copy = static_cast<std::uint64_t>((scan - lenB) - (lastScan + lenF));
        rec.seek = (pos - lenB) - (lastPos + lenF);
        // A record that produces nothing only moves the old position: the record before does it.
        if (rec.add == 0 && rec.copy == 0 && !records->empty())
            records->back().seek += rec.seek;
        else
            records->push_back(rec);
        lastScan = scan - lenB;
        lastPos = pos - lenB;
        lastOffset = pos - scan;
    }
    if (searches != nullptr)
        *searches = lookups;
    return Result::Ok();
}

// A call or jump with a 32-bit displacement (E8, E9) is transformed when the displacement reaches
// no further than 16 MiB: its top byte all zeros or all ones, which the transform keeps. The four
// bytes after such an opcode are passed over whether transformed or not, so no transform starts
// inside them: decoding then decides on the same bytes as encoding did, in the same places.
namespace {

inline bool IsOpcode(std::uint8_t b) { return (b & 0xFE) == 0xE8; }

inline bool IsNear(std::uint8_t top) { return static_cast<std::uint8_t>(top + 1) <= 1; }

inline std::uint32_t Load(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Modulo 2^25, sign-extended: a one-to-one map of the displacements IsNear accepts.
inline void Store(std::uint8_t* p, std::uint32_t v)
{
    v &= 0x01FFFFFF;
    if (v & 0x01000000)
        v |= 0xFF000000;
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

}  // namespace

void X86BranchFilter::Encode(std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i + 5 <= size; ++i) {
        if (!IsOpcode(data[i]))
            continue;
        if (IsNear(data[i + 4]))
            Store(data + i + 1, Load(data + i + 1) + static_cast<std::uint32_t>(i + 5));
        i += 4;
    }
}

std::size_t X86BranchFilter::DecodeInPlace(std::uint8_t* data, std::size_t size, bool last)
{
    std::size_t i = 0;
    for (; i + 5 <= size; ++i) {
        if (!IsOpcode(data[i]))
            continue;
        if (IsNear(data[i + 4]))
            Store(data + i + 1, Load(data + i + 1) - static_cast<std::uint32_t>(base_ + i + 5));
        i += 4;
    }
    std::size_t final = last ? size : i;
    base_ += final;
    return final;
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
    if (size >= 20 && std::memcmp(data, "\x7f" "ELF", 4) == 0) {
        unsigned machine = data[5] == 2 ? static_cast<unsigned>(data[18] << 8 | data[19]) : u16(18);
        return machine == 3 || machine == 62;  // EM_386, EM_X86_64
    }
    return false;
}

Result EncodeMatchDelta(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData,
                        std::size_t size, MatchFilter filter, int level, std::vector<std::uint8_t>* out)
{
    std::vector<std::uint8_t> filteredOld, filteredNew;
    const std::uint8_t* old = oldData;
    const std::uint8_t* data = newData;
    if (filter == MatchFilter::kX86Branches) {
        try {
            filteredOld.assign(oldData, oldData + oldSize);
            filteredNew.assign(newData, newData + size);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for filtering a program");
        }
        X86BranchFilter::Encode(filteredOld.data(), oldSize);
        X86BranchFilter::Encode(filteredNew.data(), size);
        old = filteredOld.data();
        data = filteredNew.data();
    }
    std::vector<MatchRecord> records;
    Result r = FindMatches(old, oldSize, data, size, &records);
    if (!r.ok())
        return r;

    // The streams. The differences are mostly zeros: only the changed bytes are kept, with the
    // count of unchanged ones before each.
    std::vector<std::uint8_t> streams[kMatchStreams];
    std::vector<std::uint8_t>& control = streams[0];
    std::vector<std::uint8_t>& positions = streams[1];
    std::vector<std::uint8_t>& values = streams[2];
    std::vector<std::uint8_t>& extra = streams[3];
    std::size_t newPos = 0, oldPos = 0;
    std::uint64_t unchanged = 0;
    for (const MatchRecord& rec : records) {
        PutNumber(&control, rec.add);
        PutNumber(&control, rec.copy);
        PutNumber(&control, ZigZag(rec.seek));
        for (std::uint64_t i = 0; i < rec.add; ++i) {
            auto d = static_cast<std::uint8_t>(data[newPos + i] - old[oldPos + i]);
            if (d == 0) {
                ++unchanged;
                continue;
            }
            PutNumber(&positions, unchanged);
            values.push_back(d);
            unchanged = 0;
        }
        extra.insert(extra.end(), data + newPos + rec.add, data + newPos + rec.add + rec.copy);
        newPos += static_cast<std::size_t>(rec.add + rec.copy);
        oldPos = static_cast<std::size_t>(static_cast<std::int64_t>(oldPos + rec.add) + rec.seek);
    }
    if (newPos != size)
        return Fail(Status::kBuildFailed, "the matching did not cover the new file");

    // The extra bytes are new, but pieces of them are often in the old file somewhere: their frame
    // has the (filtered) old file as its prefix.
    std::vector<std::uint8_t> frames[kMatchStreams];
    for (int i = 0; i < kMatchStreams; ++i) {
        bool isExtra = &streams[i] == &extra;
        if (!(r = EncodeZstd(streams[i].data(), streams[i].size(), isExtra ? old : nullptr, isExtra ? oldSize : 0, level,
                             &frames[i]))
                 .ok())
            return r;
    }
    out->clear();
    out->push_back(static_cast<std::uint8_t>(filter));
    for (const auto& frame : frames)
        for (int k = 0; k < 8; ++k)
            out->push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(frame.size()) >> (8 * k)));
    for (const auto& frame : frames)
        out->insert(out->end(), frame.begin(), frame.end());
    return Result::Ok();
}

Result DecodeMatchDelta(const std::string& what, const std::uint8_t* data, std::size_t length,
                        const std::uint8_t* oldData, std::size_t oldSize, std::uint64_t newSize, const ChunkSink& sink,
                        std::vector<std::uint8_t>* ownedOld)
{
    constexpr std::size_t kHead = 1 + 8 * kMatchStreams;
    if (length < kHead)
        return CorruptData(what, "is cut short");
    if (data[0] > static_cast<std::uint8_t>(MatchFilter::kX86Branches))
        return CorruptData(what, "names an unknown filter " + std::to_string(data[0]));
    const auto filter = static_cast<MatchFilter>(data[0]);
    // The old file as the matching saw it.
    std::vector<std::uint8_t> filteredOld;
    const std::uint8_t* old = oldData;
    X86BranchFilter unfilter;
    if (filter == MatchFilter::kX86Branches) {
        if (ownedOld != nullptr && ownedOld->data() == oldData && ownedOld->size() == oldSize) {
            X86BranchFilter::Encode(ownedOld->data(), oldSize);
        } else {
            try {
                filteredOld.assign(oldData, oldData + oldSize);
            } catch (const std::bad_alloc&) {
                return Fail(Status::kOutOfMemory, "out of memory for the old file");
            }
            X86BranchFilter::Encode(filteredOld.data(), oldSize);
            old = filteredOld.data();
        }
    }

    std::uint64_t left = length - kHead;
    const std::uint8_t* p = data + kHead;
    FrameReader readers[kMatchStreams];
    static const char* const kNames[kMatchStreams] = {"control", "positions", "values", "extra"};
    for (int i = 0; i < kMatchStreams; ++i) {
        std::uint64_t n = 0;
        for (int k = 0; k < 8; ++k)
            n |= static_cast<std::uint64_t>(data[1 + 8 * i + k]) << (8 * k);
        if (n > left || (i == kMatchStreams - 1 && n != left))
            return CorruptData(what, "has streams that do not fit it");
        // The extra stream has the (filtered) old file as its prefix.
        bool isExtra = i == kMatchStreams - 1;
        Result r = readers[i].Open(what, kNames[i], p, static_cast<std::size_t>(n), isExtra ? old : nullptr,
                                   isExtra ? oldSize : 0);
        if (!r.ok())
            return r;
        p += n;
        left -= n;
    }
    FrameReader& control = readers[0];
    FrameReader& positions = readers[1];
    FrameReader& values = readers[2];
    FrameReader& extra = readers[3];
    // Each stream is bounded by what the new file can need of it: a record produces at least a
    // byte or is followed by one that does, each record is three numbers of at most 10 bytes,
    // each changed byte a position of at most 10 bytes and a value.
    if (values.declared() > newSize || extra.declared() > newSize || positions.declared() > 10 * values.declared() ||
        control.declared() > 30 * (2 * newSize + 1))
        return CorruptData(what, "has streams larger than the new file can need");

    std::vector<std::uint8_t> chunk(
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, std::max<std::uint64_t>(newSize, 1))));
    std::size_t filled = 0;
    std::uint64_t produced = 0, valuesLeft = values.declared(), gap = 0;
    bool changeAhead = false;
    std::int64_t oldPos = 0;
    Result r;
    auto nextChange = [&]() -> Result {
        changeAhead = valuesLeft > 0;
        return changeAhead ? positions.Number(&gap) : Result::Ok();
    };
    // Hands on the chunk's final bytes; the filter may hold a few back for the next chunk.
    auto flush = [&](bool last) -> Result {
        std::size_t final = filled;
        if (filter == MatchFilter::kX86Branches)
            final = unfilter.DecodeInPlace(chunk.data(), filled, last);
        Result f = final > 0 ? sink(chunk.data(), final) : Result::Ok();
        std::memmove(chunk.data(), chunk.data() + final, filled - final);
        filled -= final;
        return f;
    };
    if (!(r = nextChange()).ok())
        return r;
    bool idle = false;  // the last record produced nothing
    for (std::uint64_t records = 1; produced < newSize; ++records) {
        std::uint64_t add, copy, seekCode;
        if (!(r = control.Number(&add)).ok() || !(r = control.Number(&copy)).ok() ||
            !(r = control.Number(&seekCode)).ok())
            return r;
        if (add > newSize - produced || copy > newSize - produced - add)
            return CorruptData(what, "runs past the new size");
        if (add == 0 && copy == 0) {
            if (idle)
                return CorruptData(what, "has records that produce nothing");
            idle = true;
        } else {
            idle = false;
        }
        // The sink is asked now and then even where records produce little, so that a stop
        // request is seen by the work done.
        if (records % 65536 == 0 && !(r = sink(chunk.data(), 0)).ok())
            return r;
        if (oldPos < 0 || static_cast<std::uint64_t>(oldPos) > oldSize ||
            add > oldSize - static_cast<std::uint64_t>(oldPos))
            return CorruptData(what, "reads outside the old file");
        for (std::uint64_t done = 0; done < add;) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(add - done, chunk.size() - filled));
            std::uint8_t* out = chunk.data() + filled;
            std::memcpy(out, old + oldPos + done, k);
            // The changed bytes in this piece.
            std::size_t at = 0;
            while (changeAhead && gap < k - at) {
                at += static_cast<std::size_t>(gap);
                std::uint8_t v;
                if (!(r = values.Byte(&v)).ok())
                    return r;
                out[at] = static_cast<std::uint8_t>(out[at] + v);
                ++at;
                --valuesLeft;
                if (!(r = nextChange()).ok())
                    return r;
            }
            if (changeAhead)
                gap -= k - at;
            filled += k;
            done += k;
            if (filled == chunk.size() && !(r = flush(false)).ok())
                return r;
        }
        for (std::uint64_t done = 0; done < copy;) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(copy - done, chunk.size() - filled));
            if (!(r = extra.Read(chunk.data() + filled, k)).ok())
                return r;
            filled += k;
            done += k;
            if (filled == chunk.size() && !(r = flush(false)).ok())
                return r;
        }
        produced += add + copy;
        std::int64_t seek = UnZigZag(seekCode);
        std::int64_t moved = oldPos + static_cast<std::int64_t>(add);
        // The old position stays within what a file can be, so that moving it cannot overflow.
        if ((seek > 0 && moved > static_cast<std::int64_t>(kMaxFileSize) - seek) ||
            (seek < 0 && moved < -static_cast<std::int64_t>(kMaxFileSize) - seek))
            return CorruptData(what, "moves outside the old file");
        oldPos = moved + seek;
    }
    if (changeAhead)
        return CorruptData(what, "changes bytes past its matches");
    if (!(r = flush(true)).ok())
        return r;
    for (FrameReader& reader : readers)
        if (!(r = reader.Finish()).ok())
            return r;
    return Result::Ok();
}

}  // namespace qvpatch
