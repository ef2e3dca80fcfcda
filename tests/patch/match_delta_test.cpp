// The match delta: the suffix-array matching, the x86 branch transform, and the codec's decoder
// on well-formed and damaged data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "codec.h"
#include "match_delta.h"
#include "reference_support.h"
#include "split_delta_support.h"

namespace qvpatch {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Random(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<std::uint8_t>(rng());
    return b;
}

// Something like x86 code: instructions of a few bytes, with many near calls and jumps whose
// targets are spread over the file.
Bytes FakeCode(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        if (rng() % 4 == 0) {
            b.push_back(rng() % 2 ? 0xE8 : 0xE9);
            auto target = static_cast<std::uint32_t>(rng() % (n + 1));
            auto rel = target - static_cast<std::uint32_t>(b.size() + 4);
            for (int k = 0; k < 4; ++k)
                b.push_back(static_cast<std::uint8_t>(rel >> (8 * k)));
        } else {
            // Filler, with stray E8 and E9 bytes that are no branches.
            for (unsigned k = rng() % 6 + 1; k > 0; --k)
                b.push_back(static_cast<std::uint8_t>(rng() % 16 == 0 ? 0xE8 + rng() % 2 : rng() % 64));
        }
    }
    b.resize(n);
    return b;
}

// A new version: pieces moved, bytes inserted and scattered bytes changed.
Bytes Edit(const Bytes& old, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(old.size() / 3));
    Bytes inserted = Random(old.size() / 50 + 1, seed + 1);
    out.insert(out.end(), inserted.begin(), inserted.end());
    out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(old.size() * 2 / 3), old.end());
    out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(old.size() / 3),
               old.begin() + static_cast<std::ptrdiff_t>(old.size() * 2 / 3));
    for (std::size_t i = 0; i < out.size() / 100; ++i)
        out[rng() % out.size()] ^= static_cast<std::uint8_t>(rng() | 1);
    return out;
}

// The split form, its frames compressed on two threads.
Result EncodeSplit(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data, std::size_t size,
                   MatchFilter filter, int level, Bytes* out)
{
    return EncodeSplitMatchDelta(old, oldSize, data, size, filter, level, out, 2);
}

// The same with records that may read the new file made so far, as the builder writes it.
Result EncodeSplitReadingOutput(const std::uint8_t* old, std::size_t oldSize, const std::uint8_t* data,
                                std::size_t size, MatchFilter filter, int level, Bytes* out)
{
    return EncodeSplitMatchDelta(old, oldSize, data, size, filter, level, out, 2, true);
}

// The forms for a held old file: the first, and the split one with and without reading the new
// file made so far.
struct HeldForm {
    const char* name;
    bool split;
    Result (*encode)(const std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t, MatchFilter, int, Bytes*);
    Result (*decode)(const std::string&, const DataSource&, const std::uint8_t*, std::size_t, std::uint64_t,
                     const ChunkSink&, const OldLoad*);
};
const HeldForm kHeldForms[] = {{"held", false, EncodeMatchDelta, DecodeMatchDelta},
                               {"split", true, EncodeSplit, DecodeSplitMatchDelta},
                               {"split reading output", true, EncodeSplitReadingOutput, DecodeSplitMatchDelta}};

Result Decode(const Bytes& encoded, const Bytes& old, std::uint64_t newSize, Bytes* out,
              const HeldForm& form = kHeldForms[0])
{
    out->clear();
    return form.decode(
        "f", DataSource(encoded.data(), encoded.size()), old.data(), old.size(), newSize,
        [&](const std::uint8_t* p, std::size_t n) {
            out->insert(out->end(), p, p + n);
            return Result::Ok();
        },
        nullptr);
}

Bytes Apply(const std::vector<MatchRecord>& records, const Bytes& old, const Bytes& data)
{
    // What the records say, read directly: difference against old where they add, data's own
    // bytes where they copy.
    Bytes out;
    std::int64_t oldPos = 0;
    for (const MatchRecord& r : records) {
        for (std::uint64_t i = 0; i < r.add; ++i) {
            EXPECT_LT(static_cast<std::size_t>(oldPos + static_cast<std::int64_t>(i)), old.size());
            out.push_back(data[out.size()]);
        }
        for (std::uint64_t i = 0; i < r.copy; ++i)
            out.push_back(data[out.size()]);
        oldPos += static_cast<std::int64_t>(r.add) + r.seek;
    }
    return out;
}

TEST(MatchDelta, MatchingCoversTheNewFileAndFindsMovedPieces)
{
    Bytes old = FakeCode(200000, 1);
    Bytes data = Edit(old, 2);
    std::vector<MatchRecord> records;
    ASSERT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records).ok());
    std::uint64_t added = 0, copied = 0;
    for (const MatchRecord& r : records) {
        added += r.add;
        copied += r.copy;
    }
    EXPECT_EQ(added + copied, data.size());
    EXPECT_EQ(Apply(records, old, data), data);
    // The inserted random bytes are most of what matches nothing; the moved thirds match.
    EXPECT_LT(copied, data.size() / 20);
    EXPECT_LT(records.size(), 2000u);
}

TEST(MatchDelta, LongRepeatsDoNotMakeTheSearchGrowWithThem)
{
    // Runs of zeros 4 KiB long in both files, marked at other periods: every position has a long
    // match, about as good as going on at the current offset. The scan must not look up each one.
    Bytes old(1 << 21, 0), data(1 << 21, 0);
    for (std::size_t i = 0; i < old.size(); i += 4096)
        old[i] = 1;
    for (std::size_t i = 0; i < data.size(); i += 4093)
        data[i] = 1;
    std::vector<MatchRecord> records;
    MatchWork work;
    ASSERT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records, &work).ok());
    EXPECT_EQ(Apply(records, old, data), data);
    EXPECT_LT(work.lookups, data.size() / 64);
}

// Something like source text: indented lines of words from a small vocabulary, and numbers.
Bytes FakeText(std::size_t n, std::uint32_t seed)
{
    static const char* const kWords[] = {"function", "return", "const", "this",   "value", "if",   "else",
                                         "{",        "}",      "(",     ")",      ";",     "node", "type",
                                         "=",        "===",    "name",  "length", "for",   "let"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        s.append(2 * (rng() % 6), ' ');
        for (unsigned k = rng() % 8 + 1; k > 0; --k) {
            s += kWords[rng() % std::size(kWords)];
            s += ' ';
        }
        s += std::to_string(rng() % 1000);
        s += '\n';
    }
    return Bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// The records for data against old, checked to make data; work tells what finding them took.
std::vector<MatchRecord> MatchedChecked(const Bytes& old, const Bytes& data, MatchWork* work)
{
    std::vector<MatchRecord> records;
    EXPECT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records, work).ok());
    EXPECT_EQ(Apply(records, old, data), data);
    return records;
}

// The bytes the records copy as they are: what matches nothing.
std::uint64_t Copied(const std::vector<MatchRecord>& records)
{
    std::uint64_t copied = 0;
    for (const MatchRecord& r : records)
        copied += r.copy;
    return copied;
}

TEST(MatchDelta, AFileMostlyUnchangedSortsWhatChangedAndMatchesAsWell)
{
    // 3 MiB of text, its new version with 200 scattered edits of a few bytes, and two pieces of
    // the old file (2 KiB and 40 bytes) that stay where they were copied elsewhere as well. The
    // stretches found whole are left out of the suffix array; the copies of what lies in them
    // must still be found.
    const Bytes old = FakeText(3 << 20, 41);
    Bytes data = old;
    std::mt19937 rng(42);
    for (int k = 0; k < 200; ++k) {
        const std::size_t at = rng() % (data.size() - 8);
        for (std::size_t j = 0; j < 6; ++j)
            data[at + j] = static_cast<std::uint8_t>('A' + rng() % 26);
    }
    data.insert(data.begin() + 2000000, old.begin() + 500000, old.begin() + 502048);
    data.insert(data.begin() + 1000000, old.begin() + 2500000, old.begin() + 2500040);
    MatchWork work;
    EXPECT_LT(Copied(MatchedChecked(old, data, &work)), 1200u);  // the edits at most: neither copied piece
    EXPECT_LT(work.sorted, old.size() / 8);
    for (const HeldForm& form : kHeldForms) {
        SCOPED_TRACE(form.name);
        Bytes encoded, decoded;
        ASSERT_TRUE(
            form.encode(old.data(), old.size(), data.data(), data.size(), MatchFilter::kNone, 3, &encoded).ok());
        EXPECT_LT(encoded.size(), 8000u);
        ASSERT_TRUE(Decode(encoded, old, data.size(), &decoded, form).ok());
        EXPECT_EQ(decoded, data);
    }
    // A program, where changed addresses break up what is found whole, is sorted whole.
    const Bytes code = FakeCode(2 << 20, 43), edited = Edit(code, 44);
    MatchedChecked(code, edited, &work);
    EXPECT_EQ(work.sorted, code.size());
}

TEST(MatchDelta, PiecesPastedFromStretchesFoundWholeAreStillMatched)
{
    // A large text mostly unchanged, with 200 pieces of 40 to 100 bytes of it pasted elsewhere (a
    // line copied to another place). Each piece lies in a stretch of the old file that the new one
    // has whole as well, which the suffix array leaves out.
    const Bytes old = FakeText(3 << 20, 51);
    Bytes data = old;
    std::mt19937 rng(52);
    std::uint64_t pasted = 0;
    for (int k = 0; k < 200; ++k) {
        const std::size_t at = rng() % data.size(), from = rng() % (old.size() - 100), length = 40 + rng() % 61;
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), old.begin() + static_cast<std::ptrdiff_t>(from),
                    old.begin() + static_cast<std::ptrdiff_t>(from + length));
        pasted += length;
    }
    MatchWork work;
    // Found at anchors: all but the shortest, which may hold no anchor (one position in 16).
    EXPECT_LT(Copied(MatchedChecked(old, data, &work)), pasted / 20);
    EXPECT_LT(work.sorted, old.size() / 8);
}

TEST(MatchDelta, PiecesThatComeAgainAndAgainDoNotMakeTheSearchForStretchesGrow)
{
    // A run of a byte whose every position is an anchor (06), and a piece shorter than a stretch
    // looked for, each in the old file in 200 places and in the new file over and over: each
    // anchor of the new file could compare all their copies. Repeated anchors are looked at once;
    // the rest is held to a budget of a few times the files.
    for (const Bytes& unit : {Bytes(500, 0x06), Random(400, 77)}) {
        Bytes old = Random(4 << 20, 1);
        for (std::size_t i = 0; i < 200; ++i)
            std::copy(unit.begin(), unit.end(),
                      old.begin() + static_cast<std::ptrdiff_t>(i * (old.size() / 200) + 100));
        Bytes data(old.begin(), old.begin() + (2 << 20));
        for (std::size_t n = 0; n < (8u << 20) / unit.size(); ++n)
            data.insert(data.end(), unit.begin(), unit.end());
        data.insert(data.end(), old.begin() + (2 << 20), old.end());
        MatchWork work;
        MatchedChecked(old, data, &work);
        if (unit[0] == 0x06 && unit[1] == 0x06) {
            EXPECT_LT(work.compared, old.size() + data.size());
        }
        EXPECT_LT(work.compared, 4 * (old.size() + data.size()) + (1u << 26) + (1u << 20));
    }
}

TEST(MatchDelta, RoundTripsWithAndWithoutTheFilter)
{
    struct Case {
        Bytes old, data;
    };
    std::vector<Case> cases = {
        {FakeCode(3000000, 3), {}},
        {Random(50000, 4), {}},
        {{}, Random(1000, 5)},                 // nothing old to match
        {Random(1000, 6), {}},                 // an empty new file
        {Bytes(100000, 0), Bytes(120000, 0)},  // long runs of one byte
        {Bytes{0xE8, 0, 0, 0}, Bytes{0xE8, 1, 0, 0, 0xFF, 0xE9}},
    };
    cases[0].data = Edit(cases[0].old, 7);
    cases[1].data = Edit(cases[1].old, 8);
    for (const HeldForm& form : kHeldForms) {
        for (std::size_t c = 0; c < cases.size(); ++c) {
            for (MatchFilter filter : {MatchFilter::kNone, MatchFilter::kX86Branches}) {
                SCOPED_TRACE(::testing::Message()
                             << form.name << " case " << c << " filter " << static_cast<int>(filter));
                const Case& k = cases[c];
                Bytes encoded, decoded;
                ASSERT_TRUE(
                    form.encode(k.old.data(), k.old.size(), k.data.data(), k.data.size(), filter, 3, &encoded).ok());
                Result r = Decode(encoded, k.old, k.data.size(), &decoded, form);
                ASSERT_TRUE(r.ok()) << r.message;
                EXPECT_TRUE(decoded == k.data);
            }
        }
    }
}

// A large file's decoder undoes the transform a chunk at a time beside its records: a call whose
// operand straddles two chunks, at every place it can, comes out whole, in every held form.
TEST(MatchDelta, CallsAcrossTheDecodersChunksComeOutWhole)
{
    const Bytes old = FakeCode(3 << 20, 21);
    Bytes data = Edit(old, 22);
    data.resize(std::max<std::size_t>(data.size(), 3 * kChunkSize + 100));
    for (std::size_t j = 1; j * kChunkSize + 8 < data.size(); ++j) {
        // At the j-th chunk's end, the call starts 0 to 4 bytes before it (two at some ends).
        for (std::size_t back : {j % 5, (j + 2) % 5}) {
            const std::size_t at = j * kChunkSize - back;
            const std::uint8_t call[] = {0xE8, static_cast<std::uint8_t>(j), 0x10, 0x00, 0x00};
            std::copy(std::begin(call), std::end(call), data.begin() + static_cast<std::ptrdiff_t>(at));
        }
    }
    for (const HeldForm& form : kHeldForms) {
        SCOPED_TRACE(form.name);
        Bytes encoded, decoded;
        ASSERT_TRUE(
            form.encode(old.data(), old.size(), data.data(), data.size(), MatchFilter::kX86Branches, 3, &encoded).ok());
        Result r = Decode(encoded, old, data.size(), &decoded, form);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_EQ(decoded.size(), data.size());
        EXPECT_TRUE(decoded == data);
    }
}

TEST(MatchDelta, BranchFilterUndoesItselfInAnyPieces)
{
    Bytes code = FakeCode(100000, 9);
    Bytes filtered = code;
    X86BranchFilter::Encode(filtered.data(), filtered.size());
    EXPECT_NE(filtered, code);
    std::mt19937 rng(10);
    for (int round = 0; round < 20; ++round) {
        // Pieces as the decoder hands them on: the bytes held back come first in the next one.
        X86BranchFilter unfilter;
        Bytes out, buffer;
        for (std::size_t pos = 0; pos < filtered.size();) {
            std::size_t n = std::min<std::size_t>(filtered.size() - pos, rng() % (round < 10 ? 7 : 5000));
            buffer.insert(buffer.end(), filtered.begin() + static_cast<std::ptrdiff_t>(pos),
                          filtered.begin() + static_cast<std::ptrdiff_t>(pos + n));
            pos += n;
            std::size_t final = unfilter.DecodeInPlace(buffer.data(), buffer.size(), pos == filtered.size());
            ASSERT_GE(final + 4, buffer.size());
            out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(final));
            buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(final));
        }
        ASSERT_TRUE(buffer.empty());
        ASSERT_TRUE(out == code) << "round " << round;
    }
}

// The transform as patches already made have it, a byte at a time: an E8 or E9 with four bytes
// after it, those made absolute (by the position after them, from base) when the last is 00 or FF,
// and passed over either way.
Bytes TransformedByteByByte(Bytes data, std::uint64_t base, std::size_t block)
{
    for (std::size_t start = 0; start < data.size(); start += block) {
        const std::size_t end = std::min(data.size(), start + block);
        for (std::size_t i = start; i + 5 <= end; ++i) {
            if ((data[i] & 0xFE) != 0xE8)
                continue;
            if (data[i + 4] == 0 || data[i + 4] == 0xFF) {
                std::uint32_t v = 0;
                for (int k = 0; k < 4; ++k)
                    v |= static_cast<std::uint32_t>(data[i + 1 + k]) << (8 * k);
                v = (v + static_cast<std::uint32_t>(base + i + 5)) & 0x01FFFFFF;
                if (v & 0x01000000)
                    v |= 0xFF000000;
                for (int k = 0; k < 4; ++k)
                    data[i + 1 + k] = static_cast<std::uint8_t>(v >> (8 * k));
            }
            i += 4;
        }
    }
    return data;
}

TEST(MatchDelta, BranchFilterKeepsTheTransformOfPatchesMade)
{
    // Dense opcodes and near displacements, at every alignment and up to the ends, so that the
    // opcode search's word-at-a-time steps meet them at each of its byte places.
    std::mt19937 rng(11);
    const std::uint8_t kBytes[] = {0xE8, 0xE9, 0x00, 0xFF, 0xE8, 0x12, 0xEA, 0x69};
    for (int round = 0; round < 400; ++round) {
        Bytes data(round < 100 ? static_cast<std::size_t>(round) : rng() % 70000);
        for (auto& b : data)
            b = rng() % 3 == 0 ? static_cast<std::uint8_t>(rng()) : kBytes[rng() % std::size(kBytes)];
        Bytes whole = data;
        X86BranchFilter::Encode(whole.data(), whole.size());
        ASSERT_EQ(whole, TransformedByteByByte(data, 0, SIZE_MAX)) << "round " << round;
        // The opcodes marked as the file comes, and its bytes filtered as they are copied out.
        SCOPED_TRACE(::testing::Message() << "round " << round);
        ExpectCopiesFilteredAsMarked(data, whole, false, round % 2 == 0 ? 9 : 3000, &rng);
        Bytes blocks = data;
        X86BranchFilter::EncodeBlocks(blocks.data(), blocks.size(), kFilterBlock);
        ASSERT_EQ(blocks, TransformedByteByByte(data, kFilterBlock, kFilterBlock)) << "round " << round;
        X86BranchFilter::DecodeBlocks(blocks.data(), blocks.size(), kFilterBlock);
        ASSERT_EQ(blocks, data) << "round " << round;
        X86BranchFilter unfilter;
        ASSERT_EQ(unfilter.DecodeInPlace(whole.data(), whole.size(), true), whole.size());
        ASSERT_EQ(whole, data) << "round " << round;
    }
}

TEST(MatchDelta, AnOldFileReadInPiecesDecodesAsAWholeOne)
{
    // The old file read by the decoder's loader, in pieces down to a byte, and checked after the
    // records ran: the bytes read are never changed (the check reads them beside), the result is
    // the whole file's, and the check is asked once, whatever the records found.
    std::mt19937 rng(12);
    for (std::size_t size : {std::size_t{100000}, std::size_t{(1 << 20) + 77777}}) {
        const Bytes old = FakeCode(size, 13), data = Edit(old, 14);
        for (const HeldForm& form : kHeldForms) {
            SCOPED_TRACE(form.name);
            Bytes encoded;
            ASSERT_TRUE(
                form.encode(old.data(), old.size(), data.data(), data.size(), MatchFilter::kX86Branches, 3, &encoded)
                    .ok());
            // The delta decoded with the old file read by read and checked by check, which must
            // find it as read; what comes out into out.
            int checks = 0;
            Bytes buffer;  // where the reads below put the old file
            auto decode = [&](const Bytes& delta, const OldLoad::Read& read, Result verdict, Bytes* out,
                              std::size_t newSize) {
                out->clear();
                checks = 0;
                const OldLoad load{read,
                                   [&] {
                                       ++checks;
                                       EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), old.begin()));
                                       return verdict;
                                   },
                                   nullptr, nullptr, nullptr};
                return form.decode(
                    "f", DataSource(delta.data(), delta.size()), nullptr, old.size(), newSize,
                    [out](const std::uint8_t* p, std::size_t n) {
                        out->insert(out->end(), p, p + n);
                        return Result::Ok();
                    },
                    &load);
            };
            for (int round = 0; round < 3; ++round) {
                const std::size_t most = round == 0 ? 7 : round == 1 ? 5000 : 300000;
                const OldLoad::Read pieces = [&](OldBytes* bytes, const OldLoad::Progress& progress) {
                    buffer.clear();
                    buffer.reserve(old.size());
                    while (buffer.size() < old.size()) {
                        const std::size_t n = std::min(old.size() - buffer.size(), 1 + rng() % most);
                        buffer.insert(buffer.end(), old.begin() + static_cast<std::ptrdiff_t>(buffer.size()),
                                      old.begin() + static_cast<std::ptrdiff_t>(buffer.size() + n));
                        progress(buffer.data(), buffer.size());
                    }
                    *bytes = OldBytes{buffer.data(), buffer.size()};
                    return Result::Ok();
                };
                Bytes out;
                Result r = decode(encoded, pieces, Result::Ok(), &out, data.size());
                ASSERT_TRUE(r.ok()) << r.message;
                EXPECT_EQ(checks, 1);
                EXPECT_TRUE(out == data) << "round " << round;
            }
            const OldLoad::Read whole = [&](OldBytes* bytes, const OldLoad::Progress&) {
                buffer = old;
                *bytes = OldBytes{buffer.data(), buffer.size()};
                return Result::Ok();
            };
            const Result otherContents = Fail(Status::kWrongVersion, "other contents");
            Bytes out;
            // A file the check refuses, after the records ran on it, is what is told.
            EXPECT_EQ(decode(encoded, whole, otherContents, &out, data.size()).status, Status::kWrongVersion);
            EXPECT_EQ(checks, 1);
            // A read that fails is told, and nothing is checked; a file of another size is refused.
            const OldLoad::Read failing = [](OldBytes*, const OldLoad::Progress&) {
                return Fail(Status::kIoError, "unreadable");
            };
            EXPECT_EQ(decode(encoded, failing, Result::Ok(), &out, data.size()).status, Status::kIoError);
            EXPECT_EQ(checks, 0);
            const OldLoad::Read shorter = [&](OldBytes* bytes, const OldLoad::Progress&) {
                buffer.assign(old.begin(), old.end() - 1);
                *bytes = OldBytes{buffer.data(), buffer.size()};
                return Result::Ok();
            };
            EXPECT_EQ(decode(encoded, shorter, Result::Ok(), &out, data.size()).status, Status::kWrongVersion);
            // The old file is checked before the header is believed: with a header naming no
            // filter there is, the wrong old file is what is told, and the damage otherwise. So
            // with records that fall short of the new size, which they find at their end.
            Bytes damaged = encoded;
            damaged[0] = 0x7F;
            for (const Bytes* delta : {&damaged, &encoded})
                for (bool right : {false, true}) {
                    Result r = decode(*delta, whole, right ? Result::Ok() : otherContents, &out,
                                      data.size() + (delta == &encoded ? 1 : 0));
                    EXPECT_EQ(r.status, right ? Status::kPatchCorrupt : Status::kWrongVersion) << r.message;
                    EXPECT_EQ(checks, 1);
                }
        }
    }
}

TEST(MatchDelta, RecordsThatAddNothingStandWhereTheDecoderLetsThem)
{
    // Places as the matching may leave them for records that add nothing: past the old file, and
    // before it. Each is put at the nearer end; every record that adds keeps its place.
    auto places = [](const std::vector<MatchRecord>& records) {
        std::vector<std::int64_t> at;
        std::int64_t pos = 0;
        for (const MatchRecord& r : records) {
            at.push_back(pos);
            pos += static_cast<std::int64_t>(r.add) + r.seek;
        }
        return at;
    };
    std::vector<MatchRecord> records = {{10, 0, 100}, {0, 5, -95}, {5, 1, -25}, {0, 3, 12}, {4, 0, 0}};
    PlaceIdleRecords(&records, 20);
    EXPECT_EQ(places(records), (std::vector<std::int64_t>{0, 20, 15, 0, 7}));
    // Where records read the new file, up to the part of it made.
    records = {{10, 0, 15}, {4, 0, 100}, {0, 2, -110}, {3, 0, 0}};
    PlaceIdleRecords(&records, 20);
    EXPECT_EQ(places(records), (std::vector<std::int64_t>{0, 25, 34, 19}));
    // At random: every record that adds nothing within the old file, the others where they were.
    std::mt19937 rng(21);
    for (int round = 0; round < 2000; ++round) {
        const std::uint64_t oldSize = 1 + rng() % 50;
        std::vector<std::int64_t> wanted;
        std::vector<MatchRecord> given;
        for (int k = 0, n = 1 + static_cast<int>(rng() % 8); k < n; ++k) {
            const std::uint64_t add = rng() % 3 == 0 ? 0 : 1 + rng() % oldSize;
            wanted.push_back(k == 0    ? 0
                             : add > 0 ? static_cast<std::int64_t>(rng() % (oldSize - add + 1))
                                       : static_cast<std::int64_t>(rng() % 300) - 100);
            given.push_back({add, rng() % 5, 0});
        }
        for (std::size_t k = 0; k + 1 < given.size(); ++k)
            given[k].seek = wanted[k + 1] - wanted[k] - static_cast<std::int64_t>(given[k].add);
        std::vector<MatchRecord> placed = given;
        PlaceIdleRecords(&placed, oldSize);
        const std::vector<std::int64_t> after = places(placed);
        for (std::size_t k = 0; k < given.size(); ++k) {
            if (given[k].add > 0 || (wanted[k] >= 0 && wanted[k] <= static_cast<std::int64_t>(oldSize)))
                EXPECT_EQ(after[k], wanted[k]) << "round " << round << ", record " << k;
            else
                EXPECT_TRUE(after[k] >= 0 && after[k] <= static_cast<std::int64_t>(oldSize))
                    << "round " << round << ", record " << k;
        }
    }
}

TEST(MatchDelta, FilterMakesMovedCallsToFixedTargetsEqual)
{
    // The same call to the same target, from two places: equal once filtered.
    Bytes a(64, 0x90), b(64, 0x90);
    auto call = [](Bytes& code, std::size_t at, std::uint32_t target) {
        code[at] = 0xE8;
        std::uint32_t rel = target - static_cast<std::uint32_t>(at + 5);
        for (int k = 0; k < 4; ++k)
            code[at + 1 + k] = static_cast<std::uint8_t>(rel >> (8 * k));
    };
    call(a, 10, 40);
    call(b, 20, 40);
    X86BranchFilter::Encode(a.data(), a.size());
    X86BranchFilter::Encode(b.data(), b.size());
    EXPECT_TRUE(std::equal(a.begin() + 10, a.begin() + 15, b.begin() + 20));
}

TEST(MatchDelta, KnowsX86Programs)
{
    Bytes pe(0x200, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3C] = 0x80;
    std::memcpy(pe.data() + 0x80, "PE\0\0", 4);
    // x86-64 programs take filter 3.
    for (auto [machine, filter] : {std::pair{0x014C, MatchFilter::kX86Branches},
                                   {0x8664, MatchFilter::kX64References},
                                   {0xAA64, MatchFilter::kNone}}) {
        pe[0x84] = static_cast<std::uint8_t>(machine);
        pe[0x85] = static_cast<std::uint8_t>(machine >> 8);
        EXPECT_EQ(LooksLikeX86Code(pe.data(), pe.size()), filter != MatchFilter::kNone) << machine;
        EXPECT_EQ(ProgramFilter(pe.data(), pe.size()), filter) << machine;
    }
    pe[0x3C] = 0xFE;  // the PE header would lie past the end
    pe[0x3D] = 0x01;
    EXPECT_FALSE(LooksLikeX86Code(pe.data(), pe.size()));
    EXPECT_EQ(ProgramFilter(pe.data(), pe.size()), MatchFilter::kNone);
    Bytes elf(64, 0);
    std::memcpy(elf.data(),
                "\x7f"
                "ELF",
                4);
    elf[5] = 1;
    for (auto [machine, filter] : {std::pair{62, MatchFilter::kX64References}, {3, MatchFilter::kX86Branches}}) {
        elf[18] = static_cast<std::uint8_t>(machine);
        EXPECT_TRUE(LooksLikeX86Code(elf.data(), elf.size()));
        EXPECT_EQ(ProgramFilter(elf.data(), elf.size()), filter) << machine;
    }
    elf[5] = 2;  // big-endian: the machine's high byte first
    elf[18] = 0;
    elf[19] = 62;
    EXPECT_EQ(ProgramFilter(elf.data(), elf.size()), MatchFilter::kX64References);
    EXPECT_EQ(ProgramFilter(elf.data(), 8), MatchFilter::kNone);
    EXPECT_FALSE(LooksLikeX86Code(Random(4096, 11).data(), 4096));
}

TEST(MatchDelta, RefusesDamagedData)
{
    Bytes old = FakeCode(20000, 12);
    Bytes data = Edit(old, 13);
    for (const HeldForm& form : kHeldForms) {
        SCOPED_TRACE(form.name);
        Bytes encoded, decoded;
        ASSERT_TRUE(
            form.encode(old.data(), old.size(), data.data(), data.size(), MatchFilter::kX86Branches, 3, &encoded).ok());
        // Wrong sizes, an unknown filter or flag, stream lengths that do not add up, and every
        // byte flipped in turn: an error or (where zstd cannot tell) another output, never a
        // crash or overrun.
        EXPECT_FALSE(Decode(encoded, old, data.size() + 1, &decoded, form).ok());
        EXPECT_FALSE(Decode(encoded, old, data.size() - 1, &decoded, form).ok());
        Bytes bad = encoded;
        bad[0] = 2;
        EXPECT_FALSE(Decode(bad, old, data.size(), &decoded, form).ok());
        bad = encoded;
        bad[form.split ? 1 : 0] |= 0x80;
        EXPECT_FALSE(Decode(bad, old, data.size(), &decoded, form).ok());
        bad = encoded;
        bad[2] ^= 1;
        EXPECT_FALSE(Decode(bad, old, data.size(), &decoded, form).ok());
        bad = encoded;
        bad.push_back(0);
        EXPECT_FALSE(Decode(bad, old, data.size(), &decoded, form).ok());
        EXPECT_FALSE(Decode(Bytes(encoded.begin(), encoded.begin() + 20), old, data.size(), &decoded, form).ok());
        Bytes shortOld(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(old.size() / 2));
        Result r = Decode(encoded, shortOld, data.size(), &decoded, form);
        EXPECT_TRUE(!r.ok() || decoded != data);
        for (std::size_t i = 0; i < encoded.size(); i += 7) {
            bad = encoded;
            bad[i] ^= 0x5A;
            r = Decode(bad, old, data.size(), &decoded, form);
            if (r.ok())
                EXPECT_EQ(decoded.size(), data.size());
            else
                EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
        }
    }
}

// A match delta made by hand from its frames (four, or five for the streamed form; no filter).
Bytes FromFrames(const std::vector<Bytes>& frames)
{
    Bytes out = {0};
    for (const Bytes& frame : frames)
        for (int k = 0; k < 8; ++k)
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(frame.size()) >> (8 * k)));
    for (const Bytes& frame : frames)
        out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

// The same from its streams, each made a frame.
Bytes HandMadeOf(const std::vector<Bytes>& streams)
{
    std::vector<Bytes> frames;
    for (const Bytes& stream : streams) {
        Bytes frame;
        EXPECT_TRUE(EncodeZstd(stream.data(), stream.size(), nullptr, 0, 1, &frame).ok());
        frames.push_back(frame);
    }
    return FromFrames(frames);
}

Bytes HandMade(const Bytes& control, const Bytes& positions = {}, const Bytes& values = {}, const Bytes& extra = {})
{
    return HandMadeOf({control, positions, values, extra});
}

Bytes Records(std::size_t count, std::uint8_t add, std::uint8_t copy, std::uint8_t seek)
{
    Bytes control;
    for (std::size_t i = 0; i < count; ++i)
        control.insert(control.end(), {add, copy, seek});
    return control;
}

TEST(MatchDelta, WorkIsBoundedByTheOutput)
{
    Bytes old(300000, 'a'), decoded;
    // Records that produce nothing, over and over: refused at the second one, not run through.
    Bytes idle = Records(100000, 0, 0, 0);
    Result r = Decode(HandMade(idle), old, 100000, &decoded);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("produce nothing"), std::string::npos) << r.message;
    // One such record (the encoder may start with one that only moves the old position) is fine.
    Bytes first = Records(1, 0, 0, 4);
    first.insert(first.end(), {1, 0, 0});
    ASSERT_TRUE(Decode(HandMade(first), old, 1, &decoded).ok());
    // A control stream longer than any output of the declared size can need.
    r = Decode(HandMade(Records(40, 1, 0, 0)), old, 1, &decoded);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("can need"), std::string::npos) << r.message;
    // A delta of a byte a record: the decoder asks whether to go on by the records it reads, and a
    // stop ends it there.
    const std::size_t n = 300000;
    Bytes tiny = HandMade(Records(n, 1, 0, 0));
    int asked = 0;
    std::uint64_t produced = 0;
    r = DecodeMatchDelta("f", DataSource(tiny.data(), tiny.size()), old.data(), old.size(), n,
                         [&](const std::uint8_t*, std::size_t size) {
                             produced += size;
                             asked += size == 0;
                             return Result::Ok();
                         });
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(produced, n);
    EXPECT_GE(asked, static_cast<int>(n / 65536));
    r = DecodeMatchDelta("f", DataSource(tiny.data(), tiny.size()), old.data(), old.size(), n,
                         [&](const std::uint8_t*, std::size_t size) {
                             return size == 0 ? Fail(Status::kStopped, "stop") : Result::Ok();
                         });
    EXPECT_EQ(r.status, Status::kStopped);
}

TEST(MatchDelta, TheEncoderWritesNoRecordThatOnlyMoves)
{
    Bytes old = FakeCode(100000, 21), data = Edit(old, 22);
    std::vector<MatchRecord> records;
    ASSERT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records).ok());
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_TRUE(records[i].add > 0 || records[i].copy > 0) << i;
}

TEST(SplitMatchDelta, TheUnreadOldBytesAreGatheredInOrder)
{
    // Ranges within a word, on and across word boundaries, and runs of unread words, against a
    // byte-by-byte reckoning.
    std::mt19937 rng(31);
    std::vector<std::size_t> sizes = {0, 1, 63, 64, 65, 1000};
    for (int k = 0; k < 200; ++k)
        sizes.push_back(rng() % 2000);
    const std::uint8_t kCode[] = {0xE8, 0xE9, 0x00, 0xFF, 0x12};
    for (std::size_t size : sizes) {
        Bytes old = Random(size, static_cast<std::uint32_t>(size));
        if (size % 2 == 0)  // dense with opcodes the call filter changes
            for (auto& b : old)
                b = rng() % 3 == 0 ? b : kCode[rng() % std::size(kCode)];
        OldCoverage coverage(size);
        std::vector<bool> read(size);
        const int marks = static_cast<int>(rng() % 24);
        for (int k = 0; k < marks && size > 0; ++k) {
            std::size_t at = rng() % size, length = rng() % (size - at + 1);
            if (k % 2 == 1)
                length = std::min<std::size_t>(length, rng() % 70);
            coverage.Mark(at, length);
            std::fill(read.begin() + static_cast<std::ptrdiff_t>(at),
                      read.begin() + static_cast<std::ptrdiff_t>(at + length), true);
        }
        Bytes expected;
        for (std::size_t i = 0; i < size; ++i)
            if (!read[i])
                expected.push_back(old[i]);
        ASSERT_EQ(coverage.Unread(), expected.size()) << size;
        Bytes gathered(expected.size());
        coverage.GatherUnread(old.data(), gathered.data());
        EXPECT_EQ(gathered, expected) << size;
        // In two parts, split where Middle says, as two threads gather them: the same bytes, with
        // the operands the split cuts filtered as in the whole.
        std::uint64_t before = 0;
        const std::uint64_t middle = coverage.Middle(expected.size(), &before);
        ASSERT_TRUE(middle % 64 == 0 && middle <= size) << size;
        ASSERT_EQ(before, static_cast<std::uint64_t>(std::count(read.begin(), read.begin() + middle, false))) << size;
        EXPECT_TRUE(before >= expected.size() / 2 || middle + 64 > size) << size;
        FilterMarks filter(size);
        filter.Scan(old.data(), size);
        Bytes whole(expected.size()), parts(expected.size());
        coverage.GatherUnread(old.data(), whole.data(), &filter);
        coverage.GatherUnread(old.data(), parts.data(), &filter, 0, middle);
        coverage.GatherUnread(old.data(), parts.data() + before, &filter, middle, size);
        EXPECT_EQ(parts, whole) << size;
    }
}

// LEB128, as the records' streams hold their numbers, and zigzag for the seeks.
void PutNumber(Bytes* out, std::uint64_t v)
{
    for (; v >= 0x80; v >>= 7)
        out->push_back(static_cast<std::uint8_t>(v | 0x80));
    out->push_back(static_cast<std::uint8_t>(v));
}

TEST(SplitMatchDelta, LargeOldFilesGatherTheUnreadBytesWhereverTheyAre)
{
    // Old files of 1 MiB and more (whose unread bytes are gathered in two halves), dense with
    // opcodes the call filter changes, read by hand-made records in stretches that leave unread
    // bytes nowhere, everywhere, around the place the gathering is split at, and at the file's
    // ends. The extra frame is the unread bytes, filtered, compressed with themselves as prefix:
    // a decoder that gathers any other prefix makes other bytes.
    std::mt19937 rng(61);
    const std::uint8_t kCode[] = {0xE8, 0xE9, 0x00, 0xFF, 0x12};
    const std::size_t kMiB = 1 << 20;
    for (std::size_t size : {kMiB, kMiB + 1, kMiB + 63, kMiB + 64, kMiB + 67, 2 * kMiB + 4}) {
        Bytes old = Random(size, static_cast<std::uint32_t>(size));
        for (auto& b : old)
            b = rng() % 3 == 0 ? b : kCode[rng() % std::size(kCode)];
        Bytes filtered = old;
        X86BranchFilter::Encode(filtered.data(), filtered.size());
        for (int pattern = 0; pattern < 9; ++pattern) {
            SCOPED_TRACE(::testing::Message() << "size " << size << ", pattern " << pattern);
            // The stretches read, in order, apart.
            std::vector<std::pair<std::size_t, std::size_t>> reads;
            if (pattern == 1) {
                reads.push_back({0, size});
            } else if (pattern == 2 || pattern == 3) {
                // All but a run of a few bytes, first where the gathering splits a file with
                // nothing else unread (its middle word), then just before and after a 64-byte word.
                const std::size_t at = pattern == 2 ? size / 2 - 3 : (size / 128) * 64 - 2, length = 7;
                reads.push_back({0, at});
                reads.push_back({at + length, size});
            } else if (pattern == 4) {
                reads.push_back({0, size - 1 - size % 64 / 2});  // unread: the last bytes only
            } else if (pattern == 5) {
                reads.push_back({size % 61 + 1, size});  // unread: the first bytes only
            } else if (pattern >= 6) {
                // Many stretches, some short, across words and pages.
                for (std::size_t at = rng() % 300; at < size;) {
                    const std::size_t length =
                        std::min<std::size_t>(size - at, pattern == 6 ? 1 + rng() % 200 : 1 + rng() % 70000);
                    reads.push_back({at, at + length});
                    at += length + 1 + rng() % (pattern == 8 ? 100000 : 130);
                }
            }
            Bytes prefix, made;  // made: the new file as the records make it, filtered
            std::size_t unreadFrom = 0;
            for (const auto& [from, to] : reads) {
                prefix.insert(prefix.end(), filtered.begin() + static_cast<std::ptrdiff_t>(unreadFrom),
                              filtered.begin() + static_cast<std::ptrdiff_t>(from));
                made.insert(made.end(), filtered.begin() + static_cast<std::ptrdiff_t>(from),
                            filtered.begin() + static_cast<std::ptrdiff_t>(to));
                unreadFrom = to;
            }
            prefix.insert(prefix.end(), filtered.begin() + static_cast<std::ptrdiff_t>(unreadFrom), filtered.end());
            made.insert(made.end(), prefix.begin(), prefix.end());
            // A record to the first stretch, one for each, the last with the extra bytes.
            Bytes adds, copies, seeks;
            auto record = [&](std::uint64_t add, std::uint64_t copy, std::int64_t seek) {
                PutNumber(&adds, add);
                PutNumber(&copies, copy);
                PutNumber(&seeks, (static_cast<std::uint64_t>(seek) << 1) ^ static_cast<std::uint64_t>(seek >> 63));
            };
            if (reads.empty() || reads[0].first > 0)
                record(0, reads.empty() ? prefix.size() : 0,
                       reads.empty() ? 0 : static_cast<std::int64_t>(reads[0].first));
            for (std::size_t k = 0; k < reads.size(); ++k) {
                const bool last = k + 1 == reads.size();
                record(reads[k].second - reads[k].first, last ? prefix.size() : 0,
                       last ? 0 : static_cast<std::int64_t>(reads[k + 1].first - reads[k].second));
            }
            const Bytes delta = HandMadeSplitDelta(static_cast<std::uint8_t>(MatchFilter::kX86Branches),
                                                   kSplitUnreadPrefix, {adds, copies, seeks, {}, {}, prefix}, prefix);
            Bytes expected = made;
            X86BranchFilter unfilter;
            ASSERT_EQ(unfilter.DecodeInPlace(expected.data(), expected.size(), true), expected.size());
            Bytes decoded;
            Result r = Decode(delta, old, expected.size(), &decoded, kHeldForms[1]);
            ASSERT_TRUE(r.ok()) << r.message;
            EXPECT_TRUE(decoded == expected);
            // The same with the old file read by the decoder in pieces of odd sizes, which it
            // marks as they come.
            Bytes buffer;
            const OldLoad load{[&](OldBytes* bytes, const OldLoad::Progress& progress) {
                                   buffer.clear();
                                   buffer.reserve(old.size());
                                   while (buffer.size() < old.size()) {
                                       const std::size_t n = std::min<std::size_t>(
                                           old.size() - buffer.size(), rng() % 2 ? 1 + rng() % 70 : 1 + rng() % 200000);
                                       buffer.insert(buffer.end(),
                                                     old.begin() + static_cast<std::ptrdiff_t>(buffer.size()),
                                                     old.begin() + static_cast<std::ptrdiff_t>(buffer.size() + n));
                                       progress(buffer.data(), buffer.size());
                                   }
                                   *bytes = OldBytes{buffer.data(), buffer.size()};
                                   return Result::Ok();
                               },
                               nullptr, nullptr, nullptr, nullptr};
            decoded.clear();
            r = DecodeSplitMatchDelta(
                "f", DataSource(delta.data(), delta.size()), nullptr, old.size(), expected.size(),
                [&](const std::uint8_t* p, std::size_t n) {
                    decoded.insert(decoded.end(), p, p + n);
                    return Result::Ok();
                },
                &load);
            ASSERT_TRUE(r.ok()) << r.message;
            EXPECT_TRUE(decoded == expected);
        }
    }
}

// The length of a split delta's frame i, from its header.
std::uint64_t SplitFrameLength(const Bytes& delta, int i)
{
    std::uint64_t length = 0;
    for (int k = 0; k < 8; ++k)
        length |= static_cast<std::uint64_t>(delta[2 + 8 * static_cast<std::size_t>(i) + static_cast<std::size_t>(k)])
                  << (8 * k);
    return length;
}

// Text whose names were renamed, each letter into another the same way throughout (minified code
// built again): the changed bytes' values are coded by the letters they change, at a fraction of a
// bit each, where on their own they take several.
TEST(SplitMatchDelta, RenamedNamesCostLittleWhereTheValuesAreCodedByTheBytesTheyChange)
{
    const Bytes old = FakeText(3 << 20, 71);
    Bytes data = old;
    std::mt19937 rng(72);
    std::string letters = "abcdefghijklmnopqrstuvwxyz", renamed = letters;
    std::shuffle(renamed.begin(), renamed.end(), rng);
    std::size_t changes = 0;
    // In a stretch of every 4 KiB, a few names renamed.
    for (std::size_t at = 0; at + 4096 <= data.size(); at += 4096)
        for (std::size_t i = at; i < at + 100; ++i)
            if (data[i] >= 'a' && data[i] <= 'z' && renamed[data[i] - 'a'] != data[i]) {
                data[i] = static_cast<std::uint8_t>(renamed[data[i] - 'a']);
                ++changes;
            }
    for (const HeldForm& form : {kHeldForms[1], kHeldForms[2]}) {
        SCOPED_TRACE(form.name);
        Bytes encoded, decoded;
        ASSERT_TRUE(
            form.encode(old.data(), old.size(), data.data(), data.size(), MatchFilter::kNone, 9, &encoded).ok());
        ASSERT_GE(encoded.size(), 2u + 8 * kSplitStreams);
        EXPECT_NE(encoded[1] & kSplitModeledValues, 0);
        const std::uint64_t valuesFrame = SplitFrameLength(encoded, 4);
        EXPECT_LT(valuesFrame, changes / 4) << changes << " changes";
        Result r = Decode(encoded, old, data.size(), &decoded, form);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(decoded == data);
    }
}

// A file made of another with pieces of a third put in: after each piece the records go back to
// where they were, a short distance from a place the model keeps, where a seek is a far jump.
TEST(SplitMatchDelta, RecordsThatGoBackWhereTheyCameFromCostShortDistances)
{
    Bytes old;
    for (std::uint32_t f = 0; f < 8; ++f) {
        const Bytes file = Random(256 << 10, 80 + f);
        old.insert(old.end(), file.begin(), file.end());
    }
    const std::size_t sixth = 5 * (256 << 10);
    Bytes data;
    std::size_t records = 0;
    std::mt19937 rng(89);
    for (std::size_t at = 0; at + 2600 <= (256 << 10); ++records) {
        const std::size_t length = 1500 + rng() % 1000, piece = sixth + rng() % (200 << 10),
                          pieceLength = 200 + rng() % 200;
        data.insert(data.end(), old.begin() + static_cast<std::ptrdiff_t>(at),
                    old.begin() + static_cast<std::ptrdiff_t>(at + length));
        data.insert(data.end(), old.begin() + static_cast<std::ptrdiff_t>(piece),
                    old.begin() + static_cast<std::ptrdiff_t>(piece + pieceLength));
        at += length;
    }
    for (const HeldForm& form : {kHeldForms[1], kHeldForms[2]}) {
        SCOPED_TRACE(form.name);
        Bytes encoded, decoded;
        ASSERT_TRUE(
            form.encode(old.data(), old.size(), data.data(), data.size(), MatchFilter::kNone, 9, &encoded).ok());
        ASSERT_GE(encoded.size(), 2u + 8 * kSplitStreams);
        EXPECT_NE(encoded[1] & kSplitModeledRecords, 0);
        const std::uint64_t seeksFrame = SplitFrameLength(encoded, 2);
        // Each piece's seeks, there and back, take 6 bytes as numbers.
        EXPECT_LT(seeksFrame, 4 * records) << records << " pieces";
        Result r = Decode(encoded, old, data.size(), &decoded, form);
        ASSERT_TRUE(r.ok()) << r.message;
        ASSERT_TRUE(decoded == data);
    }
}

TEST(SplitMatchDelta, ANewPieceIsCodedAgainstTheOldPieceItReplaced)
{
    // Between unchanged stretches, a piece made of the replaced piece's words in another order:
    // too short to match one by one, but the words are in the old bytes no record reads.
    std::mt19937 rng(41);
    std::vector<std::string> words(400);
    for (std::string& w : words)
        for (std::size_t k = rng() % 8 + 5; k > 0; --k)
            w.push_back(static_cast<char>('a' + rng() % 26));
    auto piece = [&](std::uint32_t seed) {
        std::mt19937 pick(seed);
        Bytes b;
        for (int k = 0; k < 3000; ++k) {
            const std::string& w = words[pick() % words.size()];
            b.insert(b.end(), w.begin(), w.end());
            b.push_back(' ');
        }
        return b;
    };
    Bytes before = Random(200000, 42), after = Random(200000, 43);
    Bytes oldPiece = piece(44), newPiece = piece(45);
    Bytes old = before, data = before;
    old.insert(old.end(), oldPiece.begin(), oldPiece.end());
    data.insert(data.end(), newPiece.begin(), newPiece.end());
    old.insert(old.end(), after.begin(), after.end());
    data.insert(data.end(), after.begin(), after.end());
    Bytes encoded, decoded;
    ASSERT_TRUE(EncodeSplit(old.data(), old.size(), data.data(), data.size(), MatchFilter::kNone, 19, &encoded).ok());
    EXPECT_NE(encoded[1] & kSplitUnreadPrefix, 0);
    Result r = Decode(encoded, old, data.size(), &decoded, kHeldForms[1]);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(decoded == data);
    // Without the prefix the extra frame cannot decode to the same bytes.
    encoded[1] &= static_cast<std::uint8_t>(~kSplitUnreadPrefix);
    r = Decode(encoded, old, data.size(), &decoded, kHeldForms[1]);
    EXPECT_FALSE(r.ok() && decoded == data);
}

// A split delta made by hand, without a filter.
Bytes SplitOf(std::uint8_t flags, const std::vector<Bytes>& streams, const Bytes& extraPrefix = {})
{
    return HandMadeSplitDelta(0, flags, streams, extraPrefix);
}

TEST(SplitMatchDelta, PiecesThatComeAgainInTheNewFileAreReadFromIt)
{
    // Two programs built from the same code: both changed the same way, and the second's copy is
    // read from the first one's new bytes, not from its own old ones with the changes again.
    // Between them, a run and a short-period repeat, read from the bytes just made.
    Bytes shared = FakeCode(150000, 51), own = FakeCode(30000, 52);
    Bytes old = shared, data = Edit(shared, 53);
    old.insert(old.end(), own.begin(), own.end());
    old.insert(old.end(), shared.begin(), shared.end());
    const Bytes changed = data;
    data.insert(data.end(), 5000, 'z');
    for (int k = 0; k < 500; ++k)
        data.insert(data.end(), {'a', 'b', 'c', 'd', 'e', 'f', 'g'});
    data.insert(data.end(), own.begin(), own.end());
    data.insert(data.end(), changed.begin(), changed.end());

    std::vector<MatchRecord> records;
    MatchOptions options;
    options.readsOutput = true;
    options.seekByteCost = 4;
    ASSERT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records, nullptr, options).ok());
    // Every byte a record reads is one of the old file or one the new file has made before it.
    std::uint64_t newPos = 0, fromNew = 0;
    std::int64_t oldPos = 0;
    for (const MatchRecord& r : records) {
        if (r.add > 0) {
            ASSERT_GE(oldPos, 0);
            ASSERT_LT(static_cast<std::uint64_t>(oldPos), old.size() + newPos);
            for (std::uint64_t i = 0; i < r.add; ++i) {
                const auto at = static_cast<std::uint64_t>(oldPos) + i;
                fromNew += at >= old.size() ? 1 : 0;
            }
        }
        newPos += r.add + r.copy;
        oldPos += static_cast<std::int64_t>(r.add) + r.seek;
    }
    EXPECT_EQ(newPos, data.size());
    EXPECT_GT(fromNew, changed.size() * 9 / 10);

    Bytes reading, plain, decoded;
    ASSERT_TRUE(EncodeSplitReadingOutput(old.data(), old.size(), data.data(), data.size(), MatchFilter::kX86Branches,
                                         19, &reading)
                    .ok());
    ASSERT_TRUE(
        EncodeSplit(old.data(), old.size(), data.data(), data.size(), MatchFilter::kX86Branches, 19, &plain).ok());
    EXPECT_NE(reading[1] & kSplitReadsOutput, 0);
    EXPECT_EQ(plain[1] & kSplitReadsOutput, 0);
    EXPECT_LT(reading.size(), plain.size());
    Result r = Decode(reading, old, data.size(), &decoded, kHeldForms[2]);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(decoded == data);
    // Without the flag, the positions past the old file's end are outside it.
    reading[1] &= static_cast<std::uint8_t>(~kSplitReadsOutput);
    EXPECT_EQ(Decode(reading, old, data.size(), &decoded, kHeldForms[2]).status, Status::kPatchCorrupt);
}

// In a large file the large streams are decoded a piece ahead, on the second thread: a frame cut
// short there is refused as corrupt, wherever it is cut, and what it did make comes first.
TEST(SplitMatchDelta, AStreamDecodedAheadAndCutShortIsRefused)
{
    const Bytes text = FakeText(3 << 20, 61);
    Bytes copies;
    for (std::uint64_t v = text.size(); v != 0; v >>= 7)
        copies.push_back(static_cast<std::uint8_t>((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
    const Bytes old(1000, 'x');
    const Bytes whole = SplitOf(0, {{0}, copies, {0}, {}, {}, text});
    Bytes decoded;
    Result r = Decode(whole, old, text.size(), &decoded, kHeldForms[1]);
    ASSERT_TRUE(r.ok()) << r.message;
    ASSERT_TRUE(decoded == text);

    const std::size_t lengthAt = 2 + 8 * 5;  // the extra frame's, the last
    std::uint64_t frame = 0;
    for (int k = 0; k < 8; ++k)
        frame |= static_cast<std::uint64_t>(whole[lengthAt + k]) << (8 * k);
    for (std::uint64_t cut : {std::uint64_t{1}, std::uint64_t{5000}, frame / 2, frame - 20}) {
        SCOPED_TRACE(::testing::Message() << "cut " << cut << " of " << frame);
        Bytes damaged(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(cut));
        for (int k = 0; k < 8; ++k)
            damaged[lengthAt + k] = static_cast<std::uint8_t>((frame - cut) >> (8 * k));
        r = Decode(damaged, old, text.size(), &decoded, kHeldForms[1]);
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
        ASSERT_LT(decoded.size(), text.size());
        EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), text.begin()));
    }
}

// A range coder as the format describes it, for modeled streams made by hand.
struct TestRangeCoder {
    Bytes out;
    std::uint64_t low = 0, pending = 1;
    std::uint32_t range = 0xFFFFFFFF;
    std::uint8_t cache = 0;

    void ShiftLow()
    {
        if (static_cast<std::uint32_t>(low) < 0xFF000000u || (low >> 32) != 0) {
            for (std::uint8_t byte = cache; pending > 0; --pending, byte = 0xFF)
                out.push_back(static_cast<std::uint8_t>(byte + (low >> 32)));
            cache = static_cast<std::uint8_t>(low >> 24);
        }
        ++pending;
        low = (low & 0x00FFFFFF) << 8;
    }
    // A bit with probability *p (of 4096) of 0, which moves by >> 4, as the records' do.
    void Bit(std::uint16_t* p, unsigned bit)
    {
        const std::uint32_t bound = (range >> 12) * *p;
        if (bit == 0) {
            range = bound;
            *p = static_cast<std::uint16_t>(*p + ((4096 - *p) >> 4));
        } else {
            low += bound;
            range -= bound;
            *p = static_cast<std::uint16_t>(*p - (*p >> 4));
        }
        for (; range < (1u << 24); range <<= 8)
            ShiftLow();
    }
    // A number of at most 1 bit (its length in 7 bits, from the top), or a base (3 bits).
    void Tree(std::vector<std::uint16_t>* probabilities, unsigned value, int bits)
    {
        for (unsigned node = 1, k = static_cast<unsigned>(bits); k-- > 0;) {
            const unsigned bit = (value >> k) & 1;
            Bit(&(*probabilities)[node], bit);
            node = node * 2 + bit;
        }
    }
    Bytes Finish()
    {
        for (int i = 0; i < 5; ++i)
            ShiftLow();
        return out;
    }
};

// count modeled records that each read the old file's first byte again: add 1, copy 0, then back
// by 1 (base 0, distance zigzag(-1) = 1).
Bytes ModeledRereads(std::size_t count)
{
    TestRangeCoder adds, copies, seeks;
    std::vector<std::uint16_t> addTree(128, 2048), copyTree(128, 2048), baseTree(8, 2048), distanceTree(128, 2048);
    for (std::size_t i = 0; i < count; ++i) {
        adds.Tree(&addTree, 1, 7);
        copies.Tree(&copyTree, 0, 7);
        seeks.Tree(&baseTree, 0, 3);
        seeks.Tree(&distanceTree, 1, 7);
    }
    return SplitOf(kSplitModeledRecords, {adds.Finish(), copies.Finish(), seeks.Finish(), {}, {}, {}});
}

// Modeled streams cost more to decode than plain ones: a reader takes no more of them than a
// builder writes for a new file of the size.
TEST(SplitMatchDelta, ModeledStreamsAreBoundedByTheNewSize)
{
    const Bytes old = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    Bytes decoded;
    Result r = Decode(ModeledRereads(4096), old, 4096, &decoded, kHeldForms[1]);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(decoded, Bytes(4096, 'a'));
    r = Decode(ModeledRereads(4097), old, 4097, &decoded, kHeldForms[1]);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("more modeled records than"), std::string::npos) << r.message;

    // 70,000 values for a new file of 70,000 bytes: more than 65,536, and than one per 64 bytes.
    Bytes values;
    PutNumber(&values, 70000);
    values.insert(values.end(), 5, 0);
    r = Decode(SplitOf(kSplitModeledValues, {{0x80, 0x80, 0x01}, {0}, {0}, {0}, values, {}}), old, 70000, &decoded,
               kHeldForms[1]);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("more modeled values than"), std::string::npos) << r.message;
}

TEST(SplitMatchDelta, HandMadeDeltasDecodeOrAreRefused)
{
    const HeldForm& split = kHeldForms[1];
    const Bytes old = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    const std::uint8_t both = kSplitUnreadPrefix | kSplitJointChanges;
    Bytes decoded;
    // abcd read with its third byte changed (interleaved: 2 unchanged, then +1), efgh from the
    // extra frame, which has the unread old bytes (efgh) as its prefix.
    Bytes good = SplitOf(both, {{4}, {4}, {0}, {2, 1}, {}, {'e', 'f', 'g', 'h'}}, {'e', 'f', 'g', 'h'});
    Result r = Decode(good, old, 8, &decoded, split);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(decoded, (Bytes{'a', 'b', 'd', 'd', 'e', 'f', 'g', 'h'}));

    struct Case {
        Bytes delta;
        const char* reason;
    };
    const Case cases[] = {
        {SplitOf(64, {{8}, {0}, {0}, {}, {}, {}}), "unknown flags 64"},
        // Modeled records: each coder starts with 5 bytes, and reads no further than its stream.
        {SplitOf(kSplitModeledRecords, {{0, 0, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {}, {}, {}}),
         "(adds) is used up too soon"},
        {SplitOf(kSplitModeledRecords, {{0, 0, 0, 0, 0, 0}, {}, {0, 0, 0, 0, 0}, {}, {}, {}}),
         "(copies) is used up too soon"},
        // Modeled values: never interleaved, no more than the new file has, and all of their
        // coder's bytes but the last 4 read.
        {SplitOf(kSplitModeledValues | kSplitJointChanges, {{8}, {0}, {0}, {}, {0}, {}}), "modeled values interleaved"},
        {SplitOf(kSplitModeledValues, {{8}, {0}, {0}, {0}, {9, 0, 0, 0, 0, 0}, {}}), "more changed bytes than"},
        {SplitOf(kSplitModeledValues, {{8}, {0}, {0}, {0}, {1, 0, 0}, {}}), "(values) is used up too soon"},
        {SplitOf(kSplitModeledValues, {{8}, {0}, {0}, {}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}}), "left over after"},
        // Branch targets moved where there are no branches.
        {SplitOf(kSplitProjected, {{8}, {0}, {0}, {}, {}, {}}), "without the call filter"},
        // A record that reads the new file where it is not made yet.
        {SplitOf(kSplitReadsOutput, {{4, 4}, {0, 0}, {16, 0}, {}, {}, {}}), "and the new file made so far"},
        {SplitOf(kSplitReadsOutput | kSplitUnreadPrefix, {{4, 4}, {0, 0}, {16, 0}, {}, {}, {}}),
         "and the new file made so far"},
        // Without the flag, the same positions are outside the old file.
        {SplitOf(0, {{4, 4}, {0, 0}, {8, 0}, {}, {}, {}}), "reads outside the old file"},
        // A position without its value, or values beside interleaved changes.
        {SplitOf(kSplitJointChanges, {{8}, {0}, {0}, {2}, {}, {}}), "used up too soon"},
        {SplitOf(kSplitJointChanges, {{8}, {0}, {0}, {2, 1}, {1}, {}}), "larger than the new file can need"},
        // The first walk of the records, for the prefix, checks them as the second does.
        {SplitOf(kSplitUnreadPrefix, {{4}, {}, {0}, {}, {}, {1, 2, 3, 4}}), "used up too soon"},
        {SplitOf(kSplitUnreadPrefix, {{9}, {0}, {0}, {}, {}, {}}), "runs past the new size"},
        {SplitOf(kSplitUnreadPrefix, {{4, 4}, {0, 0}, {10, 0}, {}, {}, {}}), "reads outside the old file"},
        {SplitOf(kSplitUnreadPrefix, {{0, 0, 8}, {0, 0, 0}, {0, 0, 0}, {}, {}, {}}), "produce nothing"},
        // Numbers in the wrong streams leave one used up before the end.
        {SplitOf(0, {{4, 4}, {0}, {0, 0}, {}, {}, {}}), "used up too soon"},
        {SplitOf(0, {{8}, {0, 0}, {0}, {}, {}, {}}), "left over"},
    };
    for (const Case& c : cases) {
        r = Decode(c.delta, old, 8, &decoded, split);
        EXPECT_EQ(r.status, Status::kPatchCorrupt) << c.reason;
        EXPECT_NE(r.message.find(c.reason), std::string::npos) << c.reason << ": " << r.message;
    }
    // Records that read the new file made so far: abcd from the old file, then 8 bytes from the
    // new file's start, each made just before it is read (abcd twice more), the last with its
    // first byte changed.
    r = Decode(SplitOf(kSplitReadsOutput | kSplitJointChanges, {{4, 8}, {0, 0}, {8, 0}, {8, 1}, {}, {}}), old, 12,
               &decoded, split);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_EQ(decoded, (Bytes{'a', 'b', 'c', 'd', 'a', 'b', 'c', 'd', 'b', 'b', 'c', 'd'}));
    // Without the flag the extra frame has no prefix, and cannot decode.
    Bytes noPrefix = good;
    noPrefix[1] = kSplitJointChanges;
    EXPECT_FALSE(Decode(noPrefix, old, 8, &decoded, split).ok() && decoded == Bytes(old));
}

// The streamed form: the old file read by position through an open file, a page at a time.
namespace streamed {

// An old file open for reading that tells how it was read, and can be cut short.
class WatchedInput : public InputFile {
public:
    WatchedInput(const Bytes& bytes, std::size_t visible) : bytes_(bytes), visible_(visible) {}
    Result Read(std::uint8_t*, std::size_t, std::size_t*) override
    {
        return Fail(Status::kIoError, "read in order");  // the decoder reads by position only
    }
    Result ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        largest = std::max(largest, size);
        *got = offset >= visible_ ? 0 : std::min<std::size_t>(size, visible_ - static_cast<std::size_t>(offset));
        std::memcpy(buffer, bytes_.data() + offset, *got);
        read += *got;
        return Result::Ok();
    }
    Result Info(FileInfo* info) override
    {
        info->size = visible_;
        return Result::Ok();
    }
    std::size_t largest = 0;
    std::uint64_t read = 0;

private:
    const Bytes& bytes_;
    std::size_t visible_;
};

Result Decode(const Bytes& encoded, const Bytes& old, std::uint64_t newSize, Bytes* out, WatchedInput* file = nullptr)
{
    WatchedInput own(old, old.size());
    out->clear();
    return DecodeStreamedMatchDelta("f", DataSource(encoded.data(), encoded.size()), file != nullptr ? *file : own,
                                    old.size(), newSize, [&](const std::uint8_t* p, std::size_t n) {
                                        out->insert(out->end(), p, p + n);
                                        return Result::Ok();
                                    });
}

// FakeCode behind a PE header, so that the encoder filters it.
Bytes Program(std::size_t n, std::uint32_t seed)
{
    Bytes b = FakeCode(n, seed);
    b[0] = 'M';
    b[1] = 'Z';
    b[0x3C] = 0x80;
    b[0x3D] = b[0x3E] = b[0x3F] = 0;
    std::memcpy(b.data() + 0x80, "PE\0\0\x64\x86", 6);
    return b;
}

TEST(StreamedMatchDelta, RoundTripsReadingTheOldFileByPages)
{
    struct Case {
        Bytes old, data;
    };
    std::vector<Case> cases = {
        {Program(3 * 65536 + 1234, 31), {}},  // filtered; blocks and a short last one
        {Random(300000, 32), {}},
        {Random(1000, 33), {}},                // an empty new file
        {Bytes(200000, 0), Bytes(250000, 0)},  // long runs of one byte
        {Bytes{0xE8, 0, 0, 0}, Bytes{0xE8, 1, 0, 0, 0xFF, 0xE9}},
    };
    cases[0].data = Edit(cases[0].old, 34);
    cases[0].data[0] = 'M';  // still a program after the edit
    cases[1].data = Edit(cases[1].old, 35);
    for (std::size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE(::testing::Message() << "case " << c);
        Case k = cases[c];
        Bytes encoded, automatic, again, decoded;
        // Filter 2 for the program; the automatic choice keeps the smaller of with and without.
        ASSERT_TRUE(EncodeStreamedMatchDelta(k.old.data(), k.old.size(), k.data.data(), k.data.size(),
                                             c == 0 ? MatchFilter::kX86BranchesByBlock : MatchFilter::kNone, 3,
                                             &encoded)
                        .ok());
        EXPECT_EQ(encoded[0], c == 0 ? 2 : 0);
        ASSERT_TRUE(
            EncodeStreamedMatchDelta(k.old.data(), k.old.size(), k.data.data(), k.data.size(), 3, &automatic).ok());
        EXPECT_LE(automatic.size(), encoded.size());
        ASSERT_TRUE(Decode(automatic, k.old, k.data.size(), &decoded).ok());
        EXPECT_TRUE(decoded == k.data);
        // In place, the filter is undone after: the same data, the buffers as they were.
        Bytes oldCopy = k.old, dataCopy = k.data;
        ASSERT_TRUE(EncodeStreamedMatchDelta(oldCopy.data(), oldCopy.size(), dataCopy.data(), dataCopy.size(), 3,
                                             &again, oldCopy.data(), dataCopy.data())
                        .ok());
        EXPECT_EQ(again, automatic);
        EXPECT_TRUE(oldCopy == k.old && dataCopy == k.data);
        WatchedInput file(k.old, k.old.size());
        Result r = Decode(encoded, k.old, k.data.size(), &decoded, &file);
        ASSERT_TRUE(r.ok()) << r.message;
        EXPECT_TRUE(decoded == k.data);
        EXPECT_LE(file.largest, kFilterBlock);
    }
}

TEST(StreamedMatchDelta, BlockFilterWorksOnEachBlockAlone)
{
    Bytes code = FakeCode(5 * kFilterBlock + 77, 36);
    // A branch whose displacement runs into the next block is left as it is.
    const std::size_t edge = 2 * kFilterBlock - 3;
    code[edge] = 0xE8;
    code[edge + 1] = 0x10;
    code[edge + 2] = code[edge + 3] = 0;  // (the next block begins here)
    code[edge + 4] = 0;
    Bytes whole = code;
    X86BranchFilter::EncodeBlocks(whole.data(), whole.size(), 0);
    EXPECT_NE(whole, code);
    EXPECT_EQ(whole[edge + 1], 0x10);
    for (std::size_t at = 0; at < code.size(); at += kFilterBlock) {
        std::size_t n = std::min(kFilterBlock, code.size() - at);
        Bytes page(code.begin() + static_cast<std::ptrdiff_t>(at), code.begin() + static_cast<std::ptrdiff_t>(at + n));
        X86BranchFilter::EncodeBlocks(page.data(), n, at);
        ASSERT_TRUE(std::equal(page.begin(), page.end(), whole.begin() + static_cast<std::ptrdiff_t>(at))) << at;
    }
    X86BranchFilter::DecodeBlocks(whole.data(), whole.size(), 0);
    EXPECT_EQ(whole, code);
}

TEST(StreamedMatchDelta, TheBlockHashFindsMovedPiecesWithBoundedWork)
{
    Bytes old = FakeCode(400000, 37), data = Edit(old, 38);
    std::vector<MatchRecord> records;
    MatchOptions blocks{MatchIndex::kBlockHash, 75};
    ASSERT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records, nullptr, blocks).ok());
    std::uint64_t copied = 0;
    for (const MatchRecord& r : records)
        copied += r.copy;
    EXPECT_EQ(Apply(records, old, data), data);
    EXPECT_LT(copied, data.size() / 15);  // the inserted bytes (2%) and little else
    // Long runs: a block repeated over and over is indexed once, and the scan does not look up
    // each position of a match that the current offset already covers.
    Bytes zeros(1 << 21, 0), marked(1 << 21, 0);
    for (std::size_t i = 0; i < marked.size(); i += 4093)
        marked[i] = 1;
    MatchWork work;
    ASSERT_TRUE(FindMatches(zeros.data(), zeros.size(), marked.data(), marked.size(), &records, &work, blocks).ok());
    EXPECT_EQ(Apply(records, zeros, marked), marked);
    EXPECT_LT(work.lookups, marked.size() / 16);
}

TEST(StreamedMatchDelta, RefusesDamageAndAnOldFileThatChanged)
{
    Bytes old = Program(70000, 39), data = Edit(old, 40), encoded, decoded;
    data[0] = 'M';
    ASSERT_TRUE(EncodeStreamedMatchDelta(old.data(), old.size(), data.data(), data.size(),
                                         MatchFilter::kX86BranchesByBlock, 3, &encoded)
                    .ok());
    ASSERT_EQ(encoded[0], 2);
    Bytes bad = encoded;
    bad[0] = 1;  // the held form's filter, which needs the whole file before each byte
    EXPECT_EQ(Decode(bad, old, data.size(), &decoded).status, Status::kPatchCorrupt);
    EXPECT_EQ(Decode(encoded, old, data.size() + 1, &decoded).status, Status::kPatchCorrupt);
    // Every 7th byte flipped: refused as corrupt, or (where zstd cannot tell) the right size.
    for (std::size_t i = 0; i < encoded.size(); i += 7) {
        bad = encoded;
        bad[i] ^= 0x5A;
        Result r = Decode(bad, old, data.size(), &decoded);
        if (r.ok())
            EXPECT_EQ(decoded.size(), data.size());
        else
            EXPECT_EQ(r.status, Status::kPatchCorrupt) << i << ": " << r.message;
    }
    // An old file shorter than it was when checked: a file that changed, not a damaged patch.
    WatchedInput cut(old, old.size() / 2);
    Result r = Decode(encoded, old, data.size(), &decoded, &cut);
    EXPECT_EQ(r.status, Status::kWrongVersion) << r.message;
}

TEST(StreamedMatchDelta, MemoryIsBoundedWhateverThePatchAsks)
{
    Bytes old(100, 'a'), decoded;
    // Three changed bytes in a run of two and a run of one.
    Bytes control = {10, 0, 0}, gaps = {2, 3}, lengths = {1, 0}, values = {1, 1, 1};
    ASSERT_TRUE(Decode(HandMadeOf({control, gaps, lengths, values, {}}), old, 10, &decoded).ok());
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), "aabbaaabaa");
    // A run longer than the values there are.
    Result r = Decode(HandMadeOf({control, gaps, {5, 0}, values, {}}), old, 10, &decoded);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("run of changes"), std::string::npos) << r.message;
    // A frame that needs a window of 16 MiB (its content, in one segment), beyond the 8 MiB the
    // streamed form allows, is refused before it is decoded.
    const std::size_t big = 16u << 20;
    Bytes zeros(big, 0), copyAll;
    for (std::uint64_t v = big; v >= 0x80; v >>= 7)
        copyAll.push_back(static_cast<std::uint8_t>(v | 0x80));
    copyAll.push_back(static_cast<std::uint8_t>(big >> 21));
    Bytes record = {0};
    record.insert(record.end(), copyAll.begin(), copyAll.end());
    record.push_back(0);
    r = Decode(HandMadeOf({record, {}, {}, {}, zeros}), old, big, &decoded);
    EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
}

// Records that jump between two pages that share the decoder's slot, a byte at a time: refused
// once the old file has been read a few times the new size over, not read for hours.
TEST(StreamedMatchDelta, ADeltaThatReadsTheOldFileOverAndOverIsRefused)
{
    Bytes old(5 << 20, 7), decoded;
    const std::int64_t far = 64 * 65536;  // the page 64 pages on shares the slot of the first
    Bytes control;
    auto put = [&](std::uint64_t v) {
        for (; v >= 0x80; v >>= 7)
            control.push_back(static_cast<std::uint8_t>(v | 0x80));
        control.push_back(static_cast<std::uint8_t>(v));
    };
    const std::size_t n = 6000;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t seek = i % 2 == 0 ? far - 1 : -far - 1;
        put(1);
        put(0);
        put(seek >= 0 ? static_cast<std::uint64_t>(seek) * 2 : static_cast<std::uint64_t>(-seek) * 2 - 1);
    }
    WatchedInput file(old, old.size());
    Result r = Decode(HandMadeOf({control, {}, {}, {}, {}}), old, n, &decoded, &file);
    EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
    EXPECT_NE(r.message.find("over and over"), std::string::npos) << r.message;
    EXPECT_LE(file.read, 4 * n + (256u << 20));
    // The builder never writes such a delta: matches of 32 bytes taken alternately from two such
    // pages give way to the bytes themselves, and the delta decodes within the bound.
    Bytes random = Random(5 << 20, 41), data;
    for (std::size_t i = 0; i < 4000; ++i)
        for (std::size_t from : {i * 32, static_cast<std::size_t>(far) + i * 32})
            data.insert(data.end(), random.begin() + static_cast<std::ptrdiff_t>(from),
                        random.begin() + static_cast<std::ptrdiff_t>(from + 32));
    Bytes encoded;
    ASSERT_TRUE(EncodeStreamedMatchDelta(random.data(), random.size(), data.data(), data.size(), 1, &encoded).ok());
    WatchedInput watched(random, random.size());
    r = Decode(encoded, random, data.size(), &decoded, &watched);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(decoded == data);
    EXPECT_LE(watched.read, 4 * data.size() + (256u << 20));
}

// Data that repeats with a short period, shifted by an insertion: the matching stays a few long
// matches (it would otherwise take a short one near the end of the file at every step, each widened
// back over the whole stretch, for a time that grows with the square of the size).
TEST(StreamedMatchDelta, ShiftedRepeatsAreMatchedInFewRecords)
{
    for (std::size_t period : {12u, 48u, 200u}) {
        Bytes unit = Random(period, static_cast<std::uint32_t>(period)), old;
        while (old.size() < (4u << 20))
            old.insert(old.end(), unit.begin(), unit.end());
        Bytes data = old;
        data.insert(data.begin() + 1000, 33, 1);
        std::vector<MatchRecord> records;
        ASSERT_TRUE(FindMatches(old.data(), old.size(), data.data(), data.size(), &records, nullptr,
                                MatchOptions{MatchIndex::kBlockHash, 75})
                        .ok());
        EXPECT_EQ(Apply(records, old, data), data);
        EXPECT_LT(records.size(), 20u) << period;
    }
}

// A frame whose header asks for a window beyond 8 MiB is refused even when its content is small
// enough that zstd would decode it in one go without asking.
TEST(StreamedMatchDelta, TheWindowIsAskedOfTheFrameHeader)
{
    Bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0x40, 14 << 3, 300 - 256, 0};     // window 2^24, 300 bytes
    frame.insert(frame.end(), {(300 << 3 | 1) & 0xFF, (300 << 3) >> 8, 0});  // one raw block, the last
    frame.insert(frame.end(), 300, 'x');
    Bytes control = {0, 0xAC, 0x02, 0}, empty, decoded;  // copy 300
    ASSERT_TRUE(EncodeZstd(nullptr, 0, nullptr, 0, 1, &empty).ok());
    Bytes control5;
    ASSERT_TRUE(EncodeZstd(control.data(), control.size(), nullptr, 0, 1, &control5).ok());
    Bytes old(100, 0);
    // The held form, whose frames may ask for up to 1 GiB, takes it; the streamed one does not.
    Result held = ::qvpatch::Decode(FromFrames({control5, empty, empty, frame}), old, 300, &decoded);
    ASSERT_TRUE(held.ok()) << held.message;
    EXPECT_EQ(decoded, Bytes(300, 'x'));
    Result r = Decode(FromFrames({control5, empty, empty, empty, frame}), old, 300, &decoded);
    EXPECT_EQ(r.status, Status::kPatchCorrupt);
    EXPECT_NE(r.message.find("window"), std::string::npos) << r.message;
}

}  // namespace streamed

}  // namespace
}  // namespace qvpatch
