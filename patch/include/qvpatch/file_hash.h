// The hash a patch names its files' contents by: SHA-256 up to format version 7, BLAKE3 from
// version 8 (several times faster; every old file an update touches, and every new one it makes,
// is hashed whole).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "qvpatch/blake3.h"
#include "qvpatch/sha256.h"

namespace qvpatch {

enum class FileHash : std::uint8_t { kSha256, kBlake3 };

constexpr std::uint16_t kBlake3FormatVersion = 8;
constexpr FileHash FileHashOf(std::uint16_t formatVersion)
{
    return formatVersion >= kBlake3FormatVersion ? FileHash::kBlake3 : FileHash::kSha256;
}

Digest HashBytes(FileHash kind, const void* data, std::size_t size);

// A file's hash over its contents given in pieces.
class FileHasher {
public:
    explicit FileHasher(FileHash kind);
    void Update(const void* data, std::size_t size);
    Digest Final();

private:
    std::unique_ptr<Sha256Stream> sha256_;  // or
    Blake3Stream blake3_;
};

}  // namespace qvpatch
