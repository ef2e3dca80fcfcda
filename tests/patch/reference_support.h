// The call filters' references read a byte at a time, and bytes dense in what their scans look for,
// for the tests of filters 1 and 3.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include "match_delta.h"

namespace qvpatch {

// Where each reference is, read a byte at a time from the start: at each place, an E8 or E9 there,
// or (wide: filter 3) a REX prefix and 89, 8B or 8D, or 0F and B6, B7, 10, 11 or 28, then a ModRM
// byte of mod 00 and r/m 101, with 4 bytes after the tag; once one is taken, the reading goes on
// after its operand.
inline std::vector<std::size_t> ReferencesByteByByte(const std::vector<std::uint8_t>& data, bool wide)
{
    std::vector<std::size_t> tags;
    for (std::size_t i = 0; i < data.size();) {
        std::size_t tag = SIZE_MAX;
        if ((data[i] & 0xFE) == 0xE8) {
            tag = i;
        } else if (wide && i + 2 < data.size() && (data[i + 2] & 0xC7) == 0x05) {
            const std::uint8_t op = data[i + 1];
            if (((data[i] & 0xF0) == 0x40 && (op == 0x89 || op == 0x8B || op == 0x8D)) ||
                (data[i] == 0x0F && (op == 0xB6 || op == 0xB7 || op == 0x10 || op == 0x11 || op == 0x28)))
                tag = i + 2;
        }
        if (tag == SIZE_MAX || tag + 5 > data.size()) {
            ++i;
            continue;
        }
        tags.push_back(tag);
        i = tag + 5;
    }
    return tags;
}

// Bytes dense in the opcodes, prefixes and ModRM bytes the scans look for, and near operands.
inline std::vector<std::uint8_t> DenseReferences(std::size_t n, std::mt19937* rng)
{
    static const std::uint8_t kBytes[] = {0xE8, 0xE9, 0x48, 0x4C, 0x0F, 0x8B, 0x89, 0x8D, 0xB6,
                                          0xB7, 0x10, 0x11, 0x28, 0x05, 0x0D, 0x3D, 0x00, 0xFF};
    std::vector<std::uint8_t> data(n);
    for (auto& b : data)
        b = (*rng)() % 4 == 0 ? static_cast<std::uint8_t>((*rng)()) : kBytes[(*rng)() % std::size(kBytes)];
    return data;
}

// Marks data's references (filter 3's where wide) as the file comes, in pieces of up to most bytes,
// and checks that copies of it, filtered as they are copied out, are filtered's bytes, whatever
// the copies cut; the file stays as it was.
inline void ExpectCopiesFilteredAsMarked(const std::vector<std::uint8_t>& data,
                                         const std::vector<std::uint8_t>& filtered, bool wide, std::size_t most,
                                         std::mt19937* rng)
{
    FilterMarks marks(data.size(), wide);
    for (std::size_t in = 0; in < data.size();) {
        in = std::min(data.size(), in + 1 + (*rng)() % most);
        marks.Scan(data.data(), in);
    }
    for (int copy = 0; copy < 40; ++copy) {
        const std::size_t at = data.empty() ? 0 : (*rng)() % (data.size() + 1);
        const std::size_t k = copy == 0 ? data.size() - at : std::min<std::size_t>(data.size() - at, (*rng)() % 24);
        std::vector<std::uint8_t> out(data.begin() + static_cast<std::ptrdiff_t>(at),
                                      data.begin() + static_cast<std::ptrdiff_t>(at + k));
        marks.Apply(data.data(), at, out.data(), k);
        ASSERT_TRUE(std::equal(out.begin(), out.end(), filtered.begin() + static_cast<std::ptrdiff_t>(at)))
            << k << " bytes at " << at;
    }
}

}  // namespace qvpatch
