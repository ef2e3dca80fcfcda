// SHA-256 over libgcrypt.
#include "qvpatch/sha256.h"

#include "crypto.h"
#include "hash_beside.h"

#include <gcrypt.h>

#include <cstring>
#include <new>

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
    InitCrypto();
    Digest digest;
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), data, size);
    return digest;
}

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

Sha256Stream::Sha256Stream() : handle_(nullptr)
{
    InitCrypto();
    // Opening a hash fails only when memory runs out; the engine reports that like any other
    // allocation that fails (status 8 at the library's entry).
    gcry_md_hd_t h = nullptr;
    if (gcry_md_open(&h, GCRY_MD_SHA256, 0) != 0 || h == nullptr)
        throw std::bad_alloc();
    handle_ = h;
}

Sha256Stream::~Sha256Stream() { gcry_md_close(static_cast<gcry_md_hd_t>(handle_)); }

void Sha256Stream::Update(const void* data, std::size_t size)
{
    gcry_md_write(static_cast<gcry_md_hd_t>(handle_), data, size);
}

Digest Sha256Stream::Final()
{
    Digest digest;
    std::memcpy(digest.data(), gcry_md_read(static_cast<gcry_md_hd_t>(handle_), GCRY_MD_SHA256), digest.size());
    return digest;
}

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
    beside_.Wait();
    return hash_.Final();
}

}  // namespace qvpatch
