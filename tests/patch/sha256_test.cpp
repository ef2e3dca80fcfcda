// SHA-256 as this program computes it (on the processor's SHA instructions where it has them):
// the standard's answers, and libgcrypt's for every length around a block and any pieces.
#include <gtest/gtest.h>

#include <gcrypt.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto.h"
#include "qvpatch/sha256.h"
#include "sha256_x86.h"

namespace qvpatch {
namespace {

std::string HashOf(const std::string& text) { return ToHex(Sha256(text.data(), text.size())); }

Digest Library(const std::vector<std::uint8_t>& data)
{
    InitCrypto();
    Digest digest;
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), data.data(), data.size());
    return digest;
}

TEST(Sha256Test, GivesTheStandardsAnswers)
{
    EXPECT_EQ(HashOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HashOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256Stream million;
    const std::string as(1000, 'a');
    for (int i = 0; i < 1000; ++i)
        million.Update(as.data(), as.size());
    EXPECT_EQ(ToHex(million.Final()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, HashesAsTheLibraryInAnyPieces)
{
    // Lengths on each side of the padding's turns (55, 56, 64 bytes), and pieces that end anywhere
    // in a block, down to none.
    SCOPED_TRACE(HasShaInstructions() ? "with the SHA instructions" : "libgcrypt alone");
    std::mt19937 rng(5);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n)
        lengths.push_back(n);
    lengths.push_back(1 << 20);
    lengths.push_back((1 << 20) + 17);
    for (std::size_t n : lengths) {
        std::vector<std::uint8_t> data(n);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        const Digest expected = Library(data);
        ASSERT_EQ(Sha256(data.data(), data.size()), expected) << n;
        Sha256Stream pieces;
        for (std::size_t at = 0; at < n;) {
            const std::size_t piece = std::min<std::size_t>(n - at, rng() % (n < 1000 ? 70 : 100000));
            pieces.Update(data.data() + at, piece);
            at += piece;
        }
        ASSERT_EQ(pieces.Final(), expected) << n;
    }
}

}  // namespace
}  // namespace qvpatch
