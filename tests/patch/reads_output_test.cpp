// The split match delta's records that read the new file made so far: hand-made and random records
// checked against a plain reading of their rules, round trips of the encoder over awkward inputs,
// and the memory a small delta can make the decoder take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>

#include "codec.h"
#include "match_delta.h"
#include "split_delta_support.h"

namespace qvpatch {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes* out, std::uint64_t v)
{
    for (; v >= 0x80; v >>= 7)
        out->push_back(static_cast<std::uint8_t>(v | 0x80));
    out->push_back(static_cast<std::uint8_t>(v));
}

std::uint64_t Zig(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }

// A split delta made by hand: filter, flags, the six frames (the extra one with its prefix).
Bytes SplitDelta(std::uint8_t filter, std::uint8_t flags, const std::vector<Bytes>& streams, const Bytes& prefix = {})
{
    return HandMadeSplitDelta(filter, flags, streams, prefix);
}

Result Decode(const Bytes& delta, const Bytes& old, std::uint64_t newSize, Bytes* out)
{
    out->clear();
    return DecodeSplitMatchDelta("f", DataSource(delta.data(), delta.size()), old.data(), old.size(), newSize,
                                 [&](const std::uint8_t* p, std::size_t n) {
                                     out->insert(out->end(), p, p + n);
                                     return Result::Ok();
                                 });
}

struct Record {
    std::uint64_t add, copy;
    std::int64_t seek;
};

// Records with no changed bytes, their copies from extra.
Bytes Records(std::uint8_t flags, const std::vector<Record>& records, const Bytes& extra = {}, const Bytes& prefix = {})
{
    Bytes adds, copies, seeks;
    for (const Record& r : records) {
        Put(&adds, r.add);
        Put(&copies, r.copy);
        Put(&seeks, Zig(r.seek));
    }
    return SplitDelta(0, flags, {adds, copies, seeks, {}, {}, extra}, prefix);
}

Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }

TEST(ReadsOutput, RecordsAtTheEdgesOfWhatIsMade)
{
    const Bytes old = Text("abcdefgh");
    const std::uint8_t reads = kSplitReadsOutput;
    struct Good {
        const char* what;
        Bytes delta;
        const char* made;
    };
    const Good good[] = {
        {"the new file's first byte, read as soon as it is made, over and over (a period of one)",
         Records(reads, {{1, 0, 7}, {9, 0, 0}}), "aaaaaaaaaa"},
        {"a record that starts in the old file and runs on into the new one", Records(reads, {{0, 0, 6}, {5, 0, 0}}),
         "ghghg"},
        {"old file, then the new file from its start, the read running into what it makes",
         Records(reads, {{8, 0, -2}, {10, 0, 0}}), "abcdefghghabcdefgh"},
        {"the last byte made, read by the next record", Records(reads, {{4, 0, 7}, {3, 0, 0}}), "abcdddd"},
        {"a position at the end of what is made, where the record only copies, then reads there",
         Records(reads, {{0, 2, 10}, {0, 1, 0}, {2, 0, 0}}, Text("xyz")), "xyzzz"},
        {"nothing to make", Records(reads, {}), ""},
    };
    for (const Good& g : good) {
        Bytes decoded;
        Result r = Decode(g.delta, old, std::strlen(g.made), &decoded);
        ASSERT_TRUE(r.ok()) << g.what << ": " << r.message;
        EXPECT_EQ(std::string(decoded.begin(), decoded.end()), g.made) << g.what;
    }

    struct Bad {
        const char* what;
        Bytes delta;
        std::uint64_t newSize;
    };
    const std::int64_t far = std::int64_t{1} << 40;
    const Bad bad[] = {
        {"the first byte of the new file, before it is made", Records(reads, {{0, 0, 8}, {1, 0, 0}}), 1},
        {"the byte being made, read by the record making it", Records(reads, {{4, 0, 8}, {1, 0, 0}}), 5},
        {"one past what is made", Records(reads, {{4, 0, 9}, {1, 0, 0}}), 5},
        {"a position past what is made, even where the record reads nothing",
         Records(reads, {{4, 0, 9}, {0, 1, 0}}, Text("x")), 5},
        {"before the old file", Records(reads, {{4, 0, -5}, {1, 0, 0}}), 5},
        {"far past anything", Records(reads, {{4, 0, far}, {1, 0, 0}}), 5},
        {"further than any file", Records(reads, {{4, 0, INT64_MAX / 2}, {1, 0, 0}}), 5},
        {"further back than any file", Records(reads, {{4, 0, INT64_MIN / 2}, {1, 0, 0}}), 5},
        {"an empty new file with a record", Records(reads, {{1, 0, 0}}), 0},
        {"more made than the new size", Records(reads, {{4, 0, 4}, {5, 0, 0}}), 8},
        {"records that stop short of a large declared new size", Records(reads, {{4, 0, 4}, {4, 0, 0}}),
         std::uint64_t{1} << 40},
        {"the same positions without the flag", Records(0, {{4, 0, 4}, {4, 0, 0}}), 8},
    };
    for (const Bad& b : bad) {
        for (std::uint8_t prefixed : {0, 1}) {
            Bytes decoded, delta = b.delta;
            delta[1] |= prefixed ? kSplitUnreadPrefix : 0;
            Result r = Decode(delta, old, b.newSize, &decoded);
            EXPECT_EQ(r.status, Status::kPatchCorrupt) << b.what << (prefixed ? " (with the unread prefix)" : "");
        }
    }
}

// The unread old bytes of flag 1 are those of the old file that no record reads; the bytes a record
// reads in the new file count for nothing.
TEST(ReadsOutput, TheUnreadPrefixCountsOnlyTheOldFile)
{
    const Bytes old = Text("abcdefgh");
    const std::uint8_t flags = kSplitReadsOutput | kSplitUnreadPrefix;
    Bytes decoded;
    // gh, then gh again and g (from the new file), then one byte from extra, whose prefix is abcdef.
    Result r = Decode(Records(flags, {{0, 0, 6}, {5, 1, 0}}, Text("c"), Text("abcdef")), old, 6, &decoded);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "ghghgc");
    // abcd, then abcd from the new file: efgh unread.
    r = Decode(Records(flags, {{4, 0, 4}, {4, 1, 0}}, Text("f"), Text("efgh")), old, 9, &decoded);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "abcdabcdf");
}

// A plain reading of the split form's rules, a byte at a time: the bytes the records make, or
// nothing where a reader must refuse them. Filter none; changes interleaved or not.
struct Model {
    Bytes old;
    std::uint64_t newSize = 0;
    std::uint8_t flags = 0;
    std::vector<Record> records;
    std::vector<std::pair<std::uint64_t, std::uint8_t>> changes;  // gap before each, value
    Bytes extra;

    std::optional<Bytes> Run() const
    {
        const bool reads = (flags & kSplitReadsOutput) != 0;
        Bytes out;
        std::int64_t pos = 0;
        bool idle = false;
        std::size_t next = 0, change = 0, extraAt = 0;
        std::uint64_t gap = changes.empty() ? 0 : changes[0].first;
        while (out.size() < newSize) {
            if (next == records.size())
                return std::nullopt;
            const Record& r = records[next++];
            const std::uint64_t left = newSize - out.size();
            if (r.add > left || r.copy > left - r.add)
                return std::nullopt;
            if (r.add == 0 && r.copy == 0) {
                if (idle)
                    return std::nullopt;
                idle = true;
            } else {
                idle = false;
            }
            const std::uint64_t limit = old.size() + (reads ? out.size() : 0);
            if (pos < 0 || static_cast<std::uint64_t>(pos) > limit)
                return std::nullopt;
            if (r.add > 0 &&
                (reads ? static_cast<std::uint64_t>(pos) == limit : r.add > limit - static_cast<std::uint64_t>(pos)))
                return std::nullopt;
            for (std::uint64_t i = 0; i < r.add; ++i) {
                const std::uint64_t at = static_cast<std::uint64_t>(pos) + i;
                std::uint8_t b = at < old.size() ? old[at] : out[at - old.size()];
                if (change < changes.size()) {
                    if (gap == 0) {
                        b = static_cast<std::uint8_t>(b + changes[change].second);
                        if (++change < changes.size())
                            gap = changes[change].first;
                    } else {
                        --gap;
                    }
                }
                out.push_back(b);
            }
            for (std::uint64_t i = 0; i < r.copy; ++i) {
                if (extraAt == extra.size())
                    return std::nullopt;
                out.push_back(extra[extraAt++]);
            }
            const std::int64_t moved = pos + static_cast<std::int64_t>(r.add);
            pos = moved + r.seek;
        }
        if (next != records.size() || change != changes.size() || extraAt != extra.size())
            return std::nullopt;
        return out;
    }

    // The old bytes no record reads, as the extra frame's prefix wants them (only where Run has bytes).
    Bytes Unread() const
    {
        std::vector<bool> read(old.size(), false);
        std::int64_t pos = 0;
        for (const Record& r : records) {
            for (std::uint64_t i = 0; i < r.add; ++i)
                if (static_cast<std::uint64_t>(pos) + i < old.size())
                    read[static_cast<std::size_t>(pos) + i] = true;
            pos += static_cast<std::int64_t>(r.add) + r.seek;
        }
        Bytes unread;
        for (std::size_t i = 0; i < old.size(); ++i)
            if (!read[i])
                unread.push_back(old[i]);
        return unread;
    }

    Bytes Delta(const Bytes& prefix) const
    {
        Bytes adds, copies, seeks, positions, values;
        for (const Record& r : records) {
            Put(&adds, r.add);
            Put(&copies, r.copy);
            Put(&seeks, Zig(r.seek));
        }
        for (const auto& [g, v] : changes) {
            Put(&positions, g);
            if (flags & kSplitJointChanges)
                positions.push_back(v);
            else
                values.push_back(v);
        }
        return SplitDelta(0, flags, {adds, copies, seeks, positions, values, extra}, prefix);
    }
};

// Records mostly within the rules, each now and then just outside one of them.
Model RandomModel(std::mt19937& rng)
{
    Model m;
    auto pick = [&](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
    m.old.resize(pick(13));
    for (auto& b : m.old)
        b = static_cast<std::uint8_t>('a' + pick(4));
    m.newSize = pick(41);
    const std::uint8_t kinds[] = {kSplitReadsOutput,
                                  kSplitReadsOutput | kSplitUnreadPrefix,
                                  kSplitReadsOutput | kSplitJointChanges,
                                  kSplitReadsOutput | 7,
                                  0,
                                  kSplitUnreadPrefix};
    m.flags = kinds[pick(std::size(kinds))];
    const bool reads = (m.flags & kSplitReadsOutput) != 0;
    std::uint64_t made = 0, adds = 0;
    std::int64_t pos = 0;
    while (made < m.newSize || pick(20) == 0) {
        if (pick(60) == 0)
            break;  // cut short
        Record r{};
        const std::uint64_t left = m.newSize - std::min(made, m.newSize);
        const std::uint64_t limit = m.old.size() + (reads ? made : 0);
        if (pos >= 0 && static_cast<std::uint64_t>(pos) < limit && left > 0)
            r.add = 1 + pick(reads ? left : std::min<std::uint64_t>(left, limit - static_cast<std::uint64_t>(pos)));
        if (pick(30) == 0)
            r.add += 1 + pick(3);
        r.copy = pick(std::min<std::uint64_t>(left - std::min(left, r.add), 6) + 1);
        if (r.add == 0 && r.copy == 0 && left > 0)
            r.copy = 1;
        made += r.add + r.copy;
        adds += r.add;
        const std::uint64_t nextLimit = m.old.size() + (reads ? made : 0);
        // The next record's start: anywhere allowed, its edges, or just past them.
        std::int64_t to;
        switch (pick(8)) {
        case 0: to = static_cast<std::int64_t>(nextLimit); break;
        case 1: to = static_cast<std::int64_t>(nextLimit) + 1; break;
        case 2: to = -1; break;
        case 3: to = static_cast<std::int64_t>(m.old.size()); break;
        default: to = static_cast<std::int64_t>(pick(nextLimit + 1));
        }
        r.seek = to - (pos + static_cast<std::int64_t>(r.add));
        pos = to;
        m.records.push_back(r);
        for (std::uint64_t i = 0; i < r.copy; ++i)
            m.extra.push_back(static_cast<std::uint8_t>('A' + pick(26)));
    }
    for (std::uint64_t at = 0, gap = 0; at < adds + (pick(20) == 0 ? 2 : 0); ++at, ++gap)
        if (pick(5) == 0) {
            m.changes.push_back({gap, static_cast<std::uint8_t>(1 + pick(255))});
            gap = ~std::uint64_t{0};
        }
    if (pick(40) == 0)
        m.extra.push_back('!');
    return m;
}

TEST(ReadsOutput, RandomRecordsDecodeAsTheRulesSayOrAreRefused)
{
    std::mt19937 rng(20261209);
    int made = 0, refused = 0;
    for (int round = 0; round < 6000; ++round) {
        const Model m = RandomModel(rng);
        const std::optional<Bytes> expected = m.Run();
        const Bytes prefix = (m.flags & kSplitUnreadPrefix) ? m.Unread() : Bytes{};
        Bytes decoded;
        Result r = Decode(m.Delta(prefix), m.old, m.newSize, &decoded);
        if (expected) {
            ++made;
            ASSERT_TRUE(r.ok()) << "round " << round << ": " << r.message;
            ASSERT_EQ(decoded, *expected) << "round " << round;
        } else {
            ++refused;
            ASSERT_EQ(r.status, Status::kPatchCorrupt) << "round " << round << ": " << r.message;
        }
    }
    // Both sides of the rules are reached often.
    EXPECT_GT(made, 1000);
    EXPECT_GT(refused, 1000);
}

Bytes RandomBytes(std::mt19937& rng, std::size_t n, unsigned alphabet)
{
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<std::uint8_t>(rng() % alphabet);
    return b;
}

// Something like x86 code, with near calls and jumps.
Bytes Code(std::mt19937& rng, std::size_t n)
{
    Bytes b;
    while (b.size() < n) {
        if (rng() % 4 == 0) {
            b.push_back(rng() % 2 ? 0xE8 : 0xE9);
            for (int k = 0; k < 4; ++k)
                b.push_back(static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() : 0));
        } else {
            b.push_back(static_cast<std::uint8_t>(rng() % 64));
        }
    }
    b.resize(n);
    return b;
}

// Old and new files that the matching finds awkward: empty, tiny, runs, short periods, the new
// file the old one or twice it, pieces of itself, code.
std::pair<Bytes, Bytes> AwkwardPair(std::mt19937& rng, int kind)
{
    const std::size_t n = rng() % 3 == 0 ? rng() % 41 : rng() % 5000;
    const std::size_t m = rng() % 3 == 0 ? rng() % 41 : rng() % 5000;
    Bytes old = RandomBytes(rng, m, rng() % 2 ? 256 : 3), data;
    switch (kind) {
    case 0: data = RandomBytes(rng, n, 256); break;
    case 1: data.assign(n, 0); break;
    case 2: {
        Bytes period = RandomBytes(rng, 1 + rng() % 7, 256);
        for (std::size_t i = 0; i < n; ++i)
            data.push_back(period[i % period.size()]);
        break;
    }
    case 3: data = old; break;
    case 4:
        data = old;
        data.insert(data.end(), old.begin(), old.end());
        break;
    case 5:
        // Pieces of the old file, each changed here and there, some of them again and again.
        while (data.size() < n && !old.empty()) {
            std::size_t from = rng() % old.size(), len = 1 + rng() % std::min<std::size_t>(old.size() - from, 300);
            data.insert(data.end(), old.begin() + static_cast<std::ptrdiff_t>(from),
                        old.begin() + static_cast<std::ptrdiff_t>(from + len));
            if (rng() % 2 && data.size() >= 40) {
                std::size_t back = rng() % (data.size() - 20);
                data.insert(
                    data.end(), data.begin() + static_cast<std::ptrdiff_t>(back),
                    data.begin() + static_cast<std::ptrdiff_t>(
                                       back + 20 + rng() % std::min<std::size_t>(data.size() - back - 20, 200)));
            }
            for (int k = 0; k < 3; ++k)
                data[rng() % data.size()] ^= 0x20;
        }
        break;
    case 6:
        old = Code(rng, m);
        data = old;
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(data.size() / 2), 9, 0x90);
        data.insert(data.end(), data.begin(), data.end());
        for (std::size_t i = 0; i < data.size(); i += 97)
            data[i] ^= 1;
        break;
    default: old.clear(); data = RandomBytes(rng, n, 4);
    }
    return {old, data};
}

TEST(ReadsOutput, TheEncoderRoundTripsAwkwardFiles)
{
    std::mt19937 rng(7);
    int reading = 0;
    for (int round = 0; round < 400; ++round) {
        const int kind = round % 8;
        auto [old, data] = AwkwardPair(rng, kind);
        for (MatchFilter filter : {MatchFilter::kNone, MatchFilter::kX86Branches}) {
            Bytes encoded, decoded;
            Result r =
                EncodeSplitMatchDelta(old.data(), old.size(), data.data(), data.size(), filter, 3, &encoded, 1, true);
            ASSERT_TRUE(r.ok()) << r.message;
            reading += (encoded[1] & kSplitReadsOutput) != 0 ? 1 : 0;
            r = Decode(encoded, old, data.size(), &decoded);
            ASSERT_TRUE(r.ok()) << "round " << round << " kind " << kind << " old " << old.size() << " new "
                                << data.size() << ": " << r.message;
            ASSERT_TRUE(decoded == data) << "round " << round << " kind " << kind;
        }
    }
    EXPECT_GT(reading, 100);
}

// The records the matching finds read only what is there when they read it: the old file and the
// new file before their own bytes.
TEST(ReadsOutput, MatchesReadOnlyWhatIsMade)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        auto [old, data] = AwkwardPair(rng, round % 8);
        std::vector<MatchRecord> records;
        MatchOptions options;
        options.readsOutput = true;
        options.seekByteCost = 1 + static_cast<int>(rng() % 10);
        ASSERT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records, nullptr, options).ok());
        std::int64_t pos = 0, furthest = 0;
        std::uint64_t made = 0;
        bool readsPast = false;  // whether the encoder sets the flag
        for (const MatchRecord& r : records) {
            furthest = std::max(furthest, pos);
            readsPast = readsPast || (r.add > 0 && static_cast<std::uint64_t>(pos) + r.add > old.size());
            ASSERT_GE(pos, 0) << "round " << round;
            ASSERT_LE(static_cast<std::uint64_t>(pos), old.size() + made) << "round " << round;
            if (r.add > 0) {
                ASSERT_LT(static_cast<std::uint64_t>(pos), old.size() + made) << "round " << round;
            }
            made += r.add + r.copy;
            pos += static_cast<std::int64_t>(r.add) + r.seek;
        }
        ASSERT_EQ(made, data.size()) << "round " << round;
        // Without the flag, a record may not even start past the old file.
        if (!readsPast) {
            EXPECT_LE(static_cast<std::uint64_t>(furthest), old.size()) << "round " << round;
        }
    }
}

#if defined(__linux__)
std::uint64_t ResidentBytes()
{
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long long size = 0, resident = 0;
    if (f != nullptr) {
        if (std::fscanf(f, "%llu %llu", &size, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * 4096;
}
#endif

// A delta of a few hundred bytes that declares a large new file, its first 64 KiB read over and over:
// a reader refuses it, or makes it in memory that does not grow with it. (Builders write the split
// form only for files whose old and new contents together are at most kMaxHeldBytes.)
TEST(ReadsOutput, ASmallDeltaCannotMakeTheDecoderHoldALargeFile)
{
#if !defined(__linux__)
    GTEST_SKIP() << "resident memory is read from /proc";
#else
    const Bytes old(64 << 10, 'a');
    const std::uint64_t newSize = 4 * kMaxHeldBytes;
    const Bytes delta = Records(kSplitReadsOutput, {{old.size(), 0, 0}, {newSize - old.size(), 0, 0}});
    ASSERT_LT(delta.size(), 300u);
    const std::uint64_t before = ResidentBytes();
    std::uint64_t produced = 0, most = before;
    Result r = DecodeSplitMatchDelta("f", DataSource(delta.data(), delta.size()), old.data(), old.size(), newSize,
                                     [&](const std::uint8_t* p, std::size_t n) {
                                         produced += n;
                                         if (n > 0 && (p[0] != 'a' || p[n - 1] != 'a'))
                                             return Fail(Status::kPatchCorrupt, "not what the records make");
                                         most = std::max(most, ResidentBytes());
                                         return Result::Ok();
                                     });
    if (r.ok())
        EXPECT_EQ(produced, newSize);
    else
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
    EXPECT_LT(most - before, 2 * kMaxHeldBytes) << "resident memory grew by " << ((most - before) >> 20)
                                                << " MiB for a new file of " << (newSize >> 20) << " MiB";
#endif
}

}  // namespace
}  // namespace qvpatch

namespace qvpatch {
namespace {

// Code-like bytes: calls and jumps (E8, E9) with near targets among filler that has stray E8 and
// E9 bytes.
Bytes Code(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        if (rng() % 4 == 0) {
            b.push_back(rng() % 2 ? 0xE8 : 0xE9);
            const auto rel = static_cast<std::uint32_t>(rng() % (n + 1)) - static_cast<std::uint32_t>(b.size() + 4);
            for (int k = 0; k < 4; ++k)
                b.push_back(static_cast<std::uint8_t>(rel >> (8 * k)));
        } else {
            for (unsigned k = rng() % 6 + 1; k > 0; --k)
                b.push_back(static_cast<std::uint8_t>(rng() % 16 == 0 ? 0xE8 + rng() % 2 : rng() % 251));
        }
    }
    b.resize(n);
    return b;
}

// Where the caller reads back what it was handed, the decoder holds only the last few MiB of the
// new file: records that read further back than that get what they read from the caller, with
// the call filter done again on it, and the file comes out as when it is held whole.
TEST(ReadsOutput, WhatIsReadBackDecodesAsTheFileHeldWhole)
{
    // A piece of new code, then 4.3 MiB of other code, then the piece again with a few bytes
    // changed: the matching finds it in the new file made so far, further back than is held.
    const Bytes old = Code(1 << 20, 1), piece = Code(512 << 10, 2), between = Code((4 << 20) + (300 << 10), 3);
    Bytes data = piece;
    data.insert(data.end(), between.begin(), between.end());
    Bytes again = piece;
    for (std::size_t i = 1000; i < again.size(); i += 37777)
        again[i] ^= 0x5A;
    data.insert(data.end(), again.begin(), again.end());
    data.insert(data.end(), old.begin(), old.begin() + 300000);
    for (MatchFilter filter : {MatchFilter::kX86Branches, MatchFilter::kNone}) {
        SCOPED_TRACE(filter == MatchFilter::kNone ? "unfiltered" : "filtered");
        Bytes encoded, whole;
        ASSERT_TRUE(
            EncodeSplitMatchDelta(old.data(), old.size(), data.data(), data.size(), filter, 3, &encoded, 1, true).ok());
        ASSERT_NE(encoded[1] & kSplitReadsOutput, 0);
        ASSERT_TRUE(Decode(encoded, old, data.size(), &whole).ok());
        ASSERT_TRUE(whole == data);

        Bytes out;
        std::uint64_t readBack = 0;
        bool fails = false;
        OldLoad load{[&](OldBytes* bytes, const OldLoad::Progress& progress) {
                         progress(old.data(), old.size());
                         *bytes = OldBytes{old.data(), old.size()};
                         return Result::Ok();
                     },
                     nullptr,
                     [&](std::uint64_t at, std::uint8_t* to, std::size_t size) {
                         if (fails)
                             return Fail(Status::kIoError, "cannot read back");
                         EXPECT_LE(at + size, out.size());  // only what was handed on
                         std::copy(out.begin() + static_cast<std::ptrdiff_t>(at),
                                   out.begin() + static_cast<std::ptrdiff_t>(at + size), to);
                         readBack += size;
                         return Result::Ok();
                     },
                     nullptr, nullptr};
        // A decoder that keeps its pieces leaves each as it is until the sink's next call: the
        // sink finds the last one unchanged then, and when the decoder says it ends.
        const std::uint8_t* last = nullptr;
        Bytes lastSeen;
        int kept = 0, ended = 0;
        auto unchanged = [&] { return last == nullptr || std::equal(lastSeen.begin(), lastSeen.end(), last); };
        load.keepPieces = [&](bool keeps) {
            (keeps ? kept : ended) += 1;
            EXPECT_TRUE(unchanged());
        };
        auto sink = [&](const std::uint8_t* p, std::size_t n) {
            if (kept > ended) {
                EXPECT_TRUE(unchanged()) << "at " << out.size();
            }
            if (n > 0) {
                last = p;
                lastSeen.assign(p, p + n);
            }
            out.insert(out.end(), p, p + n);
            return Result::Ok();
        };
        Result r = DecodeSplitMatchDelta("f", DataSource(encoded.data(), encoded.size()), nullptr, old.size(),
                                         data.size(), sink, &load);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_TRUE(out == data);
        EXPECT_EQ(kept, 1);
        EXPECT_EQ(ended, 1);
        EXPECT_GT(readBack, 250000u);

        // A file that cannot be read back fails the decoding with what it said.
        fails = true;
        out.clear();
        last = nullptr;
        r = DecodeSplitMatchDelta("f", DataSource(encoded.data(), encoded.size()), nullptr, old.size(), data.size(),
                                  sink, &load);
        EXPECT_EQ(r.status, Status::kIoError) << r.message;
    }
}

// Reads at the edge of what is held: across it (part read back, part held), exactly at it, just
// inside it, and all before it, each as a plain reading of the records makes them.
TEST(ReadsOutput, ReadsAtTheEdgeOfWhatIsHeldReadWhatWasMade)
{
    std::mt19937 rng(99);
    Bytes old(1 << 20);
    for (auto& b : old)
        b = static_cast<std::uint8_t>(rng());
    const std::int64_t mib = 1 << 20, held = 4 * mib;
    Bytes extra((7 * mib) / 2 + 300000);
    for (auto& b : extra)
        b = static_cast<std::uint8_t>(rng());
    // After the first record the new file has 4.5 MiB; each read below is placed by its distance
    // back from the end of the new file so far.
    std::vector<Record> records = {{static_cast<std::uint64_t>(mib), static_cast<std::uint64_t>(7 * mib / 2), 0}};
    std::int64_t made = 9 * mib / 2, pos = mib;  // in the old file, then the new file after it
    auto readBack = [&](std::int64_t distance, std::uint64_t add) {
        const std::int64_t target = mib + made - distance;
        records.back().seek = target - pos;
        records.push_back({add, 0, 0});
        pos = target + static_cast<std::int64_t>(add);
        made += static_cast<std::int64_t>(add);
    };
    readBack(held + 10, 100);       // across the edge
    readBack(held, 50);             // at it
    readBack(held - 3, 1000);       // just inside
    readBack(held + 300000, 4000);  // well before it
    readBack(7, 5000);              // the bytes just made, over and over
    records.back().copy = 300000;   // the rest of the extra bytes
    const Bytes delta = Records(kSplitReadsOutput, records, extra);

    // The records' plain meaning, a byte at a time.
    Bytes expected;
    std::size_t e = 0;
    std::int64_t at = 0;
    for (const Record& r : records) {
        for (std::uint64_t i = 0; i < r.add; ++i, ++at)
            expected.push_back(at < mib ? old[static_cast<std::size_t>(at)]
                                        : expected[static_cast<std::size_t>(at - mib)]);
        expected.insert(expected.end(), extra.begin() + static_cast<std::ptrdiff_t>(e),
                        extra.begin() + static_cast<std::ptrdiff_t>(e + r.copy));
        e += r.copy;
        at += r.seek;
    }
    ASSERT_EQ(e, extra.size());

    Bytes whole, out;
    ASSERT_TRUE(Decode(delta, old, expected.size(), &whole).ok());
    EXPECT_TRUE(whole == expected);
    std::uint64_t readBackBytes = 0;
    OldLoad load{[&](OldBytes* bytes, const OldLoad::Progress& progress) {
                     progress(old.data(), old.size());
                     *bytes = OldBytes{old.data(), old.size()};
                     return Result::Ok();
                 },
                 nullptr,
                 [&](std::uint64_t from, std::uint8_t* to, std::size_t size) {
                     EXPECT_LE(from + size, out.size());
                     std::copy(out.begin() + static_cast<std::ptrdiff_t>(from),
                               out.begin() + static_cast<std::ptrdiff_t>(from + size), to);
                     readBackBytes += size;
                     return Result::Ok();
                 },
                 nullptr, nullptr};
    Result r = DecodeSplitMatchDelta(
        "f", DataSource(delta.data(), delta.size()), nullptr, old.size(), expected.size(),
        [&](const std::uint8_t* p, std::size_t n) {
            out.insert(out.end(), p, p + n);
            return Result::Ok();
        },
        &load);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(out == expected);
    // Only what lies before the edge is read back, with 4 bytes on each side of it.
    EXPECT_EQ(readBackBytes, (10u + 8) + (4000u + 8));
}

// A decoding that fails while a chunk is undone beside ends only once that work is done: it reads
// the ring and writes the marks of what is read back, which go with the decoder. (Under
// AddressSanitizer a decoder that freed them first fails this.)
TEST(ReadsOutput, ADecodingThatFailsEndsAfterTheWorkBeside)
{
    const Bytes old(1 << 20, 0xE8);
    Bytes extra(1 << 20);
    for (std::size_t i = 0; i < extra.size(); ++i)
        extra[i] = i % 5 == 0 ? 0xE8 : static_cast<std::uint8_t>(i * 7);
    // Exactly one chunk from the extra bytes, then a record that reads far past anything made.
    const Bytes delta = SplitDelta(
        1, kSplitReadsOutput, {{0x00, 10}, {0x80, 0x80, 0x40, 0x00}, {0x80, 0x80, 0x80, 0x14, 0x00}, {}, {}, extra});
    for (int round = 0; round < 20; ++round) {
        OldLoad load{[&](OldBytes* bytes, const OldLoad::Progress& progress) {
                         progress(old.data(), old.size());
                         *bytes = OldBytes{old.data(), old.size()};
                         return Result::Ok();
                     },
                     nullptr, [](std::uint64_t, std::uint8_t*, std::size_t) { return Result::Ok(); }, nullptr, nullptr};
        Result r = DecodeSplitMatchDelta(
            "f", DataSource(delta.data(), delta.size()), nullptr, old.size(), 8 << 20,
            [](const std::uint8_t*, std::size_t) { return Result::Ok(); }, &load);
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
    }
}

}  // namespace
}  // namespace qvpatch
