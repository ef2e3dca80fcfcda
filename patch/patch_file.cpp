// Reading and writing the patch file.
#include "qvpatch/patch_file.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "bytes.h"
#include "codec.h"
#include "codecs.h"
#include "qvpatch/file_system.h"

namespace qvpatch {

namespace {

constexpr std::size_t kHeaderSize = 24;
constexpr std::size_t kTrailerSize = 32;
// The signature block after the integrity check: "QVSG", the algorithm (1: Ed25519), the public
// key and the signature.
constexpr char kSignatureMagic[4] = {'Q', 'V', 'S', 'G'};
constexpr std::uint8_t kEd25519 = 1;
constexpr std::size_t kSignatureBlockSize = 4 + 1 + 32 + 64;

Result Corrupt(const std::string& why) { return Fail(Status::kPatchCorrupt, "corrupt patch: " + why); }
Result Unsafe(const std::string& why) { return Fail(Status::kUnsafePatch, "unsafe patch: " + why); }

bool ValidUtf8(const std::string& s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if (i + k >= s.size())
                return false;
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // No overlong forms, no surrogates, nothing past U+10FFFF.
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
            (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        i += extra + 1;
    }
    return true;
}

bool IsDeviceName(const std::string& part)
{
    std::string base = part.substr(0, part.find('.'));
    std::string upper;
    for (char c : base)
        upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    while (!upper.empty() && upper.back() == ' ')
        upper.pop_back();
    static const std::set<std::string> kDevices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    if (kDevices.count(upper))
        return true;
    if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) && upper[3] >= '0' &&
        upper[3] <= '9')
        return true;
    // COM and LPT with a superscript digit (U+00B9, U+00B2, U+00B3), in UTF-8.
    if (upper.size() == 5 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
        static_cast<unsigned char>(upper[3]) == 0xC2 &&
        (static_cast<unsigned char>(upper[4]) == 0xB9 || static_cast<unsigned char>(upper[4]) == 0xB2 ||
         static_cast<unsigned char>(upper[4]) == 0xB3))
        return true;
    return false;
}

}  // namespace

namespace {

struct UpperCaseRun {
    std::uint32_t first, last, step;
    std::int32_t difference;
};

const UpperCaseRun kUpperCase[] = {
#include "upper_case_table.inc"
};

std::uint32_t UpperCase(std::uint32_t cp)
{
    const UpperCaseRun* end = kUpperCase + sizeof kUpperCase / sizeof kUpperCase[0];
    const UpperCaseRun* run =
        std::upper_bound(kUpperCase, end, cp, [](std::uint32_t c, const UpperCaseRun& r) { return c < r.first; });
    if (run == kUpperCase)
        return cp;
    --run;
    if (cp > run->last || (cp - run->first) % run->step != 0)
        return cp;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(cp) + run->difference);
}

void PutUtf8(std::uint32_t cp, std::string* out)
{
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string FoldName(const std::string& name)
{
    // Every character in upper case, as Windows compares names; bytes that are not UTF-8 stay as
    // they are (a name that is not UTF-8 is refused anyway).
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        std::size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        if (extra == 9 || (extra > 0 && i + extra >= name.size())) {
            out.push_back(name[i++]);
            continue;
        }
        std::uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        bool valid = true;
        for (std::size_t k = 1; k <= extra; ++k) {
            unsigned char cc = static_cast<unsigned char>(name[i + k]);
            valid = valid && (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!valid) {
            out.push_back(name[i++]);
            continue;
        }
        PutUtf8(UpperCase(cp), &out);
        i += extra + 1;
    }
    return out;
}

Result CheckName(const std::string& name)
{
    if (name.empty())
        return Unsafe("an empty name");
    if (name.size() > kMaxNameBytes)
        return Unsafe("a name longer than " + std::to_string(kMaxNameBytes) + " bytes");
    if (!ValidUtf8(name))
        return Unsafe("a name that is not UTF-8");
    if (name[0] == '/')
        return Unsafe("an absolute name: " + name);
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
            return Unsafe("a control character in a name");
        if (ch == '\\')
            return Unsafe("a backslash in a name: " + name);
        if (ch == ':')
            return Unsafe("a drive or stream in a name: " + name);
        if (std::strchr("<>\"|?*", ch) != nullptr)
            return Unsafe("a character Windows does not allow in names: " + name);
    }
    std::size_t pos = 0;
    while (pos <= name.size()) {
        std::size_t slash = name.find('/', pos);
        std::string part = name.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        if (part.empty())
            return Unsafe("an empty part in a name: " + name);
        if (part == "." || part == "..")
            return Unsafe("a name that leaves its directory: " + name);
        if (part.back() == '.' || part.back() == ' ')
            return Unsafe("a name part ending in a dot or a blank: " + name);
        if (IsDeviceName(part))
            return Unsafe("a device name: " + name);
        // The work area and everything of the update's beside it (its lock) start so.
        if (pos == 0 && IsUpdateOwnName(part))
            return Unsafe("a name kept for the update's own work: " + name);
        if (slash == std::string::npos)
            break;
        pos = slash + 1;
    }
    return Result::Ok();
}

bool IsUpdateOwnName(const std::string& topName)
{
    return FoldName(topName).compare(0, sizeof kWorkAreaName - 1, FoldName(kWorkAreaName)) == 0;
}

Result CheckNames(const std::vector<Entry>& entries)
{
    std::map<std::string, const Entry*> byName;
    for (const Entry& e : entries) {
        Result r = CheckName(e.name);
        if (!r.ok())
            return r;
        auto [it, inserted] = byName.emplace(FoldName(e.name), &e);
        if (!inserted)
            return Unsafe("two entries for one name: " + it->second->name + " and " + e.name);
    }
    // Every parent of an entry is a directory: no file entry may stand there.
    for (const Entry& e : entries) {
        std::string folded = FoldName(e.name);
        for (std::size_t slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
            auto it = byName.find(folded.substr(0, slash));
            if (it == byName.end())
                continue;
            const Entry& parent = *it->second;
            if (!parent.IsDirectory())
                return Unsafe("a file entry where a directory is needed: " + parent.name + " for " + e.name);
            if (parent.kind == EntryKind::kRemovedDirectory && e.kind != EntryKind::kRemovedFile &&
                e.kind != EntryKind::kRemovedDirectory)
                return Unsafe("an entry inside a removed directory: " + e.name);
        }
    }
    return Result::Ok();
}

namespace {

// Whether a codec's data is shared by a group of entries (false for a value no version knows).
bool SharedCodec(Codec codec)
{
    const CodecInfo* info = FindCodec(static_cast<std::uint8_t>(codec));
    return info != nullptr && info->shared;
}

}  // namespace

bool Entry::HasData() const { return HasNew() || (kind == EntryKind::kRemovedFile && SharedCodec(codec)); }

Digest ContentsCheck(const std::vector<Digest>& files)
{
    Sha256Stream hash;
    for (const Digest& d : files)
        hash.Update(d.data(), d.size());
    return hash.Final();
}

void SetContentsChecks(Patch* patch)
{
    std::vector<Digest> olds, news;
    for (const Entry& e : patch->entries) {
        if (e.HasOld())
            olds.push_back(e.oldHash);
        if (e.HasNew())
            news.push_back(e.newHash);
    }
    patch->oldContents = ContentsCheck(olds);
    patch->newContents = ContentsCheck(news);
}

std::vector<std::vector<std::size_t>> Groups(const Patch& patch)
{
    std::map<std::uint64_t, std::vector<std::size_t>> byOffset;
    for (std::size_t i = 0; i < patch.entries.size(); ++i)
        if (SharedCodec(patch.entries[i].codec))
            byOffset[patch.entries[i].dataOffset].push_back(i);
    std::vector<std::vector<std::size_t>> groups;
    for (auto& [offset, members] : byOffset)
        groups.push_back(std::move(members));
    return groups;
}

const char* EntryKindName(EntryKind kind)
{
    switch (kind) {
    case EntryKind::kChangedFile: return "changed";
    case EntryKind::kAddedFile: return "added";
    case EntryKind::kRemovedFile: return "removed";
    case EntryKind::kAddedDirectory: return "added dir";
    case EntryKind::kRemovedDirectory: return "removed dir";
    }
    return "unknown";
}

namespace {

// The entry table's bytes, each entry one after the other (then, from version 6, the contents
// checks).
std::vector<std::uint8_t> EntryTable(const Patch& patch, std::uint16_t version)
{
    const std::size_t check = version >= kShortCheckFormatVersion ? kShortCheckBytes : sizeof(Digest);
    ByteWriter w;
    for (const Entry& e : patch.entries) {
        w.U8(static_cast<std::uint8_t>(e.kind));
        w.U8(static_cast<std::uint8_t>(e.codec));
        w.U16(static_cast<std::uint16_t>(e.name.size()));
        w.Bytes(e.name.data(), e.name.size());
        if (e.HasOld()) {
            w.U64(e.oldSize);
            w.Bytes(e.oldHash.data(), check);
        }
        if (e.HasNew()) {
            w.U64(e.newSize);
            w.Bytes(e.newHash.data(), check);
        }
        if (e.HasData()) {
            w.U64(e.dataOffset);
            w.U64(e.dataLength);
        }
    }
    if (version >= kShortCheckFormatVersion) {
        w.Bytes(patch.oldContents.data(), patch.oldContents.size());
        w.Bytes(patch.newContents.data(), patch.newContents.size());
    }
    return std::move(w.out);
}

// The patch's bytes up to and with its integrity check, with the header's version and flags.
std::vector<std::uint8_t> Body(const Patch& patch, std::uint16_t version, std::uint16_t flags)
{
    ByteWriter w;
    w.Bytes(kMagic, sizeof kMagic);
    w.U16(version);
    w.U16(flags);
    w.U32(static_cast<std::uint32_t>(patch.entries.size()));
    w.U64(patch.data.size());
    std::vector<std::uint8_t> table = EntryTable(patch, version);
    if (version >= kPackedTableFormatVersion) {
        // Names share their directories, sizes and offsets are small numbers: one zstd frame.
        std::vector<std::uint8_t> frame;
        if (!patch.packedTable.empty() && Sha256(table.data(), table.size()) == patch.packedContent)
            frame = patch.packedTable;
        else if (!EncodeZstd(table.data(), table.size(), nullptr, 0, 19, &frame).ok())
            throw std::bad_alloc();  // the one way a frame of a bounded input can fail
        w.U64(frame.size());
        table.swap(frame);
    }
    w.Bytes(table.data(), table.size());
    w.Bytes(patch.data.data(), patch.data.size());
    Digest integrity = HashBytes(FileHashOf(version), w.out.data(), w.out.size());
    w.Bytes(integrity.data(), integrity.size());
    return std::move(w.out);
}

void AppendSignatureBlock(const PublicKey& key, const Signature& signature, std::vector<std::uint8_t>* bytes)
{
    bytes->insert(bytes->end(), kSignatureMagic, kSignatureMagic + sizeof kSignatureMagic);
    bytes->push_back(kEd25519);
    bytes->insert(bytes->end(), key.begin(), key.end());
    bytes->insert(bytes->end(), signature.begin(), signature.end());
}

Digest IntegrityOf(const std::vector<std::uint8_t>& body)
{
    Digest integrity;
    std::memcpy(integrity.data(), body.data() + body.size() - kTrailerSize, kTrailerSize);
    return integrity;
}

}  // namespace

std::vector<std::uint8_t> Serialize(const Patch& patch)
{
    if (!patch.signature.present)
        return Body(patch, patch.version, 0);
    std::vector<std::uint8_t> bytes = Body(patch, patch.version, kFlagSigned);
    AppendSignatureBlock(patch.signature.key, patch.signature.value, &bytes);
    return bytes;
}

Result SerializeSigned(const Patch& patch, const SecretKey& key, std::vector<std::uint8_t>* bytes)
{
    std::vector<std::uint8_t> body = Body(patch, std::max(patch.version, kSignedFormatVersion), kFlagSigned);
    Signature signature;
    Result r = Sign(key, IntegrityOf(body), &signature);
    if (!r.ok())
        return r;
    AppendSignatureBlock(key.publicKey, signature, &body);
    *bytes = std::move(body);
    return Result::Ok();
}

namespace {

// What the start and the size of a patch file tell: whether it ends in a signature block, and the
// length of the body before it (which ends in the integrity check).
Result CheckEnding(const std::uint8_t* head, std::size_t headSize, std::uint64_t size, bool* signedPatch,
                   std::uint64_t* body)
{
    if (size < kHeaderSize + kTrailerSize || headSize < kHeaderSize || std::memcmp(head, kMagic, sizeof kMagic) != 0)
        return Corrupt("not a patch file");
    // A signed patch ends in its signature block, after the integrity check.
    const std::uint16_t headerVersion = static_cast<std::uint16_t>(head[8] | head[9] << 8);
    const std::uint16_t headerFlags = static_cast<std::uint16_t>(head[10] | head[11] << 8);
    *signedPatch =
        headerVersion >= kSignedFormatVersion && headerVersion <= kFormatVersion && (headerFlags & kFlagSigned) != 0;
    if (*signedPatch && size < kHeaderSize + kTrailerSize + kSignatureBlockSize)
        return Fail(Status::kUntrusted, "the patch's signature block is malformed: the file is cut short");
    *body = *signedPatch ? size - kSignatureBlockSize : size;
    return Result::Ok();
}

// The integrity check (computed: the hash of the body before it), then the signature block.
// ending: the stored check and, in a signed patch, the block.
Result CheckIntegrity(const Digest& computed, const std::uint8_t* ending, bool signedPatch, PatchSignature* signature)
{
    Digest stored;
    std::memcpy(stored.data(), ending, kTrailerSize);
    if (computed != stored)
        return Corrupt("the integrity check failed (the file is damaged or incomplete)");
    if (!signedPatch)
        return Result::Ok();
    const std::uint8_t* block = ending + kTrailerSize;
    if (std::memcmp(block, kSignatureMagic, sizeof kSignatureMagic) != 0)
        return Fail(Status::kUntrusted, "the patch's signature block is malformed: it does not start with QVSG");
    if (block[4] != kEd25519)
        return Fail(Status::kUntrusted,
                    "the patch's signature block is malformed: unknown algorithm " + std::to_string(block[4]));
    signature->present = true;
    std::memcpy(signature->key.data(), block + 5, signature->key.size());
    std::memcpy(signature->value.data(), block + 5 + signature->key.size(), signature->value.size());
    if (!Verify(signature->key, stored, signature->value))
        return Fail(Status::kUntrusted, "the patch's signature does not verify (key " + Fingerprint(signature->key) +
                                            "): the patch was changed after it was signed");
    return Result::Ok();
}

// Every field of the header and the entry table with its bounds, every name and the names as a
// whole. bytes: the body before the integrity check, or (dataInFile) the header and table alone,
// the data section being the rest of the body, left in the file.
Result ParseBody(const std::uint8_t* bytes, std::size_t length, bool dataInFile, Patch* patch,
                 std::vector<std::uint8_t>* owned = nullptr)
{
    ByteReader r(bytes, length);
    char magic[8];
    std::uint16_t version = 0, flags = 0;
    std::uint32_t count = 0;
    std::uint64_t dataSize = 0;
    r.Bytes(magic, sizeof magic);
    r.U16(&version);
    r.U16(&flags);
    r.U32(&count);
    r.U64(&dataSize);
    if (version < kOldestFormatVersion || version > kFormatVersion)
        return Corrupt("format version " + std::to_string(version) + " is not supported (this library reads " +
                       std::to_string(kOldestFormatVersion) + " to " + std::to_string(kFormatVersion) + ")");
    if ((flags & ~(version >= kSignedFormatVersion ? kFlagSigned : 0)) != 0)
        return Corrupt("unknown flags " + std::to_string(flags));
    if (count > kMaxEntries)
        return Corrupt("too many entries (" + std::to_string(count) + ")");
    if (!dataInFile && dataSize > r.left())
        return Corrupt("the data section is longer than the file");

    // The entry table: as it is, or (version 5 on) packed in one zstd frame that must unpack to
    // no more than count entries can take, and be used up exactly by them.
    std::vector<std::uint8_t> unpacked;
    ByteReader packed(nullptr, 0);
    std::vector<std::uint8_t> packedFrame;
    if (version >= kPackedTableFormatVersion) {
        std::uint64_t frameLength = 0;
        if (!r.U64(&frameLength) || frameLength > r.left())
            return Corrupt("the entry table is cut short");
        const DataSource frame(bytes + r.position(), frameLength);
        unsigned long long declared = 0;
        Result sized = FrameContentSize(frame, &declared);
        if (!sized.ok())
            return Corrupt("the entry table does not unpack: " + sized.message);
        if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN)
            return Corrupt("the entry table does not unpack: not a zstd frame with its size");
        const std::uint64_t checks = version >= kShortCheckFormatVersion ? 2 * sizeof(Digest) : 0;
        if (declared > static_cast<std::uint64_t>(count) * kMaxEntryBytes + checks || declared > kMaxTableSize)
            return Corrupt("the entry table unpacks to more than its entries can take");
        try {
            unpacked.reserve(static_cast<std::size_t>(declared));
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for the entry table");
        }
        Result done = DecodeFrame("the entry table", frame, nullptr, 0, declared,
                                  [&unpacked](const std::uint8_t* p, std::size_t n) {
                                      unpacked.insert(unpacked.end(), p, p + n);
                                      return Result::Ok();
                                  });
        if (!done.ok() && done.status != Status::kPatchCorrupt)
            return done;  // out of memory, say
        if (!done.ok()) {
            const std::string said = "corrupt patch: the data of the entry table ";
            const bool ours = done.message.compare(0, said.size(), said) == 0;
            return Corrupt("the entry table does not unpack: " + done.message.substr(ours ? said.size() : 0));
        }
        r.Skip(static_cast<std::size_t>(frameLength));
        packed = ByteReader(unpacked.data(), unpacked.size());
        packedFrame.assign(frame.memory(), frame.memory() + frameLength);
    }
    ByteReader& t = version >= kPackedTableFormatVersion ? packed : r;

    Patch out;
    out.version = version;
    out.entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        Entry e;
        std::uint8_t kind = 0, codec = 0;
        std::uint16_t nameLength = 0;
        if (!t.U8(&kind) || !t.U8(&codec) || !t.U16(&nameLength))
            return Corrupt("the entry table is cut short");
        if (kind < 1 || kind > 5)
            return Corrupt("unknown entry kind " + std::to_string(kind));
        e.kind = static_cast<EntryKind>(kind);
        if (nameLength == 0)
            return Unsafe("an empty name");
        if (nameLength > kMaxNameBytes)
            return Unsafe("a name longer than " + std::to_string(kMaxNameBytes) + " bytes");
        e.name.resize(nameLength);
        if (!t.Bytes(e.name.data(), nameLength))
            return Corrupt("the entry table is cut short");
        // The codec must be one the patch's version knows, for this kind of entry.
        const CodecInfo* info = FindCodec(codec);
        const bool codecFits = info != nullptr && Serves(*info, e.kind, version);
        if (!codecFits)
            return Corrupt("codec " + std::to_string(codec) + " does not fit the entry " + e.name);
        e.codec = static_cast<Codec>(codec);
        if (e.HasOld() && (!t.U64(&e.oldSize) || !t.Bytes(e.oldHash.data(), out.CheckBytes())))
            return Corrupt("the entry table is cut short");
        if (e.HasNew() && (!t.U64(&e.newSize) || !t.Bytes(e.newHash.data(), out.CheckBytes())))
            return Corrupt("the entry table is cut short");
        if (e.HasData() && (!t.U64(&e.dataOffset) || !t.U64(&e.dataLength)))
            return Corrupt("the entry table is cut short");
        if (e.oldSize > kMaxFileSize || e.newSize > kMaxFileSize)
            return Corrupt("a file size that does not fit: " + e.name);
        if (e.HasData()) {
            if (e.dataOffset > dataSize || e.dataLength > dataSize - e.dataOffset)
                return Corrupt("data outside the data section: " + e.name);
            if (e.codec == Codec::kStored && e.dataLength != e.newSize)
                return Corrupt("stored data of the wrong length: " + e.name);
        }
        out.entries.push_back(std::move(e));
    }
    if (version >= kShortCheckFormatVersion && (!t.Bytes(out.oldContents.data(), out.oldContents.size()) ||
                                                !t.Bytes(out.newContents.data(), out.newContents.size())))
        return Corrupt("the entry table is cut short");
    // A contents check over no files has one right value; any other is the patch's fault, not the
    // directory's.
    if (version >= kShortCheckFormatVersion) {
        bool anyOld = false, anyNew = false;
        for (const Entry& e : out.entries) {
            anyOld |= e.HasOld();
            anyNew |= e.HasNew();
        }
        if ((!anyOld && out.oldContents != ContentsCheck({})) || (!anyNew && out.newContents != ContentsCheck({})))
            return Corrupt("a contents check over no files that is not the check of nothing");
    }
    if (&t == &packed && packed.left() != 0)
        return Corrupt(std::to_string(packed.left()) + " bytes left over in the entry table");
    const std::uint64_t dataHere = dataInFile ? 0 : dataSize;
    if (r.left() < dataHere)
        return Corrupt("the entry table runs into the data section");
    if (r.left() > dataHere)
        return Corrupt(std::to_string(r.left() - dataHere) +
                       " bytes more than the entry table and the data section hold");
    if (owned != nullptr) {
        // The data section is the rest of the buffer the body is at the start of: it is kept
        // there, without the rest.
        owned->resize(r.position() + static_cast<std::size_t>(dataHere));
        owned->erase(owned->begin(), owned->begin() + static_cast<std::ptrdiff_t>(r.position()));
        out.data = std::move(*owned);
    } else {
        out.data.resize(static_cast<std::size_t>(dataHere));
        r.Bytes(out.data.data(), out.data.size());
    }

    for (const std::vector<std::size_t>& group : Groups(out)) {
        std::uint64_t groupBytes = 0;
        for (std::size_t i : group) {
            const Entry& e = out.entries[i];
            if (e.dataOffset != out.entries[group[0]].dataOffset || e.dataLength != out.entries[group[0]].dataLength)
                return Corrupt("a group whose entries point at different data: " + e.name);
            if (e.codec != out.entries[group[0]].codec)
                return Corrupt("a group whose entries have different codecs: " + e.name);
            groupBytes += e.oldSize + e.newSize;
        }
        if (groupBytes > kMaxGroupBytes)
            return Corrupt("a group larger than " + std::to_string(kMaxGroupBytes >> 20) + " MiB");
    }

    Result names = CheckNames(out.entries);
    if (!names.ok())
        return names;
    if (!packedFrame.empty()) {
        out.packedContent = Sha256(unpacked.data(), unpacked.size());
        out.packedTable = std::move(packedFrame);
    }
    *patch = std::move(out);
    return Result::Ok();
}

}  // namespace

namespace {

// The hash the integrity check of a patch of the header's version is.
FileHash IntegrityHash(const std::uint8_t* head)
{
    return FileHashOf(static_cast<std::uint16_t>(head[8] | head[9] << 8));
}

// Parse, the data section taken from owned (which holds bytes) when it is given.
Result ParseHeld(const std::uint8_t* bytes, std::size_t size, Patch* patch, std::vector<std::uint8_t>* owned)
{
    bool signedPatch = false;
    std::uint64_t body = 0;
    Result r = CheckEnding(bytes, size, size, &signedPatch, &body);
    if (!r.ok())
        return r;
    const auto checked = static_cast<std::size_t>(body - kTrailerSize);
    PatchSignature signature;
    if (!(r = CheckIntegrity(HashBytes(IntegrityHash(bytes), bytes, checked), bytes + checked, signedPatch, &signature))
             .ok() ||
        !(r = ParseBody(bytes, checked, false, patch, owned)).ok())
        return r;
    patch->signature = signature;
    return Result::Ok();
}

}  // namespace

Result Parse(const std::uint8_t* bytes, std::size_t size, Patch* patch)
{
    return ParseHeld(bytes, size, patch, nullptr);
}

namespace {

// A patch file too large to hold: read through once for the integrity check, keeping the header
// and entry table; the data section stays in the file.
Result LoadLargePatch(std::unique_ptr<InputFile> in, std::uint64_t size, Patch* patch)
{
    auto unreadable = [&](const Result& r) {
        return r.status == Status::kPatchUnreadable || r.status == Status::kIoError
                   ? Fail(Status::kPatchUnreadable, "cannot read the patch: " + r.message)
                   : r;
    };
    std::uint8_t head[kHeaderSize];
    DataSource file(*in, 0, size);
    Result r = file.Read(0, head, sizeof head);
    bool signedPatch = false;
    std::uint64_t body = 0;
    if (!r.ok() || !(r = CheckEnding(head, sizeof head, size, &signedPatch, &body)).ok())
        return unreadable(r);
    std::uint64_t dataSize = 0;
    for (int k = 7; k >= 0; --k)
        dataSize = dataSize << 8 | head[16 + k];
    const std::uint64_t checked = body - kTrailerSize;
    if (dataSize > checked - kHeaderSize)
        return Corrupt("the data section is longer than the file");
    const std::uint64_t tableEnd = checked - dataSize;
    if (tableEnd > kMaxTableSize)
        return Corrupt("an entry table larger than " + std::to_string(kMaxTableSize >> 20) + " MiB");
    std::vector<std::uint8_t> table(static_cast<std::size_t>(tableEnd));
    std::vector<std::uint8_t> piece(1 << 20);
    FileHasher hash(IntegrityHash(head));
    for (std::uint64_t at = 0; at < checked;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), checked - at));
        if (!(r = file.Read(at, piece.data(), n)).ok())
            return unreadable(r);
        hash.Update(piece.data(), n);
        if (at < tableEnd)
            std::memcpy(table.data() + at, piece.data(),
                        static_cast<std::size_t>(std::min<std::uint64_t>(n, tableEnd - at)));
        at += n;
    }
    std::uint8_t ending[kTrailerSize + kSignatureBlockSize];
    if (!(r = file.Read(checked, ending, static_cast<std::size_t>(size - checked))).ok())
        return unreadable(r);
    PatchSignature signature;
    if (!(r = CheckIntegrity(hash.Final(), ending, signedPatch, &signature)).ok() ||
        !(r = ParseBody(table.data(), table.size(), true, patch)).ok())
        return r;
    patch->signature = signature;
    patch->file = std::shared_ptr<InputFile>(std::move(in));
    patch->fileDataStart = tableEnd;
    patch->fileDataSize = dataSize;
    return Result::Ok();
}

}  // namespace

Result LoadPatchFile(FileSystem& fs, const std::string& path, Patch* patch, std::uint64_t maxHeld)
{
    maxHeld = std::min(maxHeld, kMaxHeldPatchSize);
    std::unique_ptr<InputFile> in;
    std::vector<std::uint8_t> bytes;
    FileInfo info;
    Result r = fs.OpenFile(path, &in);
    if (r.ok())
        r = in->Info(&info);
    if (r.ok() && info.size > maxHeld)
        return LoadLargePatch(std::move(in), info.size, patch);
    if (r.ok())
        r = ReadAll(*in, path, maxHeld, &bytes);
    if (!r.ok())
        return Fail(r.status == Status::kOutOfMemory ? r.status : Status::kPatchUnreadable,
                    "cannot read the patch: " + r.message);
    in.reset();
    return ParseHeld(bytes.data(), bytes.size(), patch, &bytes);
}

}  // namespace qvpatch
