// The table of codecs, with the decoder and the builder's candidate of each.
#include "codecs.h"

#include <algorithm>

#include "match_delta.h"

namespace qvpatch {

namespace {

constexpr unsigned kFiles = KindBit(EntryKind::kChangedFile) | KindBit(EntryKind::kAddedFile);
constexpr unsigned kEveryKind = KindBit(EntryKind::kChangedFile) | KindBit(EntryKind::kAddedFile) |
                                KindBit(EntryKind::kRemovedFile) | KindBit(EntryKind::kAddedDirectory) |
                                KindBit(EntryKind::kRemovedDirectory);

Result DecodeStored(const Entry& entry, const DataSource& data, const std::uint8_t*, std::size_t, const ChunkSink& sink,
                    InputFile*, const OldLoad*)
{
    if (data.length() != entry.newSize)
        return CorruptData(entry.name, "has the wrong length");
    std::vector<std::uint8_t> buffer;
    for (std::uint64_t pos = 0; pos < data.length(); pos += kChunkSize) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, data.length() - pos));
        Result r;
        if (data.memory() != nullptr) {
            r = sink(data.memory() + pos, n);
        } else {
            buffer.resize(n);
            if ((r = data.Read(pos, buffer.data(), n)).ok())
                r = sink(buffer.data(), n);
        }
        if (!r.ok())
            return r;
    }
    return Result::Ok();
}

Result DecodeZstdDelta(const Entry& entry, const DataSource& data, const std::uint8_t* old, std::size_t oldSize,
                       const ChunkSink& sink, InputFile*, const OldLoad* load)
{
    if (load == nullptr)
        return DecodeFrame(entry.name, data, old, oldSize, entry.newSize, sink);
    // The frame is decoded while the old file is checked beside; the check's verdict comes first,
    // and tells a file that changed meanwhile.
    OldBytes bytes;
    Result r = load->read(&bytes, [](const std::uint8_t*, std::size_t) {});
    if (!r.ok())
        return r;
    if (load->recordsStart)
        load->recordsStart();
    r = DecodeFrame(entry.name, data, bytes.data, bytes.size, entry.newSize, sink);
    Result checked = load->Check();
    return checked.ok() ? r : checked;
}

Result DecodeZstdAlone(const Entry& entry, const DataSource& data, const std::uint8_t*, std::size_t,
                       const ChunkSink& sink, InputFile*, const OldLoad*)
{
    return DecodeFrame(entry.name, data, nullptr, 0, entry.newSize, sink);
}

Result DecodeMatch(const Entry& entry, const DataSource& data, const std::uint8_t* old, std::size_t oldSize,
                   const ChunkSink& sink, InputFile*, const OldLoad* load)
{
    return DecodeMatchDelta(entry.name, data, old, oldSize, entry.newSize, sink, load);
}

Result DecodeSplitMatch(const Entry& entry, const DataSource& data, const std::uint8_t* old, std::size_t oldSize,
                        const ChunkSink& sink, InputFile*, const OldLoad* load)
{
    return DecodeSplitMatchDelta(entry.name, data, old, oldSize, entry.newSize, sink, load);
}

Result DecodeStreamedMatch(const Entry& entry, const DataSource& data, const std::uint8_t*, std::size_t,
                           const ChunkSink& sink, InputFile* oldFile, const OldLoad*)
{
    return DecodeStreamedMatchDelta(entry.name, data, *oldFile, entry.oldSize, entry.newSize, sink);
}

Result EncodeStored(const EncodeInput& in, std::vector<std::uint8_t>* out)
{
    out->assign(in.data, in.data + in.size);
    return Result::Ok();
}

Result EncodeZstdDelta(const EncodeInput& in, std::vector<std::uint8_t>* out)
{
    return EncodeZstd(in.data, in.size, in.old, in.oldSize, in.level, out);
}

Result EncodeZstdAlone(const EncodeInput& in, std::vector<std::uint8_t>* out)
{
    return EncodeZstd(in.data, in.size, nullptr, 0, in.level, out, in.maxWindowLog);
}

Result EncodeSplitMatch(const EncodeInput& in, std::vector<std::uint8_t>* out)
{
    MatchFilter filter = ProgramFilter(in.data, in.size);
    return EncodeSplitMatchDelta(in.old, in.oldSize, in.data, in.size, filter, in.level, out, in.threads, true);
}

Result EncodeStreamedMatch(const EncodeInput& in, std::vector<std::uint8_t>* out)
{
    return EncodeStreamedMatchDelta(in.old, in.oldSize, in.data, in.size, in.level, out, in.writableOld,
                                    in.writableData);
}

bool Always(const FileFacts&) { return true; }
bool HasOldContents(const FileFacts& f) { return f.hasOld && f.oldSize > 0; }
bool HeldDelta(const FileFacts& f) { return HasOldContents(f) && !f.large; }
bool WorthMatching(const FileFacts& f) { return HeldDelta(f) && f.oldSize <= kMaxMatchOldSize && f.matchable; }
bool StreamedDelta(const FileFacts& f) { return HasOldContents(f) && f.large; }
// A file too large to hold whose old contents are of no use still gets a frame of its own, with a
// small window; one with old contents is served by the streamed match delta, whose extra stream is
// that frame where nothing matches.
bool OwnFrame(const FileFacts& f) { return !f.large || !HasOldContents(f); }

}  // namespace

const std::vector<CodecInfo>& Codecs()
{
    // The order is the builder's: the stored bytes first, so that an encoding must be smaller to
    // be kept.
    static const std::vector<CodecInfo> kCodecs = {
        {Codec::kStored, "stored", 1, kEveryKind, 0, 0, false, false, false, DecodeStored, EncodeStored, Always, false},
        {Codec::kZstdDelta, "zstd delta", 1, KindBit(EntryKind::kChangedFile), 0, 0, true, false, false,
         DecodeZstdDelta, EncodeZstdDelta, HeldDelta, true},
        // Read still; the split form is written in its place.
        {Codec::kMatchDelta, "match delta", 2, KindBit(EntryKind::kChangedFile), 0, 0, true, false, false, DecodeMatch,
         nullptr, nullptr, false},
        {Codec::kSplitMatchDelta, "split match delta", kSplitFormatVersion, KindBit(EntryKind::kChangedFile), 0, 0,
         true, false, false, DecodeSplitMatch, EncodeSplitMatch, WorthMatching, false},
        {Codec::kStreamedMatchDelta, "streamed match delta", kStreamedFormatVersion, KindBit(EntryKind::kChangedFile),
         0, 0, true, true, false, DecodeStreamedMatch, EncodeStreamedMatch, StreamedDelta, false},
        {Codec::kZstd, "zstd", 1, kFiles, 0, 0, false, false, false, DecodeZstdAlone, EncodeZstdAlone, OwnFrame, true},
        {Codec::kZstdGroupDelta, "zstd group delta", 1, KindBit(EntryKind::kChangedFile),
         KindBit(EntryKind::kAddedFile) | KindBit(EntryKind::kRemovedFile), 2, true, false, true, nullptr, nullptr,
         nullptr, false},
        {Codec::kGroupMatchDelta, "group match delta", kShortCheckFormatVersion,
         KindBit(EntryKind::kChangedFile) | KindBit(EntryKind::kAddedFile) | KindBit(EntryKind::kRemovedFile), 0, 0,
         true, false, true, nullptr, nullptr, nullptr, false},
    };
    return kCodecs;
}

const CodecInfo* FindCodec(std::uint8_t value)
{
    for (const CodecInfo& c : Codecs())
        if (static_cast<std::uint8_t>(c.value) == value)
            return &c;
    return nullptr;
}

bool Serves(const CodecInfo& codec, EntryKind kind, std::uint16_t version)
{
    if (version < codec.since)
        return false;
    return (codec.kinds & KindBit(kind)) != 0 ||
           (version >= codec.laterSince && (codec.laterKinds & KindBit(kind)) != 0);
}

const char* CodecName(Codec codec)
{
    const CodecInfo* c = FindCodec(static_cast<std::uint8_t>(codec));
    return c != nullptr ? c->name : "unknown";
}

}  // namespace qvpatch
