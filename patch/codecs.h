// The one table of the codecs an entry's data is encoded with: each codec's value, the format
// version that brought it, the entry kinds it serves, how it decodes, and how the builder tries it.
// The reader's checks, the decoder, the builder's candidates and the names people see all come
// from here; docs/patch-format.md describes each codec (a test holds the two together).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec.h"
#include "qvpatch/patch_file.h"
#include "qvpatch/status.h"

namespace qvpatch {

// The kinds of entry a codec serves, as bits.
constexpr unsigned KindBit(EntryKind kind) { return 1u << static_cast<unsigned>(kind); }

// What the builder knows of a file when it chooses what to try.
struct FileFacts {
    bool hasOld = false;
    std::uint64_t oldSize = 0;
    std::uint64_t newSize = 0;
    bool matchable = false;  // binary and not compressed already: approximate matching may pay
    // Too large for applying to hold old and new in memory (kMaxHeldBytes): only codecs that
    // stream serve it.
    bool large = false;
};

// One file to encode on its own: its old contents (none for an added file) and new contents.
struct EncodeInput {
    const std::uint8_t* old = nullptr;
    std::size_t oldSize = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    int level = 19;
    // The same bytes as old and data, when this candidate is the only one reading them and may
    // change them while it works (it puts them back).
    std::uint8_t* writableOld = nullptr;
    std::uint8_t* writableData = nullptr;
    // The largest window a frame may ask for: small for a file too large to hold, so that its
    // decoder's memory does not grow with it.
    int maxWindowLog = kMaxWindowLog;
    // The threads a candidate may work on (the builder's, for one that runs on its own).
    unsigned threads = 1;
};

using DecodeFunction = Result (*)(const Entry& entry, const DataSource& data, const std::uint8_t* old,
                                  std::size_t oldSize, const ChunkSink& sink, InputFile* oldFile, const OldLoad* load);
using EncodeFunction = Result (*)(const EncodeInput& in, std::vector<std::uint8_t>* out);
using TriesFunction = bool (*)(const FileFacts& file);

struct CodecInfo {
    Codec value;
    const char* name;     // for people
    std::uint16_t since;  // the format version that brought it
    // The entry kinds it serves, and the kinds a later format version added.
    unsigned kinds;
    unsigned laterKinds;
    std::uint16_t laterSince;
    bool usesOld;           // decoded with the old file, checked against its hash first
    bool streamsOld;        // and reads it by position (otherwise whole, into memory)
    bool shared;            // one frame for several entries (a group), decoded with its group
    DecodeFunction decode;  // null for a shared codec
    // The builder's candidate for one file: tried where tries says so, smallest wins. With
    // quickFirst it is tried at a quick level first, and again at the full level only when that
    // may win.
    EncodeFunction encode;
    TriesFunction tries;
    bool quickFirst;
};

// Every codec, in the order the builder tries them (ties go to the earlier).
const std::vector<CodecInfo>& Codecs();

// The codec of a value, or null for a value no version knows.
const CodecInfo* FindCodec(std::uint8_t value);
inline const CodecInfo& CodecOf(Codec codec) { return *FindCodec(static_cast<std::uint8_t>(codec)); }

// Whether a patch of the format version may use the codec for the entry kind.
bool Serves(const CodecInfo& codec, EntryKind kind, std::uint16_t version);

}  // namespace qvpatch
