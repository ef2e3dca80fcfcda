// SHA-256, for the patch's integrity check and every file's old and new content.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qvpatch {

using Digest = std::array<std::uint8_t, 32>;

Digest Sha256(const void* data, std::size_t size);
// In lower-case hex, 64 digits; FromHex takes exactly that form back.
std::string ToHex(const Digest& digest);
bool FromHex(const std::string& hex, Digest* digest);

// A hash over data given in pieces.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void Update(const void* data, std::size_t size);
    Digest Final();

private:
    struct Own;
    void* handle_;  // libgcrypt's hash, or
    Own* own_;      // this program's, on the processor's SHA instructions
};

}  // namespace qvpatch
