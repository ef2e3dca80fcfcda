// SHA-256: libgcrypt's, or the compression on the x86 SHA instructions where the processor has
// them, with the padding here.
#include "qvpatch/sha256.h"

#include "qvpatch/file_hash.h"

#include "crypto.h"
#include "hash_beside.h"
#include "sha256_x86.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace qvpatch {

void InitCrypto()
{
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

Digest Sha256(const void* data, std::size_t size)
{
    if (HasShaInstructions()) {
        Sha256Stream hash;
        hash.Update(data, size);
        return hash.Final();
    }
    InitCrypto();
    Digest digest;
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), data, size);
    return digest;
}

struct Sha256Stream::Own {
    std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                              0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::uint8_t block[64] = {};
    std::size_t held = 0;  // of block
    std::uint64_t length = 0;

    void Update(const std::uint8_t* data, std::size_t size)
    {
        if (size == 0)
            return;
        length += size;
        if (held > 0) {
            const std::size_t n = std::min(size, sizeof block - held);
            std::memcpy(block + held, data, n);
            held += n;
            data += n;
            size -= n;
            if (held < sizeof block)
                return;
            Sha256CompressX86(state, block, 1);
            held = 0;
        }
        Sha256CompressX86(state, data, size / 64);
        held = size % 64;
        std::memcpy(block, data + size - held, held);
    }

    Digest Final()
    {
        // A one bit, zeros up to 8 bytes short of a block's end, and the length in bits.
        const std::uint64_t bits = length * 8;
        std::uint8_t tail[128] = {};
        std::memcpy(tail, block, held);
        tail[held] = 0x80;
        const std::size_t size = held < 56 ? 64 : 128;
        for (int k = 0; k < 8; ++k)
            tail[size - 1 - k] = static_cast<std::uint8_t>(bits >> (8 * k));
        Sha256CompressX86(state, tail, size / 64);
        Digest digest;
        for (int i = 0; i < 8; ++i)
            for (int k = 0; k < 4; ++k)
                digest[4 * i + k] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * k));
        return digest;
    }
};

std::string ToHex(const Digest& digest)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

bool FromHex(const std::string& hex, Digest* digest)
{
    if (hex.size() != 2 * digest->size())
        return false;
    for (std::size_t i = 0; i < digest->size(); ++i) {
        unsigned v = 0;
        for (std::size_t k = 0; k < 2; ++k) {
            char c = hex[2 * i + k];
            unsigned d = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                         : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                                                : 16u;
            if (d > 15)
                return false;
            v = v * 16 + d;
        }
        (*digest)[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

Sha256Stream::Sha256Stream() : handle_(nullptr), own_(nullptr)
{
    if (HasShaInstructions()) {
        own_ = new Own;  // throws bad_alloc, as below
        return;
    }
    InitCrypto();
    // Opening a hash fails only when memory runs out; the engine reports that like any other
    // allocation that fails (status 8 at the library's entry).
    gcry_md_hd_t h = nullptr;
    if (gcry_md_open(&h, GCRY_MD_SHA256, 0) != 0 || h == nullptr)
        throw std::bad_alloc();
    handle_ = h;
}

Sha256Stream::~Sha256Stream()
{
    delete own_;
    if (handle_ != nullptr)
        gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
}

void Sha256Stream::Update(const void* data, std::size_t size)
{
    if (own_ != nullptr)
        own_->Update(static_cast<const std::uint8_t*>(data), size);
    else
        gcry_md_write(static_cast<gcry_md_hd_t>(handle_), data, size);
}

Digest Sha256Stream::Final()
{
    if (own_ != nullptr)
        return own_->Final();
    Digest digest;
    std::memcpy(digest.data(), gcry_md_read(static_cast<gcry_md_hd_t>(handle_), GCRY_MD_SHA256), digest.size());
    return digest;
}

Digest HashBytes(FileHash kind, const void* data, std::size_t size)
{
    return kind == FileHash::kBlake3 ? Blake3(data, size) : Sha256(data, size);
}

FileHasher::FileHasher(FileHash kind)
{
    if (kind == FileHash::kSha256)
        sha256_ = std::make_unique<Sha256Stream>();
}

void FileHasher::Update(const void* data, std::size_t size)
{
    if (sha256_)
        sha256_->Update(data, size);
    else
        blake3_.Update(data, size);
}

Digest FileHasher::Final() { return sha256_ ? sha256_->Final() : blake3_.Final(); }

void HashBeside::Update(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kBesideFrom = 256 << 10;
    if (size < kBesideFrom) {
        beside_.Wait();
        hash_.Update(data, size);
        return;
    }
    beside_.Start([this, data, size] { hash_.Update(data, size); });
}

Digest HashBeside::Final()
{
    if (thrown_)
        std::rethrow_exception(std::exchange(thrown_, nullptr));
    beside_.Wait();
    return hash_.Final();
}

}  // namespace qvpatch
