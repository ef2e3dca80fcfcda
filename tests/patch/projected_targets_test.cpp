// Split match deltas with branch targets moved where the records put them, against a reading of
// the format made byte by byte: hand-made records of every kind, and the encoder's own deltas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "codec.h"
#include "match_delta.h"
#include "reference_support.h"
#include "split_delta_support.h"
#include "threads.h"

namespace qvpatch {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t Operand(const Bytes& d, std::size_t tag)
{
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k)
        v |= static_cast<std::uint32_t>(d[tag + 1 + k]) << (8 * k);
    return v;
}

void SetOperand(Bytes* d, std::size_t tag, std::uint32_t v)
{
    v &= 0x01FFFFFF;
    if (v & 0x01000000)
        v |= 0xFF000000;
    for (int k = 0; k < 4; ++k)
        (*d)[tag + 1 + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

bool Near(const Bytes& d, std::size_t tag) { return d[tag + 4] == 0 || d[tag + 4] == 0xFF; }

struct Rec {
    std::uint64_t add, copy;
    std::int64_t seek;
};

// What a decoder makes of the records, changes and extra bytes, as the format tells it; false
// where it must refuse them. *prefix: the unread old bytes, filtered, for flag 1.
struct Model {
    int filter = 0;
    std::uint8_t flags = 0;
    Bytes old;
    std::vector<Rec> recs;
    std::vector<std::pair<std::uint64_t, std::uint8_t>> changes;  // by place among all add bytes
    Bytes extra;
    std::uint64_t newSize = 0;

    // The old file filtered, targets moved with flag 8; the reads counted.
    bool FilteredOld(Bytes* out, std::uint64_t* readsOut) const
    {
        const bool projected = (flags & 8) != 0;
        struct Read {
            std::uint64_t at, len, newAt, order;
        };
        std::vector<Read> reads;
        std::int64_t pos = 0;
        std::uint64_t produced = 0;
        for (const Rec& r : recs) {
            if (pos >= 0 && static_cast<std::uint64_t>(pos) < old.size()) {
                const std::uint64_t len = std::min<std::uint64_t>(r.add, old.size() - static_cast<std::uint64_t>(pos));
                if (len > 0)
                    reads.push_back({static_cast<std::uint64_t>(pos), len, produced, reads.size()});
            }
            produced += r.add + r.copy;
            pos += static_cast<std::int64_t>(r.add) + r.seek;
        }
        *readsOut = reads.size();
        std::stable_sort(reads.begin(), reads.end(), [](const Read& a, const Read& b) { return a.at < b.at; });
        auto shift = [&](std::int64_t t) -> std::int64_t {
            if (!projected || t < 0 || static_cast<std::uint64_t>(t) >= old.size())
                return 0;
            for (const Read& r : reads)
                if (r.at <= static_cast<std::uint64_t>(t) && static_cast<std::uint64_t>(t) < r.at + r.len)
                    return static_cast<std::int64_t>(r.newAt) - static_cast<std::int64_t>(r.at);
            return 0;
        };
        *out = old;
        if (filter == 0)
            return true;
        for (std::size_t p : ReferencesByteByByte(old, filter == 3)) {
            if (!Near(old, p))
                continue;
            const std::int64_t t = static_cast<std::int64_t>(p) + 5 + static_cast<std::int32_t>(Operand(old, p));
            SetOperand(out, p, static_cast<std::uint32_t>(t + shift(t)));
        }
        return true;
    }

    Bytes Unread(const Bytes& filtered) const
    {
        std::vector<bool> read(old.size());
        std::int64_t pos = 0;
        for (const Rec& r : recs) {
            for (std::uint64_t i = 0; i < r.add && pos >= 0 && static_cast<std::uint64_t>(pos) + i < old.size(); ++i)
                read[static_cast<std::size_t>(pos) + i] = true;
            pos += static_cast<std::int64_t>(r.add) + r.seek;
        }
        Bytes out;
        for (std::size_t i = 0; i < old.size(); ++i)
            if (!read[i])
                out.push_back(filtered[i]);
        return out;
    }

    // The new file, or false where the records are not valid.
    bool Decode(Bytes* result) const
    {
        const bool readsOutput = (flags & 4) != 0;
        Bytes filtered;
        std::uint64_t reads = 0;
        FilteredOld(&filtered, &reads);
        if ((flags & 8) && reads > old.size() / 256 + 65536)
            return false;
        Bytes out;
        std::int64_t pos = 0;
        std::size_t e = 0, c = 0;
        std::uint64_t addAt = 0;
        for (const Rec& r : recs) {
            if (out.size() + r.add + r.copy > newSize)
                return false;
            const std::uint64_t limit = readsOutput ? old.size() + out.size() : old.size();
            if (pos < 0 || static_cast<std::uint64_t>(pos) > limit)
                return false;
            if (r.add > 0 && (readsOutput ? static_cast<std::uint64_t>(pos) == limit
                                          : r.add > limit - static_cast<std::uint64_t>(pos)))
                return false;
            for (std::uint64_t i = 0; i < r.add; ++i) {
                const std::uint64_t q = static_cast<std::uint64_t>(pos) + i;
                std::uint8_t b = q < old.size() ? filtered[q] : out[q - old.size()];
                if (c < changes.size() && changes[c].first == addAt) {
                    b = static_cast<std::uint8_t>(b + changes[c].second);
                    ++c;
                }
                ++addAt;
                out.push_back(b);
            }
            for (std::uint64_t i = 0; i < r.copy; ++i)
                out.push_back(extra[e++]);
            pos += static_cast<std::int64_t>(r.add) + r.seek;
        }
        if (out.size() != newSize || e != extra.size() || c != changes.size())
            return false;
        if (filter != 0)
            for (std::size_t p : ReferencesByteByByte(out, filter == 3))
                if (Near(out, p))
                    SetOperand(&out, p, Operand(out, p) - static_cast<std::uint32_t>(p + 5));
        *result = out;
        return true;
    }

    void PutNumber(Bytes* s, std::uint64_t v) const
    {
        while (v >= 0x80) {
            s->push_back(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        s->push_back(static_cast<std::uint8_t>(v));
    }

    Bytes Delta() const
    {
        Bytes adds, copies, seeks, positions, values;
        for (const Rec& r : recs) {
            PutNumber(&adds, r.add);
            PutNumber(&copies, r.copy);
            PutNumber(&seeks, (static_cast<std::uint64_t>(r.seek) << 1) ^ static_cast<std::uint64_t>(r.seek >> 63));
        }
        std::uint64_t last = 0;
        for (const auto& [at, v] : changes) {
            PutNumber(&positions, at - last);
            last = at + 1;
            if (flags & 2)
                positions.push_back(v);
            else
                values.push_back(v);
        }
        Bytes prefix;
        if (flags & 1) {
            Bytes filtered;
            std::uint64_t reads;
            FilteredOld(&filtered, &reads);
            prefix = Unread(filtered);
        }
        return HandMadeSplitDelta(static_cast<std::uint8_t>(filter), flags,
                                  {adds, copies, seeks, positions, values, extra}, prefix);
    }
};

// Decodes delta against old, whole or read in pieces of at most piece bytes (0: whole, given).
Result DecodeIt(const Bytes& delta, const Bytes& old, std::uint64_t newSize, Bytes* out, std::size_t piece,
                std::mt19937* rng)
{
    out->clear();
    auto sink = [out](const std::uint8_t* p, std::size_t n) {
        out->insert(out->end(), p, p + n);
        return Result::Ok();
    };
    DataSource source(delta.data(), delta.size());
    if (piece == 0)
        return DecodeSplitMatchDelta("f", source, old.data(), old.size(), newSize, sink, nullptr);
    Bytes buffer;
    const OldLoad load{[&](OldBytes* bytes, const OldLoad::Progress& progress) {
                           buffer.clear();
                           buffer.reserve(old.size());
                           while (buffer.size() < old.size()) {
                               const std::size_t n = std::min(old.size() - buffer.size(), 1 + (*rng)() % piece);
                               buffer.insert(buffer.end(), old.begin() + static_cast<std::ptrdiff_t>(buffer.size()),
                                             old.begin() + static_cast<std::ptrdiff_t>(buffer.size() + n));
                               progress(buffer.data(), buffer.size());
                           }
                           *bytes = OldBytes{buffer.data(), buffer.size()};
                           return Result::Ok();
                       },
                       nullptr,
                       [out](std::uint64_t at, std::uint8_t* p, std::size_t n) {
                           if (at + n > out->size())
                               return Fail(Status::kPatchCorrupt, "read back past what was handed on");
                           std::memcpy(p, out->data() + at, n);
                           return Result::Ok();
                       },
                       nullptr, nullptr};
    return DecodeSplitMatchDelta("f", source, nullptr, old.size(), newSize, sink, &load);
}

// Random records over old: each read anywhere it may be (also at and across the old file's end,
// and in the new file made so far with flag 4), changed bytes and extra bytes some of which come
// from the old file.
Model RandomModel(std::mt19937& rng, const Bytes& old, int filter, std::uint8_t flags, int count, std::uint64_t most)
{
    Model m;
    m.filter = filter;
    m.flags = flags;
    m.old = old;
    const bool readsOutput = (flags & 4) != 0;
    std::uint64_t produced = 0, addTotal = 0;
    std::int64_t pos = 0;
    for (int k = 0; k < count; ++k) {
        Rec r{};
        const std::uint64_t limit = readsOutput ? old.size() + produced : old.size();
        // Where this record reads: pos, set by the seek before.
        if (readsOutput)
            r.add = pos < static_cast<std::int64_t>(limit) ? 1 + rng() % most : 0;
        else
            r.add = static_cast<std::uint64_t>(pos) < old.size()
                        ? std::min<std::uint64_t>(old.size() - static_cast<std::uint64_t>(pos), rng() % most)
                        : 0;
        r.copy = rng() % 3 == 0 ? rng() % 20 : 0;
        if (r.add == 0 && r.copy == 0)
            r.copy = 1;
        produced += r.add + r.copy;
        addTotal += r.add;
        // The next record's place.
        const std::uint64_t nextLimit = readsOutput ? old.size() + produced : old.size();
        std::uint64_t next;
        switch (rng() % 6) {
        case 0: next = 0; break;
        case 1: next = nextLimit > 0 ? nextLimit - 1 - rng() % std::min<std::uint64_t>(nextLimit, 8) : 0; break;
        case 2: next = old.size() > 0 ? old.size() - 1 - rng() % std::min<std::uint64_t>(old.size(), 8) : 0; break;
        default: next = nextLimit > 0 ? rng() % nextLimit : 0; break;
        }
        r.seek = static_cast<std::int64_t>(next) - (pos + static_cast<std::int64_t>(r.add));
        pos = static_cast<std::int64_t>(next);
        m.recs.push_back(r);
    }
    m.newSize = produced;
    for (std::uint64_t i = 0; i < addTotal; ++i)
        if (rng() % 16 == 0)
            m.changes.push_back({i, static_cast<std::uint8_t>(rng())});
    std::uint64_t copied = 0;
    for (const Rec& r : m.recs)
        copied += r.copy;
    for (std::uint64_t i = 0; i < copied;) {
        // Pieces of the old file, which the prefix may give.
        if (!old.empty() && rng() % 2 == 0) {
            const std::size_t at = rng() % old.size();
            for (std::size_t k = at; k < old.size() && k < at + 12 && i < copied; ++k, ++i)
                m.extra.push_back(old[k]);
        } else {
            m.extra.push_back(static_cast<std::uint8_t>(rng()));
            ++i;
        }
    }
    return m;
}

TEST(ProjectedTargets, HandMadeRecordsDecodeAsTheFormatTellsThem)
{
    std::mt19937 rng(91);
    int decoded = 0;
    for (int round = 0; round < 1500; ++round) {
        const std::size_t oldSize = round % 50 == 0 ? 0 : round % 3 == 0 ? rng() % 40 : rng() % 3000;
        Bytes old = DenseReferences(oldSize, &rng);
        const int filter = std::array{0, 1, 3}[rng() % 3];
        std::uint8_t flags = static_cast<std::uint8_t>(rng() % 16);
        if (filter == 0)
            flags &= ~8;
        const Model m = RandomModel(rng, old, filter, flags, 1 + static_cast<int>(rng() % 40), 1 + rng() % 200);
        SCOPED_TRACE(::testing::Message() << "round " << round << ", filter " << filter << ", flags " << int(flags));
        Bytes expected, out;
        ASSERT_TRUE(m.Decode(&expected));
        const Bytes delta = m.Delta();
        for (std::size_t piece : {std::size_t{0}, std::size_t{7}}) {
            Result r = DecodeIt(delta, old, m.newSize, &out, piece, &rng);
            ASSERT_TRUE(r.ok()) << r.message;
            ASSERT_TRUE(out == expected);
        }
        ++decoded;
    }
    EXPECT_EQ(decoded, 1500);
}

// Large old and new files: the old file scanned in two halves, the unread bytes gathered in two,
// the transform undone beside, and the new file read back from a ring.
TEST(ProjectedTargets, LargeHandMadeRecordsDecodeAsTheFormatTellsThem)
{
    std::mt19937 rng(92);
    for (int round = 0; round < 24; ++round) {
        const std::size_t oldSize = (round % 2 ? (1 << 20) + 3 : (5 << 20) + 1) + rng() % 1000;
        Bytes old = DenseReferences(oldSize, &rng);
        const int filter = round % 4 < 2 ? 3 : 1;
        const std::uint8_t flags =
            static_cast<std::uint8_t>(8 | (round / 2 % 2) | (round % 3 == 0 ? 4 : 0) | (round / 4 % 2 ? 2 : 0));
        const Model m = RandomModel(rng, old, filter, flags, 200, 60000);
        SCOPED_TRACE(::testing::Message() << "round " << round << ", flags " << int(flags));
        Bytes expected, out;
        ASSERT_TRUE(m.Decode(&expected));
        const Bytes delta = m.Delta();
        for (std::size_t piece : {std::size_t{0}, std::size_t{300000}}) {
            Result r = DecodeIt(delta, old, m.newSize, &out, piece, &rng);
            ASSERT_TRUE(r.ok()) << r.message;
            ASSERT_TRUE(out == expected);
        }
    }
}

// A new version of old: pieces moved, cut and inserted, and scattered bytes changed.
Bytes Edited(const Bytes& old, std::mt19937* rng)
{
    Bytes out;
    const int pieces = 1 + static_cast<int>((*rng)() % 30);
    for (int k = 0; k < pieces; ++k) {
        if (old.empty() || (*rng)() % 5 == 0) {
            const Bytes fresh = DenseReferences((*rng)() % 300, rng);
            out.insert(out.end(), fresh.begin(), fresh.end());
            continue;
        }
        const std::size_t at = (*rng)() % old.size();
        const std::size_t n = std::min<std::size_t>(old.size() - at, (*rng)() % (old.size() / 4 + 50));
        out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(at),
                   old.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    for (std::size_t i = 0; !out.empty() && i < out.size() / 200; ++i)
        out[(*rng)() % out.size()] ^= static_cast<std::uint8_t>((*rng)() | 1);
    return out;
}

TEST(ProjectedTargets, EncodedDeltasRoundTripWithEveryFilter)
{
    std::mt19937 rng(93);
    const MatchFilter filters[] = {MatchFilter::kNone, MatchFilter::kX86Branches, MatchFilter::kX64References};
    int projected = 0;
    for (int round = 0; round < 160; ++round) {
        std::size_t oldSize = rng() % (round % 4 == 0 ? 200 : 60000);
        if (round % 40 == 39)
            oldSize = (1 << 20) + rng() % 100;
        const Bytes old = DenseReferences(oldSize, &rng), data = Edited(old, &rng);
        for (MatchFilter filter : filters)
            for (bool readsOutput : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "round " << round << ", filter " << int(filter)
                                                  << (readsOutput ? ", reading the new file" : ""));
                Bytes delta, out;
                ASSERT_TRUE(EncodeSplitMatchDelta(old.data(), old.size(), data.data(), data.size(), filter, 3, &delta,
                                                  2, readsOutput)
                                .ok());
                projected += (delta[1] & kSplitProjected) != 0;
                for (std::size_t piece : {std::size_t{0}, std::size_t{1 + rng() % 5000}}) {
                    Result r = DecodeIt(delta, old, data.size(), &out, piece, &rng);
                    ASSERT_TRUE(r.ok()) << r.message;
                    ASSERT_TRUE(out == data);
                }
            }
    }
    EXPECT_GT(projected, 100);
}

// Damaged and made-up deltas: refused as corrupt, or decoded to exactly the new size.
TEST(ProjectedTargets, HostileDeltasAreRefusedOrDecodeToTheirSize)
{
    std::mt19937 rng(94);
    auto number = [&rng]() -> std::uint64_t {
        switch (rng() % 8) {
        case 0: return ~std::uint64_t{0} >> (rng() % 64);
        case 1: return rng() % 3;
        default: return rng() % 600;
        }
    };
    auto put = [](Bytes* s, std::uint64_t v) {
        while (v >= 0x80) {
            s->push_back(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        s->push_back(static_cast<std::uint8_t>(v));
    };
    int ok = 0;
    for (int round = 0; round < 3000; ++round) {
        const Bytes old = DenseReferences(rng() % 2000, &rng);
        Bytes delta;
        std::uint64_t newSize = rng() % 3000;
        if (round % 2 == 0) {
            Bytes data = Edited(old, &rng);
            newSize = data.size();
            ASSERT_TRUE(EncodeSplitMatchDelta(old.data(), old.size(), data.data(), data.size(),
                                              rng() % 2 ? MatchFilter::kX64References : MatchFilter::kX86Branches, 1,
                                              &delta, 1, rng() % 2 == 0)
                            .ok());
            for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k)
                delta[rng() % delta.size()] ^= static_cast<std::uint8_t>(1 << (rng() % 8));
        } else {
            Bytes streams[6];
            for (int k = static_cast<int>(rng() % 30); k > 0; --k) {
                put(&streams[0], number());
                put(&streams[1], number());
                put(&streams[2], number());
            }
            for (int k = static_cast<int>(rng() % 30); k > 0; --k) {
                put(&streams[3], number());
                streams[4].push_back(static_cast<std::uint8_t>(rng()));
            }
            streams[5] = DenseReferences(rng() % 300, &rng);
            delta = HandMadeSplitDelta(static_cast<std::uint8_t>(rng() % 5), static_cast<std::uint8_t>(rng() % 17),
                                       {streams[0], streams[1], streams[2], streams[3], streams[4], streams[5]});
        }
        for (std::size_t piece : {std::size_t{0}, std::size_t{5}}) {
            Bytes out;
            Result r = DecodeIt(delta, old, newSize, &out, piece, &rng);
            if (r.ok()) {
                EXPECT_EQ(out.size(), newSize);
                ++ok;
            } else {
                EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
            }
        }
    }
    EXPECT_GT(ok, 0);
}

// An old file past 32 MiB, whose operands hold their targets modulo 2^25: targets at its ends,
// past them, across multiples of 2^25 and at the farthest displacements a near operand has.
Bytes SparseProgram(std::size_t size, std::mt19937* rng)
{
    Bytes old(size, 0x90);
    for (int k = 0; k < 3000; ++k) {
        const std::size_t p = 3 + (*rng)() % (size - 10);
        std::size_t tag = p;
        switch ((*rng)() % 3) {
        case 0: old[p] = 0xE8; break;
        case 1: old[p - 2] = 0x48, old[p - 1] = 0x8B, old[p] = 0x05, tag = p; break;
        default: old[p - 2] = 0x0F, old[p - 1] = 0x10, old[p] = 0x0D; break;
        }
        std::int64_t target;
        switch ((*rng)() % 6) {
        case 0: target = static_cast<std::int64_t>((*rng)() % 8); break;
        case 1: target = static_cast<std::int64_t>(size) - 1 - static_cast<std::int64_t>((*rng)() % 8); break;
        case 2: target = static_cast<std::int64_t>(size) + static_cast<std::int64_t>((*rng)() % 8); break;
        case 3: target = (std::int64_t{1} << 25) + static_cast<std::int64_t>((*rng)() % 16) - 8; break;
        case 4:
            target = static_cast<std::int64_t>(tag) + 5 + ((*rng)() % 2 ? (1 << 24) - 1 : -(1 << 24)) +
                     static_cast<std::int64_t>((*rng)() % 3) - 1;
            break;
        default: target = static_cast<std::int64_t>((*rng)() % size); break;
        }
        const auto d = static_cast<std::uint32_t>(target - static_cast<std::int64_t>(tag + 5));
        for (int b = 0; b < 4; ++b)
            old[tag + 1 + b] = static_cast<std::uint8_t>(d >> (8 * b));
    }
    return old;
}

TEST(ProjectedTargets, TargetsOfAFilePast32MiBMoveModulo2To25)
{
    std::mt19937 rng(95);
    const Bytes old = SparseProgram((34 << 20) + 17, &rng);
    for (int round = 0; round < 4; ++round) {
        const int filter = round % 2 ? 1 : 3;
        const std::uint8_t flags = static_cast<std::uint8_t>(8 | (round < 2 ? 1 : 4));
        const Model m = RandomModel(rng, old, filter, flags, 40, round < 2 ? 3 << 20 : 1 << 20);
        SCOPED_TRACE(::testing::Message() << "round " << round);
        Bytes expected, out;
        ASSERT_TRUE(m.Decode(&expected));
        const Bytes delta = m.Delta();
        Result r = DecodeIt(delta, old, m.newSize, &out, 0, &rng);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(out == expected);
    }
    // The encoder's, with code moved across the 2^25 mark.
    Bytes data(old.begin() + (8 << 20), old.end());
    data.insert(data.end(), old.begin(), old.begin() + (8 << 20));
    data.insert(data.begin() + (20 << 20), 5000, 0x33);
    for (MatchFilter filter : {MatchFilter::kX86Branches, MatchFilter::kX64References}) {
        Bytes delta, out;
        ASSERT_TRUE(EncodeSplitMatchDelta(old.data(), old.size(), data.data(), data.size(), filter, 1, &delta, 1).ok());
        EXPECT_NE(delta[1] & kSplitProjected, 0);
        Result r = DecodeIt(delta, old, data.size(), &out, 0, &rng);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(out == data);
    }
}

// Two halves scanned apart agree with one scan however the bytes around the middle lie.
TEST(ProjectedTargets, AFileScannedInHalvesIsMarkedAsOneScanMarksItAroundAnyMiddle)
{
    std::mt19937 rng(96);
    Beside beside;
    for (int round = 0; round < 120; ++round) {
        const std::size_t size = (1 << 20) + rng() % 20000;
        const std::size_t mid = size / 2 / 64 * 64;
        Bytes data(size, 0x90);
        const std::size_t span = 1 + rng() % 9000;
        const Bytes dense = DenseReferences(2 * span, &rng);
        std::copy(dense.begin(), dense.end(), data.begin() + static_cast<std::ptrdiff_t>(mid - span));
        if (round % 4 == 0)  // a run of one opcode across the middle, every operand near
            for (std::size_t i = mid - span; i < mid + span; ++i)
                data[i] = (i - (mid - span)) % 5 == 4 ? 0 : 0xE8;
        for (bool wide : {false, true}) {
            FilterMarks whole(size, wide), halves(size, wide);
            whole.Scan(data.data(), size);
            halves.ScanWhole(data.data(), size, &beside);
            Bytes a = data, b = data;
            whole.Apply(data.data(), 0, a.data(), size);
            halves.Apply(data.data(), 0, b.data(), size);
            ASSERT_TRUE(a == b) << "round " << round << (wide ? ", filter 3" : ", filter 1");
            Bytes encoded = data;
            X86BranchFilter::Encode(encoded.data(), size, wide);
            ASSERT_TRUE(a == encoded) << "round " << round;
        }
    }
}

// More reads of the old file than a map takes: the encoder leaves the targets where they are.
TEST(ProjectedTargets, RecordsReadingTheOldFileMoreThanAMapTakesAreNotProjected)
{
    std::mt19937 rng(97);
    const Bytes old = DenseReferences(16384, &rng);
    Bytes data;
    while (data.size() < (4 << 20)) {
        const std::size_t at = rng() % (old.size() - 64);
        data.insert(data.end(), old.begin() + static_cast<std::ptrdiff_t>(at),
                    old.begin() + static_cast<std::ptrdiff_t>(at + 24 + rng() % 16));
        data.push_back(static_cast<std::uint8_t>(rng()));
    }
    for (MatchFilter filter : {MatchFilter::kX86Branches, MatchFilter::kX64References}) {
        Bytes delta, out;
        ASSERT_TRUE(EncodeSplitMatchDelta(old.data(), old.size(), data.data(), data.size(), filter, 1, &delta, 1).ok());
        Result r = DecodeIt(delta, old, data.size(), &out, 0, &rng);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(out == data);
        EXPECT_EQ(delta[1] & kSplitProjected, 0);
    }
}

}  // namespace
}  // namespace qvpatch
