// Ed25519 over libgcrypt, the key texts and the trust file.
#include "qvpatch/signature.h"

#include <gcrypt.h>

#include <cstring>
#include <memory>
#include <type_traits>

#include "crypto.h"

namespace qvpatch {

namespace {

// Put before the integrity check that a signature is made over.
constexpr char kContext[] = "Quorvane patch signature 1\n";
constexpr char kKeyPrefix[] = "ed25519:";
constexpr char kSecretHeader[] = "qvpatch secret key 1";

struct SexpFree {
    void operator()(gcry_sexp_t s) const { gcry_sexp_release(s); }
};
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpFree>;

std::string Message(const Digest& integrity)
{
    std::string message(kContext);
    message.append(reinterpret_cast<const char*>(integrity.data()), integrity.size());
    return message;
}

// The bytes of a token's value in s, when it is exactly size bytes long.
bool TokenBytes(gcry_sexp_t s, const char* token, std::uint8_t* out, std::size_t size)
{
    Sexp found(gcry_sexp_find_token(s, token, 0));
    if (!found)
        return false;
    std::size_t length = 0;
    const char* data = gcry_sexp_nth_data(found.get(), 1, &length);
    // A point may come with the prefix byte 0x40 of its compressed form.
    if (data != nullptr && length == size + 1 && static_cast<std::uint8_t>(data[0]) == 0x40) {
        ++data;
        --length;
    }
    if (data == nullptr || length != size)
        return false;
    std::memcpy(out, data, size);
    return true;
}

std::string Hex(const std::uint8_t* bytes, std::size_t size)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

bool FromHexText(const std::string& text, std::uint8_t* out, std::size_t size)
{
    if (text.size() != 2 * size)
        return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < size; ++i) {
        int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

// A line without its end (CR LF or LF) and the blanks around it.
std::string Trimmed(const std::string& line)
{
    std::size_t begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return std::string();
    return line.substr(begin, line.find_last_not_of(" \t\r") - begin + 1);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    // A byte-order mark, as editors on Windows write one.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        pos = 3;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

}  // namespace

Result GenerateKey(SecretKey* key)
{
    InitCrypto();
    gcry_sexp_t parameters = nullptr, pair = nullptr;
    if (gcry_sexp_build(&parameters, nullptr, "(genkey (ecc (curve Ed25519) (flags eddsa)))") != 0)
        return Fail(Status::kOutOfMemory, "cannot set up a key pair");
    Sexp heldParameters(parameters);
    if (gcry_error_t e = gcry_pk_genkey(&pair, parameters); e != 0)
        return Fail(Status::kBuildFailed, std::string("cannot make a key pair: ") + gcry_strerror(e));
    Sexp heldPair(pair);
    if (!TokenBytes(pair, "d", key->seed.data(), key->seed.size()) ||
        !TokenBytes(pair, "q", key->publicKey.data(), key->publicKey.size()))
        return Fail(Status::kBuildFailed, "the key pair made has an unexpected form");
    return Result::Ok();
}

Result Sign(const SecretKey& key, const Digest& integrity, Signature* signature)
{
    InitCrypto();
    const std::string message = Message(integrity);
    gcry_sexp_t secret = nullptr, data = nullptr, result = nullptr;
    if (gcry_sexp_build(&secret, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
                        static_cast<int>(key.publicKey.size()), key.publicKey.data(),
                        static_cast<int>(key.seed.size()), key.seed.data()) != 0)
        return Fail(Status::kOutOfMemory, "cannot set up the secret key");
    Sexp heldSecret(secret);
    if (gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(message.size()), message.data()) != 0)
        return Fail(Status::kOutOfMemory, "cannot set up what is signed");
    Sexp heldData(data);
    if (gcry_error_t e = gcry_pk_sign(&result, data, secret); e != 0)
        return Fail(Status::kBuildFailed, std::string("cannot sign: ") + gcry_strerror(e));
    Sexp heldResult(result);
    if (!TokenBytes(result, "r", signature->data(), 32) || !TokenBytes(result, "s", signature->data() + 32, 32))
        return Fail(Status::kBuildFailed, "the signature made has an unexpected form");
    // The secret key and its public half belong together only if what one signs, the other takes.
    if (!Verify(key.publicKey, integrity, *signature))
        return Fail(Status::kBuildFailed, "the secret key does not belong to its public key");
    return Result::Ok();
}

bool Verify(const PublicKey& key, const Digest& integrity, const Signature& signature)
{
    InitCrypto();
    const std::string message = Message(integrity);
    gcry_sexp_t publicKey = nullptr, data = nullptr, value = nullptr;
    if (gcry_sexp_build(&publicKey, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        static_cast<int>(key.size()), key.data()) != 0)
        return false;
    Sexp heldKey(publicKey);
    if (gcry_sexp_build(&data, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(message.size()), message.data()) != 0)
        return false;
    Sexp heldData(data);
    if (gcry_sexp_build(&value, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature.data(), 32,
                        signature.data() + 32) != 0)
        return false;
    Sexp heldValue(value);
    return gcry_pk_verify(value, data, publicKey) == 0;
}

std::string PublicKeyText(const PublicKey& key) { return kKeyPrefix + Hex(key.data(), key.size()); }

bool ParsePublicKeyText(const std::string& text, PublicKey* key)
{
    const std::size_t prefix = sizeof kKeyPrefix - 1;
    return text.compare(0, prefix, kKeyPrefix) == 0 && FromHexText(text.substr(prefix), key->data(), key->size());
}

std::string Fingerprint(const PublicKey& key)
{
    Digest digest = Sha256(key.data(), key.size());
    return Hex(digest.data(), 8);
}

std::string SecretKeyText(const SecretKey& key)
{
    return std::string(kSecretHeader) + "\nsecret:" + Hex(key.seed.data(), key.seed.size()) + "\n" +
           PublicKeyText(key.publicKey) + "\n";
}

Result ParseSecretKeyText(const std::string& text, SecretKey* key)
{
    std::vector<std::string> lines = Lines(text);
    if (lines.size() < 3 || Trimmed(lines[0]) != kSecretHeader)
        return Fail(Status::kBadCommandLine, "not a secret key file of qvpatch keygen");
    std::string seed = Trimmed(lines[1]);
    if (seed.compare(0, 7, "secret:") != 0 || !FromHexText(seed.substr(7), key->seed.data(), key->seed.size()) ||
        !ParsePublicKeyText(Trimmed(lines[2]), &key->publicKey))
        return Fail(Status::kBadCommandLine, "the secret key file is damaged");
    for (std::size_t i = 3; i < lines.size(); ++i)
        if (!Trimmed(lines[i]).empty())
            return Fail(Status::kBadCommandLine, "the secret key file is damaged");
    return Result::Ok();
}

Result ParseTrustFile(const std::string& text, std::vector<PublicKey>* keys)
{
    keys->clear();
    if (text.size() > kMaxTrustFileBytes)
        return Fail(Status::kUntrusted, "it is larger than " + std::to_string(kMaxTrustFileBytes) + " bytes");
    std::vector<std::string> lines = Lines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = Trimmed(lines[i]);
        if (line.empty() || line[0] == '#')
            continue;
        PublicKey key;
        if (!ParsePublicKeyText(line, &key))
            return Fail(Status::kUntrusted, "line " + std::to_string(i + 1) + " is not a key");
        keys->push_back(key);
    }
    return Result::Ok();
}

}  // namespace qvpatch
