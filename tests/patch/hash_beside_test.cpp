// Work handed to a thread beside the caller's: the hash of pieces made in buffers that are reused
// as soon as the next piece is handed on, and the order and end of that work.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "hash_beside.h"
#include "qvpatch/sha256.h"
#include "threads.h"

namespace qvpatch {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> out(size);
    for (std::uint8_t& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 23);
    }
    return out;
}

// Pieces of these sizes go through two buffers in turn, each written over as soon as the hash
// has been handed the other one, as a reader or writer of a file does. Small and large pieces
// mix, so that one hashed at once follows one still being hashed beside.
TEST(HashBesideTest, PiecesInReusedBuffersHashAsTheWhole)
{
    const std::vector<std::vector<std::size_t>> patterns = {
        {},
        {1},
        {(256 << 10) - 1, 256 << 10, (256 << 10) + 1},
        {1 << 20, 1 << 20, 1 << 20, 7},
        {1 << 20, 3, 1 << 20, 64, 300 << 10, 1, 1 << 20},
        {4 << 20},     // the end asked for at once, while the last piece is still being hashed
        {4 << 20, 1},  // a small piece while a large one is still being hashed
    };
    std::uint32_t seed = 1;
    for (FileHash kind : {FileHash::kSha256, FileHash::kBlake3})
        for (const auto& sizes : patterns) {
            std::vector<std::vector<std::uint8_t>> pieces;
            std::vector<std::uint8_t> whole;
            for (std::size_t size : sizes) {
                pieces.push_back(Bytes(size, seed++));
                whole.insert(whole.end(), pieces.back().begin(), pieces.back().end());
            }
            // Worked out first: the end is asked for as soon as the last piece is handed on.
            const std::string expected = ToHex(HashBytes(kind, whole.data(), whole.size()));
            std::vector<std::uint8_t> buffers[2];
            HashBeside hash(kind);
            int turn = 0;
            for (const auto& piece : pieces) {
                std::vector<std::uint8_t>& buffer = buffers[turn];
                turn ^= 1;
                buffer = piece;
                hash.Update(buffer.data(), buffer.size());
                // The other buffer is free again: spoil it, as the next piece would.
                std::fill(buffers[turn].begin(), buffers[turn].end(), std::uint8_t{0xA5});
            }
            EXPECT_EQ(ToHex(hash.Final()), expected) << sizes.size() << " pieces";
        }
}

// Work runs in the order started, one piece at a time; Wait sees what it wrote; the end of the
// Beside waits for the last.
TEST(HashBesideTest, WorkBesideRunsInTurnAndIsDoneByTheEnd)
{
    std::vector<int> order;
    long sum = 0;
    {
        Beside beside;
        for (int i = 0; i < 200; ++i)
            beside.Start([&order, &sum, i] {
                order.push_back(i);
                for (int k = 0; k < 1000; ++k)
                    sum += k % 7;
            });
        beside.Wait();
        EXPECT_EQ(order.size(), 200u);
        beside.Start([&order] { order.push_back(-1); });
    }
    ASSERT_EQ(order.size(), 201u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(order.back(), -1);
    long expected = 0;
    for (int k = 0; k < 1000; ++k)
        expected += k % 7;
    EXPECT_EQ(sum, expected * 200);
}

// What the work throws (an allocation that fails, say) reaches the caller: at Wait, or at the next
// Start where nobody waited. Work that threw while nobody asked any more ends quietly.
TEST(HashBesideTest, WhatWorkBesideThrowsIsThrownToTheCaller)
{
    Beside beside;
    beside.Start([] { throw std::bad_alloc(); });
    EXPECT_THROW(beside.Wait(), std::bad_alloc);
    beside.Wait();  // thrown once only

    bool ran = false;
    beside.Start([] { throw std::runtime_error("in the way"); });
    EXPECT_THROW(beside.Start([&ran] { ran = true; }), std::runtime_error);
    EXPECT_FALSE(ran);  // what was handed on after a throw is not started
    beside.Start([&ran] { ran = true; });
    beside.Wait();
    EXPECT_TRUE(ran);

    Beside left;
    left.Start([] { throw std::bad_alloc(); });
}  // left's end drops what its work threw

}  // namespace
}  // namespace qvpatch
