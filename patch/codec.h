// Encoding and decoding an entry's data: zstd frames, with the old file as prefix for a delta.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <zstd.h>

#include "qvpatch/file_system.h"
#include "qvpatch/patch_file.h"
#include "qvpatch/status.h"

namespace qvpatch {

// Decoded output is handed on in pieces of at most this size.
constexpr std::size_t kChunkSize = 1 << 20;
// The longest a zstd frame's header can be (where its content size is told).
constexpr std::size_t kMaxFrameHeader = 18;
// The largest zstd window a patch may ask for (1 GiB), so that 32-bit programs can decode it.
constexpr int kMaxWindowLog = 30;

// One zstd frame of data (with prefix as the dictionary when it is not null), long-distance
// matching on, the content size in its header.
// maxWindowLog: the largest window the frame may ask for (a decoder needs that much memory);
// minMatch, when not 0, the shortest match the encoder looks for instead of the level's.
Result EncodeZstd(const std::uint8_t* data, std::size_t size, const std::uint8_t* prefix, std::size_t prefixSize,
                  int level, std::vector<std::uint8_t>* out, int maxWindowLog = kMaxWindowLog, int minMatch = 0);

// An entry's data: bytes in memory, or a range of the patch file read by position (a patch too
// large to hold). Decoders read it a piece at a time either way.
class DataSource {
public:
    DataSource(const std::uint8_t* data, std::size_t length) : memory_(data), length_(length) {}
    DataSource(InputFile& file, std::uint64_t offset, std::uint64_t length)
        : file_(&file), offset_(offset), length_(length)
    {
    }

    std::uint64_t length() const { return length_; }
    // The bytes, when they are in memory; null otherwise.
    const std::uint8_t* memory() const { return memory_; }
    // The part of length bytes from at (within this one).
    DataSource Part(std::uint64_t at, std::uint64_t length) const;
    // Exactly n bytes from at (within this one); a file cut short since it was checked is refused.
    Result Read(std::uint64_t at, std::uint8_t* buffer, std::size_t n) const;

private:
    const std::uint8_t* memory_ = nullptr;
    InputFile* file_ = nullptr;
    std::uint64_t offset_ = 0;
    std::uint64_t length_ = 0;
};

// Feeds a zstd decoder from a data source: in place for bytes in memory, through a buffer for
// the patch file.
class FrameInput {
public:
    explicit FrameInput(const DataSource& source) : source_(source) {}
    // Makes sure the decoder has bytes to take when any are left.
    Result Fill();
    ZSTD_inBuffer* buffer() { return &in_; }
    // The bytes not yet taken by the decoder.
    std::uint64_t left() const { return (in_.size - in_.pos) + (source_.length() - fed_); }

private:
    DataSource source_;
    std::vector<std::uint8_t> held_;
    ZSTD_inBuffer in_{nullptr, 0, 0};
    std::uint64_t fed_ = 0;
};

// The content size a zstd frame's header declares (ZSTD_CONTENTSIZE_ERROR when it is not one),
// and, when window is given, the window it asks for.
Result FrameContentSize(const DataSource& frame, unsigned long long* declared, std::uint64_t* window = nullptr);

// Takes decoded output in order. It may be called with no bytes, so that it can ask whether to go
// on where decoding works long without output.
using ChunkSink = std::function<Result(const std::uint8_t* data, std::size_t size)>;

// The failure of an entry's data that does not decode; what: the name to give.
Result CorruptData(const std::string& what, const std::string& why);

struct ZstdDecoderFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using ZstdDecoder = std::unique_ptr<ZSTD_DCtx, ZstdDecoderFree>;

// A zstd decoder held to the window a patch may ask for (kMaxWindowLog, or less), with prefix as
// its dictionary when it is not null.
Result NewZstdDecoder(const std::uint8_t* prefix, std::size_t prefixSize, ZstdDecoder* decoder,
                      int maxWindowLog = kMaxWindowLog);

// Decodes one zstd frame of exactly expectedSize bytes, with prefix as its dictionary when it is not
// null; what: the name to give in errors.
Result DecodeFrame(const std::string& what, const DataSource& data, const std::uint8_t* prefix, std::size_t prefixSize,
                   std::uint64_t expectedSize, const ChunkSink& sink);

// An old file held whole: read into memory, or mapped.
struct OldBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

// How a codec that reads an old file whole has it read, and checked against its entry's hash.
// read reads (or maps) it whole, says where in *bytes, and calls progress(data, n) on the caller's
// thread each time its first n bytes are in at data (n growing to the whole). The check may go on
// beside from there: the bytes stay where they are, unchanged, until check has returned. check
// waits for it and tells whether the file is the one the patch was made from (status 5 if not); it
// is to be called once read has succeeded, whatever the codec made of the bytes meanwhile. Where
// check is empty, read checked them before it returned.
// readBack, when given, reads back size bytes at at of the new file as the sink was handed it (all
// of them handed on already): a decoder that reads the new file made so far holds only its last
// few MiB then. keepPieces, when given, is called with true by a decoder that from then on leaves
// each piece it hands to the sink as it is until the sink's next call has returned (so that the
// sink may go on reading it beside), and with false before it ends (the sink then waits for that
// reading).
struct OldLoad {
    using Progress = std::function<void(const std::uint8_t* data, std::size_t n)>;
    using Read = std::function<Result(OldBytes* bytes, const Progress& progress)>;
    using ReadBack = std::function<Result(std::uint64_t at, std::uint8_t* out, std::size_t size)>;
    Read read;
    std::function<Result()> check;
    ReadBack readBack;
    std::function<void(bool kept)> keepPieces;
    // Called once the decoder's work before its records is done: the old file's check, which
    // they do not wait for, may start.
    std::function<void()> recordsStart;

    Result Check() const { return check ? check() : Result::Ok(); }
};

// Decodes an entry's data (old is the old file, for a delta) and hands the output to sink. The
// output must be exactly the entry's new size: more, less, a damaged frame or bytes after it are
// refused.
// The old file is never changed in place. oldFile, when given, is the old file open (checked
// against the entry by the caller), for a codec that reads it by position rather than whole; old
// and oldSize are then not used. load, when given, reads the old file for a codec that reads it
// whole, at the point where the codec has work to do beside the reading; old is then not used.
Result DecodeEntry(const Entry& entry, const DataSource& data, const std::uint8_t* old, std::size_t oldSize,
                   const ChunkSink& sink, InputFile* oldFile = nullptr, const OldLoad* load = nullptr);

// An old file held in memory, read by position as if it were open.
class BytesInput : public InputFile {
public:
    BytesInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override;
    Result ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got) override;
    Result Info(FileInfo* info) override;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace qvpatch
