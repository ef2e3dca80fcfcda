// Ed25519 over libgcrypt, the key texts and the trust file.
#include "qvpatch/signature.h"

#include <gcrypt.h>

#include <algorithm>
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

// 64 hex digits in either case.
bool FromAnyCaseHex(std::string text, Digest* out)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return FromHex(text, out);
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
    // Lines end in LF, CR LF, or CR alone.
    while (pos <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end != std::string::npos && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') {
            lines.push_back(text.substr(pos, end - pos));
            pos = end + 2;
            continue;
        }
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

struct MpiFree {
    void operator()(gcry_mpi_t m) const { gcry_mpi_release(m); }
};
using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiFree>;

Mpi FromLittleEndian(const std::uint8_t* bytes, std::size_t size)
{
    std::vector<std::uint8_t> bigEndian(bytes, bytes + size);
    std::reverse(bigEndian.begin(), bigEndian.end());
    gcry_mpi_t m = nullptr;
    if (gcry_mpi_scan(&m, GCRYMPI_FMT_USG, bigEndian.data(), bigEndian.size(), nullptr) != 0)
        return Mpi(gcry_mpi_new(0));
    return Mpi(m);
}

Mpi MpiFromHex(const char* hex)
{
    gcry_mpi_t m = nullptr;
    if (gcry_mpi_scan(&m, GCRYMPI_FMT_HEX, hex, 0, nullptr) != 0)
        return Mpi(gcry_mpi_new(0));
    return Mpi(m);
}

// Whether a public key is a point libgcrypt's Ed25519 verification may be given. Its field code
// takes only coordinates of full width (one with a high word of zeros stops the process), so a
// point whose x or y, or their negatives, fall below 2^224 (the widest word of a 32-bit build) is
// refused, as are points of small order, which no key pair has. A key made honestly is refused
// with a chance of about 2^-29; keygen makes another.
bool UsablePoint(const PublicKey& key)
{
    // p = 2^255 - 19, d = -121665/121666 mod p, sqrt(-1) mod p.
    Mpi p = MpiFromHex("7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFED");
    Mpi d = MpiFromHex("52036CEE2B6FFE738CC740797779E89800700A4D4141D8AB75EB4DCA135978A3");
    Mpi sqrtMinusOne = MpiFromHex("2B8324804FC1DF0B2B4D00993DFBD7A72F431806AD2FE478C4EE1B274A0EA0B0");
    Mpi floor = MpiFromHex("0100000000000000000000000000000000000000000000000000000000");  // 2^224
    PublicKey yBytes = key;
    yBytes[31] &= 0x7f;
    Mpi y = FromLittleEndian(yBytes.data(), yBytes.size());
    if (gcry_mpi_cmp(y.get(), p.get()) >= 0)
        return false;
    // The order-8 points other than those with a zero coordinate, by y and -y.
    static const char* const kSmallOrderY[] = {
        "05FC536D880238B13933C6D305ACDFD5F098EFF289F4C345B027B2C28F95E826",
        "7A03AC9277FDC74EC6CC392CFA53202A0F67100D760B3CBA4FD84D3D706A17C7",
    };
    for (const char* small : kSmallOrderY)
        if (gcry_mpi_cmp(y.get(), MpiFromHex(small).get()) == 0)
            return false;
    // x^2 = (y^2 - 1) / (d y^2 + 1)
    Mpi one(gcry_mpi_set_ui(nullptr, 1)), y2(gcry_mpi_new(0)), u(gcry_mpi_new(0)), v(gcry_mpi_new(0));
    gcry_mpi_mulm(y2.get(), y.get(), y.get(), p.get());
    gcry_mpi_subm(u.get(), y2.get(), one.get(), p.get());
    gcry_mpi_mulm(v.get(), d.get(), y2.get(), p.get());
    gcry_mpi_addm(v.get(), v.get(), one.get(), p.get());
    Mpi vInverse(gcry_mpi_new(0)), x2(gcry_mpi_new(0)), x(gcry_mpi_new(0)), check(gcry_mpi_new(0));
    if (!gcry_mpi_invm(vInverse.get(), v.get(), p.get()))
        return false;
    gcry_mpi_mulm(x2.get(), u.get(), vInverse.get(), p.get());
    // x = x2^((p+3)/8), times sqrt(-1) when that squares to -x2; neither: not on the curve.
    Mpi exponent(gcry_mpi_new(0)), three(gcry_mpi_set_ui(nullptr, 3));
    gcry_mpi_add(exponent.get(), p.get(), three.get());
    gcry_mpi_rshift(exponent.get(), exponent.get(), 3);
    gcry_mpi_powm(x.get(), x2.get(), exponent.get(), p.get());
    gcry_mpi_mulm(check.get(), x.get(), x.get(), p.get());
    if (gcry_mpi_cmp(check.get(), x2.get()) != 0) {
        gcry_mpi_mulm(x.get(), x.get(), sqrtMinusOne.get(), p.get());
        gcry_mpi_mulm(check.get(), x.get(), x.get(), p.get());
        if (gcry_mpi_cmp(check.get(), x2.get()) != 0)
            return false;
    }
    Mpi negative(gcry_mpi_new(0));
    for (gcry_mpi_t coordinate : {x.get(), y.get()}) {
        gcry_mpi_sub(negative.get(), p.get(), coordinate);
        if (gcry_mpi_cmp(coordinate, floor.get()) < 0 || gcry_mpi_cmp(negative.get(), floor.get()) < 0)
            return false;
    }
    return true;
}

// Whether S, the signature's second half, is below the group's order L: a signature with S + L
// verifies too, and is refused, so that a patch has one signature per key.
bool CanonicalScalar(const std::uint8_t* s)
{
    static const std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                            0xa2, 0xde, 0xf9, 0xde, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
    for (std::size_t i = 32; i-- > 0;)
        if (s[i] != kOrder[i])
            return s[i] < kOrder[i];
    return false;
}

}  // namespace

bool UsableKey(const PublicKey& key)
{
    InitCrypto();
    return UsablePoint(key);
}

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
    // A key that verification would refuse (a chance of about 2^-29): another one.
    return UsablePoint(key->publicKey) ? Result::Ok() : GenerateKey(key);
}

Result Sign(const SecretKey& key, const Digest& integrity, Signature* signature)
{
    InitCrypto();
    if (!UsablePoint(key.publicKey))
        return Fail(Status::kBuildFailed, "the public key is not one a key pair has");
    const std::string message = Message(integrity);
    gcry_sexp_t secret = nullptr, data = nullptr, result = nullptr;
    if (gcry_sexp_build(&secret, nullptr, "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
                        static_cast<int>(key.publicKey.size()), key.publicKey.data(), static_cast<int>(key.seed.size()),
                        key.seed.data()) != 0)
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
    if (!UsablePoint(key) || !CanonicalScalar(signature.data() + 32))
        return false;
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

std::string PublicKeyText(const PublicKey& key) { return kKeyPrefix + ToHex(key); }

bool ParsePublicKeyText(const std::string& text, PublicKey* key)
{
    const std::size_t prefix = sizeof kKeyPrefix - 1;
    return text.compare(0, prefix, kKeyPrefix) == 0 && FromAnyCaseHex(text.substr(prefix), key);
}

std::string Fingerprint(const PublicKey& key) { return ToHex(Sha256(key.data(), key.size())).substr(0, 16); }

std::string SecretKeyText(const SecretKey& key)
{
    return std::string(kSecretHeader) + "\nsecret:" + ToHex(key.seed) + "\n" + PublicKeyText(key.publicKey) + "\n";
}

Result ParseSecretKeyText(const std::string& text, SecretKey* key)
{
    std::vector<std::string> lines = Lines(text);
    if (lines.size() < 3 || Trimmed(lines[0]) != kSecretHeader)
        return Fail(Status::kBadCommandLine, "not a secret key file of qvpatch keygen");
    std::string seed = Trimmed(lines[1]);
    if (seed.compare(0, 7, "secret:") != 0 || !FromAnyCaseHex(seed.substr(7), &key->seed) ||
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
        if (!ParsePublicKeyText(line, &key) || !UsableKey(key))
            return Fail(Status::kUntrusted, "line " + std::to_string(i + 1) + " is not a key");
        keys->push_back(key);
    }
    return Result::Ok();
}

}  // namespace qvpatch
