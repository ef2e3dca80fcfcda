// The match delta: approximate matching over a suffix array of the old file, and its decoder.
#include "match_delta.h"

#include "bytes.h"

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

namespace {

// The scan over the new file that turns it into records. The file is walked from the start; at
// each point the longest exact match in the old file is looked up, and taken when it beats, by
// more than a few bytes, simply going on at the offset of the match before (which still agrees in
// most bytes: code that moved, with its addresses changed). Each match taken is then widened both
// ways into an approximate one, as long as at least half its bytes agree: the match before
// forwards, the new one backwards, and where the two widenings overlap the overlap is split where
// it costs least. What lies between them matches nothing and is copied as it is.
class MatchScan {
public:
    MatchScan(const MatchFinder& finder, const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data,
              std::size_t size)
        : finder_(finder),
          old_(old),
          oldSize_(static_cast<std::int64_t>(oldSize)),
          data_(data),
          size_(static_cast<std::int64_t>(size))
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
    // Whether the old file at offset agrees with the new file at newPos.
    bool AgreesAt(std::int64_t newPos, std::int64_t offset) const
    {
        std::int64_t oldPos = newPos + offset;
        return oldPos >= 0 && oldPos < oldSize_ && old_[oldPos] == data_[newPos];
    }

    // Looks for the next exact match worth taking, from the end of the last one on. False when the
    // scan must go on (the match found agrees with the offset before as well, and the file is
    // not at its end).
    bool FindNextMatch()
    {
        // A long match that the current offset does about as well: the positions inside it mostly
        // find the rest of the same match, so half of it is passed over. That bounds the search
        // work per byte where long runs repeat (it would grow with their length).
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
            if ((length_ == agreeing && length_ != 0) || length_ > agreeing + 8)
                break;
            std::int64_t step = length_ >= kLongMatch ? length_ / 2 : 1;
            for (std::int64_t k = 0; k < step && scan_ < size_; ++k, ++scan_)
                agreeing -= AgreesAt(scan_, lastOffset_) ? 1 : 0;
        }
        return !(length_ == agreeing && scan_ != size_);
    }

    // How far the match before reaches forwards: the length where agreeing bytes outnumber the
    // others by the most.
    std::int64_t ExtendForward() const
    {
        std::int64_t forward = 0;
        for (std::int64_t i = 0, agree = 0, best = 0; lastScan_ + i < scan_ && lastPos_ + i < oldSize_;) {
            if (old_[lastPos_ + i] == data_[lastScan_ + i])
                ++agree;
            ++i;
            if (agree * 2 - i > best * 2 - forward) {
                best = agree;
                forward = i;
            }
        }
        return forward;
    }

    // How far the new match reaches backwards, by the same measure.
    std::int64_t ExtendBackward() const
    {
        std::int64_t backward = 0;
        for (std::int64_t i = 1, agree = 0, best = 0; scan_ >= lastScan_ + i && pos_ >= i; ++i) {
            if (old_[pos_ - i] == data_[scan_ - i])
                ++agree;
            if (agree * 2 - i > best * 2 - backward) {
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
            if (data_[lastScan_ + *forward - overlap + i] == old_[lastPos_ + *forward - overlap + i])
                ++score;
            if (data_[scan_ - *backward + i] == old_[pos_ - *backward + i])
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

    const MatchFinder& finder_;
    const std::uint8_t* old_;
    std::int64_t oldSize_;
    const std::uint8_t* data_;
    std::int64_t size_;
    std::int64_t scan_ = 0, length_ = 0, pos_ = 0;              // the match being looked at
    std::int64_t lastScan_ = 0, lastPos_ = 0, lastOffset_ = 0;  // the match before
    std::uint64_t lookups_ = 0;
};

}  // namespace

Result FindMatches(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                   std::vector<MatchRecord>* records, std::uint64_t* searches)
{
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
    MatchScan scan(finder, old, oldSize, data, size);
    scan.Run(records);
    if (searches != nullptr)
        *searches = scan.lookups();
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
    if (size >= 20 && std::memcmp(data,
                                  "\x7f"
                                  "ELF",
                                  4) == 0) {
        unsigned machine = data[5] == 2 ? static_cast<unsigned>(data[18] << 8 | data[19]) : u16(18);
        return machine == 3 || machine == 62;  // EM_386, EM_X86_64
    }
    return false;
}

Result EncodeMatchDelta(const std::uint8_t* oldData, std::size_t oldSize, const std::uint8_t* newData, std::size_t size,
                        MatchFilter filter, int level, std::vector<std::uint8_t>* out)
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
        if (!(r = EncodeZstd(streams[i].data(), streams[i].size(), isExtra ? old : nullptr, isExtra ? oldSize : 0,
                             level, &frames[i]))
                 .ok())
            return r;
    }
    out->clear();
    ByteWriter header;
    header.U8(static_cast<std::uint8_t>(filter));
    for (const auto& frame : frames)
        header.U64(frame.size());
    *out = std::move(header.out);
    for (const auto& frame : frames)
        out->insert(out->end(), frame.begin(), frame.end());
    return Result::Ok();
}

namespace {

// The decoder of one match delta, in three steps: read the header, set up the streams, run the
// records.
class MatchDecoder {
public:
    MatchDecoder(const std::string& what, std::uint64_t newSize, const ChunkSink& sink)
        : what_(what), newSize_(newSize), sink_(sink)
    {
    }

    // The filter and the four frames' lengths; the frames must fill the rest exactly.
    Result ReadHeader(const std::uint8_t* data, std::size_t length)
    {
        ByteReader header(data, length);
        std::uint8_t filter = 0;
        if (!header.U8(&filter))
            return CorruptData(what_, "is cut short");
        if (filter > static_cast<std::uint8_t>(MatchFilter::kX86Branches))
            return CorruptData(what_, "names an unknown filter " + std::to_string(filter));
        filter_ = static_cast<MatchFilter>(filter);
        for (std::uint64_t& n : lengths_)
            if (!header.U64(&n))
                return CorruptData(what_, "is cut short");
        std::uint64_t left = header.left();
        for (int i = 0; i < kMatchStreams; ++i) {
            if (lengths_[i] > left || (i == kMatchStreams - 1 && lengths_[i] != left))
                return CorruptData(what_, "has streams that do not fit it");
            left -= lengths_[i];
        }
        frames_ = data + header.position();
        return Result::Ok();
    }

    // The old file as the matching saw it (filtered, in place when the caller's copy may change),
    // and a reader for each stream, each bounded by what the new file can need of it.
    Result SetUpStreams(const std::uint8_t* oldData, std::size_t oldSize, std::vector<std::uint8_t>* ownedOld)
    {
        old_ = oldData;
        oldSize_ = oldSize;
        if (filter_ == MatchFilter::kX86Branches) {
            if (ownedOld != nullptr && ownedOld->data() == oldData && ownedOld->size() == oldSize) {
                X86BranchFilter::Encode(ownedOld->data(), oldSize);
            } else {
                try {
                    filteredOld_.assign(oldData, oldData + oldSize);
                } catch (const std::bad_alloc&) {
                    return Fail(Status::kOutOfMemory, "out of memory for the old file");
                }
                X86BranchFilter::Encode(filteredOld_.data(), oldSize);
                old_ = filteredOld_.data();
            }
        }
        static const char* const kNames[kMatchStreams] = {"control", "positions", "values", "extra"};
        const std::uint8_t* p = frames_;
        for (int i = 0; i < kMatchStreams; ++i) {
            // The extra stream has the (filtered) old file as its prefix.
            bool isExtra = &streams_[i] == &extra();
            Result r = streams_[i].Open(what_, kNames[i], p, static_cast<std::size_t>(lengths_[i]),
                                        isExtra ? old_ : nullptr, isExtra ? oldSize_ : 0);
            if (!r.ok())
                return r;
            p += lengths_[i];
        }
        // A record produces at least a byte or is followed by one that does; each record is three
        // numbers of at most 10 bytes, each changed byte a position of at most 10 bytes and a value.
        if (values().declared() > newSize_ || extra().declared() > newSize_ ||
            positions().declared() > 10 * values().declared() || control().declared() > 30 * (2 * newSize_ + 1))
            return CorruptData(what_, "has streams larger than the new file can need");
        return Result::Ok();
    }

    // Produces the new file record by record, a chunk at a time, and checks that every stream is
    // used up at the end.
    Result RunRecords()
    {
        chunk_.resize(
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, std::max<std::uint64_t>(newSize_, 1))));
        valuesLeft_ = values().declared();
        Result r = NextChange();
        if (!r.ok())
            return r;
        bool idle = false;  // the last record produced nothing
        std::uint64_t produced = 0;
        std::int64_t oldPos = 0;
        for (std::uint64_t records = 1; produced < newSize_; ++records) {
            std::uint64_t add, copy, seekCode;
            if (!(r = control().Number(&add)).ok() || !(r = control().Number(&copy)).ok() ||
                !(r = control().Number(&seekCode)).ok())
                return r;
            if (add > newSize_ - produced || copy > newSize_ - produced - add)
                return CorruptData(what_, "runs past the new size");
            if (add == 0 && copy == 0) {
                if (idle)
                    return CorruptData(what_, "has records that produce nothing");
                idle = true;
            } else {
                idle = false;
            }
            // The sink is asked now and then even where records produce little, so that a stop
            // request is seen by the work done.
            if (records % 65536 == 0 && !(r = sink_(chunk_.data(), 0)).ok())
                return r;
            if (oldPos < 0 || static_cast<std::uint64_t>(oldPos) > oldSize_ ||
                add > oldSize_ - static_cast<std::uint64_t>(oldPos))
                return CorruptData(what_, "reads outside the old file");
            if (!(r = AddDifference(static_cast<std::size_t>(oldPos), add)).ok() || !(r = CopyExtra(copy)).ok())
                return r;
            produced += add + copy;
            std::int64_t seek = UnZigZag(seekCode);
            std::int64_t moved = oldPos + static_cast<std::int64_t>(add);
            // The old position stays within what a file can be, so that moving it cannot overflow.
            if ((seek > 0 && moved > static_cast<std::int64_t>(kMaxFileSize) - seek) ||
                (seek < 0 && moved < -static_cast<std::int64_t>(kMaxFileSize) - seek))
                return CorruptData(what_, "moves outside the old file");
            oldPos = moved + seek;
        }
        if (changeAhead_)
            return CorruptData(what_, "changes bytes past its matches");
        if (!(r = Flush(true)).ok())
            return r;
        for (FrameReader& stream : streams_)
            if (!(r = stream.Finish()).ok())
                return r;
        return Result::Ok();
    }

private:
    FrameReader& control() { return streams_[0]; }
    FrameReader& positions() { return streams_[1]; }
    FrameReader& values() { return streams_[2]; }
    FrameReader& extra() { return streams_[3]; }

    // The distance to the next changed byte, when there is one.
    Result NextChange()
    {
        changeAhead_ = valuesLeft_ > 0;
        return changeAhead_ ? positions().Number(&gap_) : Result::Ok();
    }

    // add bytes of the old file from oldPos, with the changed ones changed.
    Result AddDifference(std::size_t oldPos, std::uint64_t add)
    {
        for (std::uint64_t done = 0; done < add;) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(add - done, chunk_.size() - filled_));
            std::uint8_t* out = chunk_.data() + filled_;
            std::memcpy(out, old_ + oldPos + done, k);
            std::size_t at = 0;
            while (changeAhead_ && gap_ < k - at) {
                at += static_cast<std::size_t>(gap_);
                std::uint8_t v;
                Result r = values().Byte(&v);
                if (!r.ok())
                    return r;
                out[at] = static_cast<std::uint8_t>(out[at] + v);
                ++at;
                --valuesLeft_;
                if (!(r = NextChange()).ok())
                    return r;
            }
            if (changeAhead_)
                gap_ -= k - at;
            filled_ += k;
            done += k;
            if (filled_ == chunk_.size()) {
                Result r = Flush(false);
                if (!r.ok())
                    return r;
            }
        }
        return Result::Ok();
    }

    // copy bytes of the extra stream.
    Result CopyExtra(std::uint64_t copy)
    {
        for (std::uint64_t done = 0; done < copy;) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(copy - done, chunk_.size() - filled_));
            Result r = extra().Read(chunk_.data() + filled_, k);
            if (!r.ok())
                return r;
            filled_ += k;
            done += k;
            if (filled_ == chunk_.size() && !(r = Flush(false)).ok())
                return r;
        }
        return Result::Ok();
    }

    // Hands on the chunk's final bytes; the filter may hold a few back for the next chunk.
    Result Flush(bool last)
    {
        std::size_t final = filled_;
        if (filter_ == MatchFilter::kX86Branches)
            final = unfilter_.DecodeInPlace(chunk_.data(), filled_, last);
        Result r = final > 0 ? sink_(chunk_.data(), final) : Result::Ok();
        std::memmove(chunk_.data(), chunk_.data() + final, filled_ - final);
        filled_ -= final;
        return r;
    }

    const std::string& what_;
    std::uint64_t newSize_;
    const ChunkSink& sink_;
    MatchFilter filter_ = MatchFilter::kNone;
    std::uint64_t lengths_[kMatchStreams] = {};
    const std::uint8_t* frames_ = nullptr;
    const std::uint8_t* old_ = nullptr;
    std::size_t oldSize_ = 0;
    std::vector<std::uint8_t> filteredOld_;
    FrameReader streams_[kMatchStreams];
    X86BranchFilter unfilter_;
    std::vector<std::uint8_t> chunk_;
    std::size_t filled_ = 0;
    std::uint64_t valuesLeft_ = 0, gap_ = 0;
    bool changeAhead_ = false;
};

}  // namespace

Result DecodeMatchDelta(const std::string& what, const std::uint8_t* data, std::size_t length,
                        const std::uint8_t* oldData, std::size_t oldSize, std::uint64_t newSize, const ChunkSink& sink,
                        std::vector<std::uint8_t>* ownedOld)
{
    MatchDecoder decoder(what, newSize, sink);
    Result r = decoder.ReadHeader(data, length);
    if (r.ok())
        r = decoder.SetUpStreams(oldData, oldSize, ownedOld);
    if (r.ok())
        r = decoder.RunRecords();
    return r;
}

}  // namespace qvpatch
