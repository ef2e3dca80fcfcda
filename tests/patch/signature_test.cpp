// Signed patches: keys and their texts, the signature block byte by byte, and the trust an
// installation keeps in its trust file, through a whole update.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "qvpatch/apply.h"
#include "qvpatch/build.h"
#include "qvpatch/patch_file.h"
#include "qvpatch/signature.h"
#include "fault_fs.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using namespace treetest;
using faulttest::Crash;
using faulttest::FaultFs;
using Files = std::map<std::string, std::string>;

// Keys made once: making one draws on the system's random source.
const SecretKey& Key(int which)
{
    static std::map<int, SecretKey> keys;
    auto found = keys.find(which);
    if (found == keys.end()) {
        SecretKey key;
        EXPECT_TRUE(GenerateKey(&key).ok());
        found = keys.emplace(which, key).first;
    }
    return found->second;
}

std::string TrustLine(int which) { return PublicKeyText(Key(which).publicKey) + "\n"; }

class Quiet : public ApplyObserver {
public:
    void Info(const std::string& text) override { said += text + "\n"; }
    std::string said;
};

class SignatureTest : public ::testing::Test {
protected:
    // The patch from old to next, signed with key (0: unsigned).
    std::vector<std::uint8_t> Make(const Files& old, const Files& next, int key)
    {
        TempTree trees;
        treetest::Make(trees.Sub("old"), old);
        treetest::Make(trees.Sub("new"), next);
        Patch patch;
        BuildOptions options;
        options.level = 1;
        EXPECT_TRUE(BuildPatch(NativeFileSystem(), trees.Sub("old"), trees.Sub("new"), options, &patch).ok());
        if (key == 0)
            return Serialize(patch);
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(SerializeSigned(patch, Key(key), &bytes).ok());
        return bytes;
    }

    // Applies the patch's bytes to the installation, as the library does: read, then apply.
    Result Run(const std::vector<std::uint8_t>& bytes)
    {
        Patch patch;
        Result r = Parse(bytes.data(), bytes.size(), &patch);
        if (!r.ok())
            return r;
        ApplySummary summary;
        return Apply(NativeFileSystem(), dir(), patch, quiet_, ApplyOptions{}, &summary);
    }

    std::string dir() const { return tmp_.Sub("installed"); }
    Files Installed() { return Snapshot(NativeFileSystem(), dir()); }
    void Install(const Files& files)
    {
        std::filesystem::remove_all(std::filesystem::u8path(dir()));
        treetest::Make(dir(), files);
    }

    TempTree tmp_;
    Quiet quiet_;
    const Files v1_ = {{"app.exe", "program, version 1"}, {"readme.txt", "read me\n"}};
    const Files v2_ = {{"app.exe", "program, version 2"}, {"readme.txt", "read me\n"}};
};

Files With(Files files, const std::string& name, const std::string& content)
{
    files[name] = content;
    return files;
}

TEST(KeyTest, TextsReadBackAndNothingElseIsAKey)
{
    const SecretKey& key = Key(1);
    PublicKey back{};
    ASSERT_TRUE(ParsePublicKeyText(PublicKeyText(key.publicKey), &back));
    EXPECT_EQ(back, key.publicKey);
    EXPECT_EQ(Fingerprint(key.publicKey).size(), 16u);
    EXPECT_NE(Fingerprint(key.publicKey), Fingerprint(Key(2).publicKey));
    SecretKey read;
    ASSERT_TRUE(ParseSecretKeyText(SecretKeyText(key), &read).ok());
    EXPECT_EQ(read.seed, key.seed);
    EXPECT_EQ(read.publicKey, key.publicKey);
    std::string text = PublicKeyText(key.publicKey);
    for (const std::string& bad : {text.substr(0, text.size() - 1), text + "0", "ed448:" + text.substr(8),
                                   text.substr(0, 20) + "g" + text.substr(21), std::string()})
        EXPECT_FALSE(ParsePublicKeyText(bad, &back)) << bad;

    // A secret key file whose halves do not belong together signs nothing.
    SecretKey mixed = key;
    mixed.publicKey = Key(2).publicKey;
    Signature signature;
    EXPECT_FALSE(Sign(mixed, Digest{}, &signature).ok());
    EXPECT_FALSE(ParseSecretKeyText("qvpatch secret key 1\nsecret:00\n" + text + "\n", &read).ok());
    EXPECT_FALSE(ParseSecretKeyText(PublicKeyText(key.publicKey), &read).ok());
}

TEST(KeyTest, ATrustFileIsKeysCommentsAndBlanksOrDamaged)
{
    std::vector<PublicKey> keys;
    std::string text = "\xEF\xBB\xBF# the publisher's keys\r\n\r\n" + PublicKeyText(Key(1).publicKey) + "\r\n  " +
                       PublicKeyText(Key(2).publicKey);
    ASSERT_TRUE(ParseTrustFile(text, &keys).ok());
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], Key(1).publicKey);
    EXPECT_EQ(keys[1], Key(2).publicKey);
    ASSERT_TRUE(ParseTrustFile(PublicKeyText(Key(1).publicKey) + "\r" + PublicKeyText(Key(2).publicKey), &keys).ok());
    EXPECT_EQ(keys.size(), 2u);  // lines ended by CR alone
    Result r = ParseTrustFile(text + "\n" + PublicKeyText(Key(1).publicKey) + " and more\n", &keys);
    EXPECT_EQ(r.status, Status::kUntrusted);
    EXPECT_NE(r.message.find("line 5"), std::string::npos) << r.message;
    EXPECT_EQ(ParseTrustFile(std::string(kMaxTrustFileBytes + 1, '#'), &keys).status, Status::kUntrusted);
}

PublicKey KeyOf(const std::string& hex)
{
    PublicKey key{};
    EXPECT_TRUE(ParsePublicKeyText("ed25519:" + hex, &key)) << hex;
    return key;
}

TEST(KeyTest, KeysNoPairHasAreRefusedNotFollowed)
{
    // Zero, the neutral point, y = p - 1 (x = 0), a tiny y, the points of order 8, y = p: points
    // that verification must never be given (its field code stops the process on some of them).
    const std::string hostile[] = {
        std::string(64, '0'),
        "01" + std::string(62, '0'),
        "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
        "02" + std::string(62, '0'),
        "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
        "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
        "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
    };
    Signature signature{};
    for (const std::string& hex : hostile) {
        PublicKey key = KeyOf(hex);
        EXPECT_FALSE(UsableKey(key)) << hex;
        EXPECT_FALSE(Verify(key, Digest{}, signature)) << hex;
        std::vector<PublicKey> keys;
        EXPECT_EQ(ParseTrustFile("ed25519:" + hex + "\n", &keys).status, Status::kUntrusted) << hex;
    }
    for (int which : {1, 2})
        EXPECT_TRUE(UsableKey(Key(which).publicKey));
}

TEST(KeyTest, ASignatureHasOneFormOnly)
{
    // S and S + L (the group's order) verify alike in the curve's arithmetic; only S is taken.
    Digest integrity = Sha256("patch", 5);
    Signature signature;
    ASSERT_TRUE(Sign(Key(1), integrity, &signature).ok());
    ASSERT_TRUE(Verify(Key(1).publicKey, integrity, signature));
    static const std::uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                            0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                            0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};
    unsigned carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
        unsigned sum = signature[32 + i] + kOrder[i] + carry;
        signature[32 + i] = static_cast<std::uint8_t>(sum);
        carry = sum >> 8;
    }
    EXPECT_FALSE(Verify(Key(1).publicKey, integrity, signature));
    EXPECT_FALSE(Verify(Key(2).publicKey, integrity, signature));
}

TEST_F(SignatureTest, EveryByteOfASignedPatchIsCovered)
{
    std::vector<std::uint8_t> bytes = Make(v1_, v2_, 1);
    Patch patch;
    ASSERT_TRUE(Parse(bytes.data(), bytes.size(), &patch).ok());
    ASSERT_TRUE(patch.signature.present);
    EXPECT_EQ(patch.signature.key, Key(1).publicKey);
    EXPECT_EQ(patch.version, kFormatVersion);  // what a builder writes, signed or not
    EXPECT_EQ(Serialize(patch), bytes);        // written back as it was read, signature and all
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        for (std::uint8_t flip : {0x01, 0x80}) {
            std::vector<std::uint8_t> changed = bytes;
            changed[i] ^= flip;
            Result r = Parse(changed.data(), changed.size(), &patch);
            // The signature block is after the integrity check: a change there is the signature's.
            const bool inBlock = i >= bytes.size() - 101;
            EXPECT_EQ(r.status, inBlock ? Status::kUntrusted : Status::kPatchCorrupt)
                << "byte " << i << ": " << r.message;
        }
    }
    // Cut short, or with a byte more: never read.
    for (std::size_t cut : {std::size_t{1}, std::size_t{64}, std::size_t{101}, std::size_t{102}}) {
        std::vector<std::uint8_t> shorter(bytes.begin(), bytes.end() - static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(Parse(shorter.data(), shorter.size(), &patch).ok()) << cut;
    }
    std::vector<std::uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(Parse(longer.data(), longer.size(), &patch).ok());
    // A block naming a key no pair has is refused like any signature that does not verify.
    std::vector<std::uint8_t> zeroKey = bytes;
    std::fill(zeroKey.end() - 96, zeroKey.end() - 64, 0);
    EXPECT_EQ(Parse(zeroKey.data(), zeroKey.size(), &patch).status, Status::kUntrusted);
}

TEST_F(SignatureTest, ASignatureTakenFromAnotherPatchDoesNotVerify)
{
    // Both by the same key: the block of one on the other is refused, as is one re-hashed after a
    // change to what the signature covers.
    std::vector<std::uint8_t> one = Make(v1_, v2_, 1), other = Make(v2_, v1_, 1);
    std::vector<std::uint8_t> moved(other.begin(), other.end() - 101);
    moved.insert(moved.end(), one.end() - 101, one.end());
    Patch patch;
    Result r = Parse(moved.data(), moved.size(), &patch);
    EXPECT_EQ(r.status, Status::kUntrusted);
    EXPECT_NE(r.message.find("does not verify"), std::string::npos) << r.message;

    ASSERT_TRUE(Parse(one.data(), one.size(), &patch).ok());
    patch.entries[0].newSize += 1;
    std::vector<std::uint8_t> rehashed = Serialize(patch);  // the old signature, a new integrity check
    EXPECT_EQ(Parse(rehashed.data(), rehashed.size(), &patch).status, Status::kUntrusted);
    // Dropping the signature leaves an unsigned patch, which a trust file refuses (below).
    ASSERT_TRUE(Parse(one.data(), one.size(), &patch).ok());
    patch.signature = PatchSignature{};
    patch.version = kUnsignedFormatVersion;
    std::vector<std::uint8_t> stripped = Serialize(patch);
    Install(With(v1_, kTrustFileName, TrustLine(1)));
    Files before = Installed();
    EXPECT_EQ(Run(stripped).status, Status::kUntrusted);
    EXPECT_TRUE(SameTree(Installed(), before));
}

TEST_F(SignatureTest, AnInstallationWithATrustFileTakesOnlyItsKeys)
{
    const Files trusted = With(v1_, kTrustFileName, "# publisher\n" + TrustLine(1));
    Install(trusted);
    for (int key : {0, 2}) {
        Result r = Run(Make(v1_, v2_, key));
        EXPECT_EQ(r.status, Status::kUntrusted) << key;
        EXPECT_NE(r.message.find(key == 0 ? "not signed" : Fingerprint(Key(2).publicKey)), std::string::npos)
            << r.message;
        EXPECT_TRUE(SameTree(Installed(), trusted));
    }
    Result r = Run(Make(v1_, v2_, 1));
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(SameTree(Installed(), With(v2_, kTrustFileName, "# publisher\n" + TrustLine(1))));
    EXPECT_NE(quiet_.said.find("which this directory trusts"), std::string::npos) << quiet_.said;
}

TEST_F(SignatureTest, ADamagedTrustFileRefusesEveryPatch)
{
    for (const std::string& damage : {TrustLine(1) + "not a key\n", TrustLine(1).substr(0, 40)}) {
        Install(With(v1_, kTrustFileName, damage));
        Files before = Installed();
        for (int key : {0, 1}) {
            Result r = Run(Make(v1_, v2_, key));
            EXPECT_EQ(r.status, Status::kUntrusted) << key;
            EXPECT_NE(r.message.find("is damaged"), std::string::npos) << r.message;
            EXPECT_TRUE(SameTree(Installed(), before));
        }
    }
    // Nor is a trust file anything but a plain file of a sensible size.
    Install(v1_);
    treetest::Make(dir(), {{std::string(kTrustFileName) + "/", ""}});
    EXPECT_EQ(Run(Make(v1_, v2_, 1)).status, Status::kUntrusted);
    Install(With(v1_, kTrustFileName, TrustLine(1) + std::string(kMaxTrustFileBytes, '#')));
    Result r = Run(Make(v1_, v2_, 1));
    EXPECT_EQ(r.status, Status::kUntrusted);
    EXPECT_NE(r.message.find("is damaged"), std::string::npos) << r.message;
}

TEST_F(SignatureTest, WithoutATrustFileAnUnsignedPatchMayNotBringOne)
{
    // Unsigned and signed patches apply as before signatures...
    for (int key : {0, 1}) {
        Install(v1_);
        Result r = Run(Make(v1_, v2_, key));
        ASSERT_TRUE(r.ok()) << key << ": " << r.message;
        EXPECT_TRUE(SameTree(Installed(), v2_));
    }
    // ...but one that adds a trust file, in any case of its name, must be signed.
    for (const std::string& name :
         {std::string(kTrustFileName), std::string("qvtrust.txt"), std::string("docs/QVTRUST.TXT")}) {
        Install(v1_);
        Result r = Run(Make(v1_, With(v2_, name, TrustLine(1)), 0));
        if (name.find('/') != std::string::npos) {
            EXPECT_TRUE(r.ok()) << name << ": " << r.message;  // not at the top: not a trust file
            continue;
        }
        EXPECT_EQ(r.status, Status::kUntrusted) << name;
        EXPECT_TRUE(SameTree(Installed(), v1_)) << name;
    }
    Install(v1_);
    ASSERT_TRUE(Run(Make(v1_, With(v2_, kTrustFileName, TrustLine(1)), 2)).ok());
}

TEST_F(SignatureTest, KeysAreRotatedByPatchesTheOldKeySigned)
{
    // Version 1 trusts key 1. A patch signed by key 1 brings version 2, which trusts key 2 only:
    // from then on key 1 is retired and key 2's patches apply.
    const Files one = With(v1_, kTrustFileName, TrustLine(1));
    const Files two = With(v2_, kTrustFileName, TrustLine(2));
    const Files three = With(With(v2_, "app.exe", "program, version 3"), kTrustFileName, TrustLine(2));
    Install(one);
    EXPECT_EQ(Run(Make(one, two, 2)).status, Status::kUntrusted);  // the new key is not trusted yet
    ASSERT_TRUE(Run(Make(one, two, 1)).ok());
    EXPECT_TRUE(SameTree(Installed(), two));
    Result r = Run(Make(two, three, 1));
    EXPECT_EQ(r.status, Status::kUntrusted) << r.message;
    EXPECT_TRUE(SameTree(Installed(), two));
    ASSERT_TRUE(Run(Make(two, three, 2)).ok());
    EXPECT_TRUE(SameTree(Installed(), three));
}

TEST_F(SignatureTest, AnInterruptedRotationIsFinishedByApplyingItAgain)
{
    // The update that hands the trust from key 1 to key 2 is killed at each of its operations in
    // turn, the new trust file perhaps already in place: the same patch, applied again, rolls the
    // interrupted one back, is judged by the trust file as it was, and applies.
    const Files one = With(v1_, kTrustFileName, TrustLine(1));
    const Files two = With(v2_, kTrustFileName, TrustLine(2));
    const std::vector<std::uint8_t> rotation = Make(one, two, 1);
    Patch patch;
    ASSERT_TRUE(Parse(rotation.data(), rotation.size(), &patch).ok());
    for (long at = 1;; ++at) {
        Install(one);
        FaultFs crashing(NativeFileSystem());
        crashing.CrashAt(at);
        bool crashed = false;
        try {
            ApplySummary summary;
            (void)Apply(crashing, dir(), patch, quiet_, ApplyOptions{}, &summary);
        } catch (const Crash&) {
            crashed = true;
        }
        Result r = Run(rotation);
        ASSERT_TRUE(r.ok()) << "killed at " << at << ": " << r.message;
        EXPECT_TRUE(SameTree(Installed(), two)) << at;
        if (!crashed)
            break;
        ASSERT_LT(at, 1000);
    }
}

}  // namespace
