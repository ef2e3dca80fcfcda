// BLAKE3 as this program computes it: the answers of another implementation (b3sum) for inputs
// that end on each side of a block, a chunk and subtrees of chunks, whole or in any pieces, with
// each width of vectors the processor has and with none.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "blake3_impl.h"
#include "qvpatch/blake3.h"

namespace qvpatch {
namespace {

// The input of BLAKE3's published test vectors: byte i is i mod 251.
std::vector<std::uint8_t> Input(std::size_t n)
{
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(i % 251);
    return out;
}

struct Known {
    std::size_t length;
    const char* hash;
};

// From b3sum 1.2.0.
const Known kKnown[] = {
    {0, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
    {1, "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213"},
    {63, "e9bc37a594daad83be9470df7f7b3798297c3d834ce80ba85d6e207627b7db7b"},
    {64, "4eed7141ea4a5cd4b788606bd23f46e212af9cacebacdc7d1f4c6dc7f2511b98"},
    {65, "de1e5fa0be70df6d2be8fffd0e99ceaa8eb6e8c93a63f2d8d1c30ecb6b263dee"},
    {1023, "10108970eeda3eb932baac1428c7a2163b0e924c9a9e25b35bba72b28f70bd11"},
    {1024, "42214739f095a406f3fc83deb889744ac00df831c10daa55189b5d121c855af7"},
    {1025, "d00278ae47eb27b34faecf67b4fe263f82d5412916c1ffd97c8cb7fb814b8444"},
    {2048, "e776b6028c7cd22a4d0ba182a8bf62205d2ef576467e838ed6f2529b85fba24a"},
    {2049, "5f4d72f40d7a5f82b15ca2b2e44b1de3c2ef86c426c95c1af0b6879522563030"},
    {3072, "b98cb0ff3623be03326b373de6b9095218513e64f1ee2edd2525c7ad1e5cffd2"},
    {3073, "7124b49501012f81cc7f11ca069ec9226cecb8a2c850cfe644e327d22d3e1cd3"},
    {4096, "015094013f57a5277b59d8475c0501042c0b642e531b0a1c8f58d2163229e969"},
    {4097, "9b4052b38f1c5fc8b1f9ff7ac7b27cd242487b3d890d15c96a1c25b8aa0fb995"},
    {5120, "9cadc15fed8b5d854562b26a9536d9707cadeda9b143978f319ab34230535833"},
    {5121, "628bd2cb2004694adaab7bbd778a25df25c47b9d4155a55f8fbd79f2fe154cff"},
    {6144, "3e2e5b74e048f3add6d21faab3f83aa44d3b2278afb83b80b3c35164ebeca205"},
    {6145, "f1323a8631446cc50536a9f705ee5cb619424d46887f3c376c695b70e0f0507f"},
    {7168, "61da957ec2499a95d6b8023e2b0e604ec7f6b50e80a9678b89d2628e99ada77a"},
    {7169, "a003fc7a51754a9b3c7fae0367ab3d782dccf28855a03d435f8cfe74605e7817"},
    {8192, "aae792484c8efe4f19e2ca7d371d8c467ffb10748d8a5a1ae579948f718a2a63"},
    {8193, "bab6c09cb8ce8cf459261398d2e7aef35700bf488116ceb94a36d0f5f1b7bc3b"},
    {16384, "f875d6646de28985646f34ee13be9a576fd515f76b5b0a26bb324735041ddde4"},
    {31744, "62b6960e1a44bcc1eb1a611a8d6235b6b4b78f32e7abc4fb4c6cdcce94895c47"},
    {102400, "bc3e3d41a1146b069abffad3c0d44860cf664390afce4d9661f7902e7943e085"},
    {1048577, "2f053cd7472cf0cd2f9adaf45c1180255b91b9a865404a63671a0ee5f792ed33"},
};

class Blake3Test : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { blake3::LimitWideLanes(GetParam()); }
    void TearDown() override { blake3::LimitWideLanes(16); }
};

TEST_P(Blake3Test, GivesAnotherImplementationsAnswersWholeAndInPieces)
{
    // Pieces that end anywhere in a block or a chunk, and ones that leave the subtrees hashed
    // at once starting off their own size.
    const std::size_t pieces[] = {1, 7, 64, 1000, 1024, 1025, 5000, 64 << 10, (64 << 10) + 3};
    for (const Known& known : kKnown) {
        const std::vector<std::uint8_t> input = Input(known.length);
        EXPECT_EQ(ToHex(Blake3(input.data(), input.size())), known.hash) << known.length << " bytes";
        for (std::size_t piece : pieces) {
            if (piece > known.length && known.length > 0)
                continue;
            Blake3Stream hash;
            for (std::size_t at = 0; at < input.size(); at += piece)
                hash.Update(input.data() + at, std::min(piece, input.size() - at));
            EXPECT_EQ(ToHex(hash.Final()), known.hash) << known.length << " bytes in pieces of " << piece;
        }
    }
}

// A hash can be asked for more than once, and goes on after: the input so far each time.
TEST_P(Blake3Test, TellsTheInputSoFarAndGoesOn)
{
    const std::vector<std::uint8_t> input = Input(1048577);
    Blake3Stream hash;
    hash.Update(input.data(), 102400);
    EXPECT_EQ(ToHex(hash.Final()), "bc3e3d41a1146b069abffad3c0d44860cf664390afce4d9661f7902e7943e085");
    hash.Update(input.data() + 102400, input.size() - 102400);
    EXPECT_EQ(ToHex(hash.Final()), "2f053cd7472cf0cd2f9adaf45c1180255b91b9a865404a63671a0ee5f792ed33");
}

INSTANTIATE_TEST_SUITE_P(Widths, Blake3Test, ::testing::Values(0, 8, 16),
                         [](const ::testing::TestParamInfo<int>& width) {
                             return width.param == 0 ? std::string("Portable") : "Lanes" + std::to_string(width.param);
                         });

}  // namespace
}  // namespace qvpatch
