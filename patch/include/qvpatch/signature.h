// Who made a patch: Ed25519 keys and signatures, and the trust file an installation keeps of the
// keys whose patches it takes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "qvpatch/sha256.h"
#include "qvpatch/status.h"

namespace qvpatch {

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

struct SecretKey {
    std::array<std::uint8_t, 32> seed{};
    PublicKey publicKey{};
};

// The trust file at the top of an installation: one public key a line, in the form
// PublicKeyText writes; blank lines and lines starting with '#' are passed over.
constexpr char kTrustFileName[] = "QVTRUST.TXT";
// A larger one is not a trust file.
constexpr std::size_t kMaxTrustFileBytes = 1 << 20;

// A new key pair from the system's random source.
Result GenerateKey(SecretKey* key);

// What a patch's signature is made over: the patch's integrity check (the SHA-256 of every byte
// before it), behind a fixed context, so that a signature made for something else never counts.
Result Sign(const SecretKey& key, const Digest& integrity, Signature* signature);
bool Verify(const PublicKey& key, const Digest& integrity, const Signature& signature);

// Whether a public key can be a signer's: a point of the curve, of the group's order, that
// verification can take. Verify refuses the others.
bool UsableKey(const PublicKey& key);

// "ed25519:" and the key's 64 hex digits: the line keygen prints and a trust file holds.
std::string PublicKeyText(const PublicKey& key);
bool ParsePublicKeyText(const std::string& text, PublicKey* key);
// A short name for people: the first 16 hex digits of the key's SHA-256.
std::string Fingerprint(const PublicKey& key);

// The secret key file: a header line, the seed and the public key; a key whose halves do not
// belong together is refused.
std::string SecretKeyText(const SecretKey& key);
Result ParseSecretKeyText(const std::string& text, SecretKey* key);

// The keys of a trust file's text. Any line that is neither blank, a comment, nor a key makes the
// whole file damaged (kUntrusted, the message naming the line): an installation that cannot tell whom it
// trusts takes no patch.
Result ParseTrustFile(const std::string& text, std::vector<PublicKey>* keys);

}  // namespace qvpatch
