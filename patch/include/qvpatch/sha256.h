// SHA-256, for the patch's integrity check and every file's old and new content.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qvpatch {

using Digest = std::array<std::uint8_t, 32>;

Digest Sha256(const void* data, std::size_t size);
std::string ToHex(const Digest& digest);

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
    void* handle_;
};

}  // namespace qvpatch
