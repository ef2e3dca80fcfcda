// Filter 3 (the references of x86-64 code) and the branch targets moved where the records put
// them: the scan against a byte-by-byte reading, in pieces and in two halves, the map of where the
// records put the old bytes, and what both save on code that moved.
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

// The transform at those references: each near operand made absolute from the end of its 4 bytes.
Bytes TransformedByteByByte(Bytes data)
{
    for (std::size_t tag : ReferencesByteByByte(data, true)) {
        if (data[tag + 4] != 0 && data[tag + 4] != 0xFF)
            continue;
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= static_cast<std::uint32_t>(data[tag + 1 + k]) << (8 * k);
        v = (v + static_cast<std::uint32_t>(tag + 5)) & 0x01FFFFFF;
        if (v & 0x01000000)
            v |= 0xFF000000;
        for (int k = 0; k < 4; ++k)
            data[tag + 1 + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return data;
}

// Filters a copy of data out through marks, as the decoder copies the old file.
Bytes FilteredThrough(const FilterMarks& marks, const Bytes& data)
{
    Bytes out = data;
    marks.Apply(data.data(), 0, out.data(), out.size());
    return out;
}

TEST(WideReferences, TheScanTakesWhatAByteByByteReadingTakesInAnyPieces)
{
    std::mt19937 rng(31);
    for (int round = 0; round < 300; ++round) {
        const Bytes data = DenseReferences(round < 100 ? static_cast<std::size_t>(round) : rng() % 70000, &rng);
        const Bytes expected = TransformedByteByByte(data);
        Bytes whole = data;
        X86BranchFilter::Encode(whole.data(), whole.size(), true);
        ASSERT_EQ(whole, expected) << "round " << round;

        // Marked as the file comes, and filtered as it is copied out, whatever the copies cut.
        SCOPED_TRACE(::testing::Message() << "round " << round);
        ExpectCopiesFilteredAsMarked(data, expected, true, round % 2 == 0 ? 9 : 3000, &rng);

        // Undone in pieces as the decoder hands them on, the bytes held back first in the next.
        X86BranchFilter unfilter(true);
        Bytes out, buffer;
        for (std::size_t pos = 0; pos < whole.size();) {
            const std::size_t n = std::min<std::size_t>(whole.size() - pos, 1 + rng() % (round % 2 ? 8 : 4000));
            buffer.insert(buffer.end(), whole.begin() + static_cast<std::ptrdiff_t>(pos),
                          whole.begin() + static_cast<std::ptrdiff_t>(pos + n));
            pos += n;
            const std::size_t final = unfilter.DecodeInPlace(buffer.data(), buffer.size(), pos == whole.size());
            ASSERT_LE(buffer.size() - final, 6u);
            out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(final));
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(final));
        }
        ASSERT_TRUE(buffer.empty());
        ASSERT_EQ(out, data) << "round " << round;
    }
}

// A whole file is scanned in two halves, the second beside; the references across the middle come
// out as one scan has them, however long the two take to agree (never, in a run of opcodes whose
// period does not divide the middle).
TEST(WideReferences, AFileScannedInTwoHalvesIsMarkedAsAWholeScanMarksIt)
{
    std::mt19937 rng(32);
    Beside beside;
    const std::size_t size = (3 << 19) + 13;  // past the size split, with a middle not a multiple of 5
    std::vector<Bytes> files = {DenseReferences(size, &rng), Bytes(size, 0xE8), Bytes(size, 0xE8)};
    // Near operands all through the opcodes' run: the references taken change every byte.
    for (std::size_t i = 4; i < size; i += 5)
        files[2][i] = 0;
    // REX moves one after the other, whose operands look like moves too: 48 8B 05 48 8B 05 00.
    Bytes prefixed(size);
    for (std::size_t i = 0; i < size; ++i)
        prefixed[i] = "\x48\x8B\x05\x48\x8B\x05"[i % 7];
    files.push_back(prefixed);
    // Around the middle, a call whose operand holds what a scan from the middle takes as a call,
    // whose operand hides the next real one: the two agree only from the third.
    Bytes crossing(size, 0x90);
    const std::size_t mid = size / 2 / 64 * 64;
    for (std::size_t at : {mid - 2, mid, mid + 3, mid + 8})
        crossing[at] = 0xE8;
    for (std::size_t at : {mid - 1, mid + 1, mid + 2, mid + 4, mid + 5, mid + 6, mid + 7, mid + 9, mid + 12})
        crossing[at] = 0;
    files.push_back(crossing);
    for (bool wide : {false, true}) {
        for (std::size_t f = 0; f < files.size(); ++f) {
            SCOPED_TRACE(::testing::Message() << "file " << f << (wide ? ", filter 3" : ", filter 1"));
            const Bytes& data = files[f];
            FilterMarks whole(data.size(), wide), halves(data.size(), wide);
            whole.Scan(data.data(), data.size());
            halves.ScanWhole(data.data(), data.size(), &beside);
            ASSERT_TRUE(FilteredThrough(whole, data) == FilteredThrough(halves, data));
            // It goes on as a whole scan would: nothing more to mark.
            halves.Scan(data.data(), data.size());
            ASSERT_TRUE(FilteredThrough(whole, data) == FilteredThrough(halves, data));
        }
    }
}

// The map against its definition: a place's shift is that of the first read, by place and then by
// the order they came in, that holds it.
TEST(TargetMap, ABytesShiftIsThatOfTheFirstReadThatHoldsIt)
{
    std::mt19937 rng(33);
    // The last rounds with reads enough to be sorted a digit at a time, in files of up to 2^40.
    for (int round = 0; round < 70; ++round) {
        const bool many = round >= 60;
        const std::uint64_t oldSize =
            1 + (round >= 65 ? (std::uint64_t{rng()} << 8 | rng() % 256) : rng() % (round < 30 ? 3000 : 200000));
        struct Read {
            std::uint64_t at, length, newAt;
        };
        std::vector<Read> reads;
        TargetMap map(oldSize);
        const int count = static_cast<int>(many ? 2048 + rng() % 3000 : rng() % 300);
        for (int k = 0; k < count; ++k) {
            Read r;
            r.at = (std::uint64_t{rng()} << 8 | rng() % 256) % oldSize;
            // Short and long, same places, and some to the file's end.
            if (k > 0 && rng() % 8 == 0)
                r.at = reads[rng() % reads.size()].at;
            r.length = std::min<std::uint64_t>(oldSize - r.at, rng() % 4 == 0 ? rng() % 20000 : rng() % 300);
            r.newAt = rng() % (3 * oldSize);
            reads.push_back(r);
            ASSERT_TRUE(map.Add(r.at, r.length, r.newAt));
        }
        map.Finish();
        std::vector<std::size_t> order(reads.size());
        for (std::size_t k = 0; k < order.size(); ++k)
            order[k] = k;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return reads[a].at < reads[b].at; });
        auto expected = [&](std::int64_t t) -> std::int64_t {
            if (t < 0 || static_cast<std::uint64_t>(t) >= oldSize)
                return 0;
            for (std::size_t k : order) {
                const Read& r = reads[k];
                if (r.at <= static_cast<std::uint64_t>(t) && static_cast<std::uint64_t>(t) < r.at + r.length)
                    return static_cast<std::int64_t>(r.newAt) - static_cast<std::int64_t>(r.at);
            }
            return 0;
        };
        std::vector<std::int64_t> probes = {-1, 0, static_cast<std::int64_t>(oldSize) - 1,
                                            static_cast<std::int64_t>(oldSize), INT64_MIN / 2};
        for (const Read& r : std::vector<Read>(reads.begin(), reads.begin() + std::min<std::size_t>(reads.size(), 300)))
            for (std::int64_t d : {-1, 0, 1})
                probes.push_back(static_cast<std::int64_t>(r.at + r.length) + d),
                    probes.push_back(static_cast<std::int64_t>(r.at) + d);
        for (int k = 0; k < 2000; ++k)
            probes.push_back(static_cast<std::int64_t>(rng() % (oldSize + 10)));
        for (std::int64_t t : probes)
            ASSERT_EQ(map.Shift(t), expected(t)) << "round " << round << ", place " << t;
    }
}

TEST(TargetMap, HoldsAtMostItsReadsInAFileOfAnySize)
{
    // A large file: few reads, granules of more than 256 bytes.
    const std::uint64_t large = std::uint64_t{1} << 31;
    TargetMap map(large);
    ASSERT_TRUE(map.Add(large - 100, 100, 5));
    ASSERT_TRUE(map.Add(1 << 20, 1 << 24, 0));
    map.Finish();
    EXPECT_EQ(map.Shift(static_cast<std::int64_t>(large) - 1), 5 - static_cast<std::int64_t>(large - 100));
    EXPECT_EQ(map.Shift(static_cast<std::int64_t>(large)), 0);
    EXPECT_EQ(map.Shift((1 << 20) + 12345), -(1 << 20));
    EXPECT_EQ(map.Shift((1 << 20) - 1), 0);

    TargetMap small(1000);
    for (std::uint64_t k = 0; k < TargetMap::MaxReads(1000); ++k)
        ASSERT_TRUE(small.Add(k % 1000, 1, k));
    EXPECT_FALSE(small.Add(0, 1, 0));
}

// Something like an x86-64 program: functions that call each other and load from a data part
// after them, laid out with a piece of new bytes after function insertAt (none: -1), which moves
// every later function and the data.
Bytes FakeProgram(std::uint32_t seed, int insertAt, std::size_t inserted, bool loads)
{
    constexpr int kFunctions = 1500;
    constexpr std::size_t kData = 40000;
    std::mt19937 rng(seed);
    // Each function's pieces: filler, or a call to a function, or a load from the data.
    struct Piece {
        int kind;  // 0 filler, 1 call, 2 REX load, 3 0F load
        std::uint32_t what;
        Bytes filler;
    };
    std::vector<std::vector<Piece>> functions(kFunctions);
    for (auto& f : functions) {
        for (int k = static_cast<int>(rng() % 12) + 2; k > 0; --k) {
            Piece p{static_cast<int>(rng() % (loads ? 4 : 2)), static_cast<std::uint32_t>(rng()), {}};
            for (unsigned n = rng() % 9 + 1; n > 0; --n)
                p.filler.push_back(static_cast<std::uint8_t>(rng() % 0x40 + 0x50));
            f.push_back(p);
        }
    }
    const Bytes newBytes = [&] {
        std::mt19937 other(seed + 1);
        Bytes b(inserted);
        for (auto& x : b)
            x = static_cast<std::uint8_t>(other());
        return b;
    }();
    // Two passes: the places, then the bytes.
    std::vector<std::size_t> starts(kFunctions);
    std::size_t dataStart = 0;
    Bytes out;
    for (int pass = 0; pass < 2; ++pass) {
        out.clear();
        for (int i = 0; i < kFunctions; ++i) {
            starts[static_cast<std::size_t>(i)] = out.size();
            for (const Piece& p : functions[static_cast<std::size_t>(i)]) {
                out.insert(out.end(), p.filler.begin(), p.filler.end());
                std::size_t target = 0;
                if (p.kind == 1) {
                    out.push_back(0xE8);
                    target = starts[p.what % kFunctions];
                } else if (p.kind == 2) {
                    out.insert(out.end(), {0x48, 0x8B, 0x05});
                    target = dataStart + p.what % kData;
                } else if (p.kind == 3) {
                    out.insert(out.end(), {0x0F, 0xB6, 0x0D});
                    target = dataStart + p.what % kData;
                }
                if (p.kind != 0) {
                    const auto rel = static_cast<std::uint32_t>(target - (out.size() + 4));
                    for (int k = 0; k < 4; ++k)
                        out.push_back(static_cast<std::uint8_t>(rel >> (8 * k)));
                }
            }
            if (i == insertAt)
                out.insert(out.end(), newBytes.begin(), newBytes.end());
        }
        dataStart = out.size();
        std::mt19937 data(seed + 2);
        for (std::size_t k = 0; k < kData; ++k)
            out.push_back(static_cast<std::uint8_t>(data() % 7));
    }
    return out;
}

// Code that moved, with the code and data it reaches, costs about what the new bytes do: its
// calls and loads keep their targets where the records put them.
TEST(SplitMatchDelta, CodeThatMovedWithWhatItReachesCostsAboutItsNewBytes)
{
    constexpr std::size_t kInserted = 3000;
    for (bool loads : {false, true}) {
        SCOPED_TRACE(loads ? "calls and loads" : "calls");
        const Bytes old = FakeProgram(41, -1, 0, loads), data = FakeProgram(41, 500, kInserted, loads);
        std::size_t sizes[3] = {};
        const MatchFilter filters[3] = {MatchFilter::kNone, MatchFilter::kX86Branches, MatchFilter::kX64References};
        for (int f = 0; f < 3; ++f) {
            Bytes encoded, decoded;
            ASSERT_TRUE(
                EncodeSplitMatchDelta(old.data(), old.size(), data.data(), data.size(), filters[f], 19, &encoded, 2)
                    .ok());
            Result r = DecodeSplitMatchDelta(
                "f", DataSource(encoded.data(), encoded.size()), old.data(), old.size(), data.size(),
                [&](const std::uint8_t* p, std::size_t n) {
                    decoded.insert(decoded.end(), p, p + n);
                    return Result::Ok();
                },
                nullptr);
            ASSERT_TRUE(r.ok()) << r.message;
            ASSERT_TRUE(decoded == data) << "filter " << f;
            sizes[f] = encoded.size();
        }
        // Without a filter, every call across the new bytes changes; filter 1 moves the calls'
        // targets, filter 3 the loads' too: what is left is the new bytes.
        EXPECT_GT(sizes[0], kInserted + 2000);
        EXPECT_LT(sizes[2], kInserted + 300);
        if (loads) {
            EXPECT_LT(sizes[2] + 1000, sizes[1]);
        } else {
            EXPECT_LT(sizes[1], kInserted + 300);
        }
    }
}

TEST(SplitMatchDelta, FilterThreeIsTheSplitFormsAndItsMapIsBounded)
{
    const Bytes old(8, 0x90);
    Bytes decoded;
    auto decode = [&](const Bytes& delta, std::uint64_t newSize, bool split) {
        decoded.clear();
        auto sink = [&](const std::uint8_t* p, std::size_t n) {
            decoded.insert(decoded.end(), p, p + n);
            return Result::Ok();
        };
        DataSource source(delta.data(), delta.size());
        return split ? DecodeSplitMatchDelta("f", source, old.data(), old.size(), newSize, sink, nullptr)
                     : DecodeMatchDelta("f", source, old.data(), old.size(), newSize, sink, nullptr);
    };
    // The held form has no filter 3.
    Bytes held;
    ASSERT_TRUE(EncodeMatchDelta(old.data(), old.size(), old.data(), old.size(), MatchFilter::kNone, 3, &held).ok());
    held[0] = 3;
    Result r = decode(held, 8, false);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("unknown filter 3"), std::string::npos) << r.message;

    // One read of each old byte, then a byte at a time read again, one more than the map takes.
    const std::uint64_t reads = TargetMap::MaxReads(old.size()) + 1;
    Bytes adds, copies, seeks;
    for (std::uint64_t k = 0; k < reads; ++k) {
        adds.push_back(1);
        copies.push_back(0);
        seeks.push_back(k + 1 < reads ? 1 : 0);  // zigzag -1: back to the same byte
    }
    r = decode(HandMadeSplitDelta(3, kSplitProjected, {adds, copies, seeks, {}, {}, {}}), reads, true);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("more pieces"), std::string::npos) << r.message;
    // As many as it takes decode.
    adds.pop_back(), copies.pop_back(), seeks.pop_back();
    seeks.back() = 0;
    r = decode(HandMadeSplitDelta(3, kSplitProjected, {adds, copies, seeks, {}, {}, {}}), reads - 1, true);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(decoded, Bytes(reads - 1, 0x90));
}

}  // namespace
}  // namespace qvpatch
