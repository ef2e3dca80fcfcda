// zstd frames for the patch's entries.
#include "codec.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams, and the contexts made with our allocator
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codecs.h"
#include "memory.h"

namespace qvpatch {

namespace {

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};

constexpr std::size_t kLargePrefix = 16u << 20;
// The smallest of zstd's blocks of memory advised as wanting large pages.
constexpr std::size_t kAdvisedBlock = 4u << 20;
// The largest compression context kept between frames.
constexpr std::size_t kKeptContext = 48u << 20;

// Compression contexts kept for the next frames, a few, taken and given back by any thread: the
// match finder's tables are allocated and cleared once rather than for every frame, which was
// half of building a small update of many files.
class ContextPool {
public:
    // Contexts of quick and of strong levels are kept apart: each lays out its tables its own way.
    static ZSTD_CCtx* Take(int level)
    {
        for (std::atomic<ZSTD_CCtx*>& slot : slots_[Kind(level)])
            if (ZSTD_CCtx* c = slot.exchange(nullptr))
                return c;
        return nullptr;
    }
    static void Give(ZSTD_CCtx* c, int level)
    {
        for (std::atomic<ZSTD_CCtx*>& slot : slots_[Kind(level)]) {
            ZSTD_CCtx* empty = nullptr;
            if (slot.compare_exchange_strong(empty, c))
                return;
        }
        ZSTD_freeCCtx(c);
    }
    static void Clear()
    {
        for (auto& kind : slots_)
            for (std::atomic<ZSTD_CCtx*>& slot : kind)
                ZSTD_freeCCtx(slot.exchange(nullptr));
    }

private:
    static int Kind(int level) { return level >= 10 ? 1 : 0; }
    static inline std::atomic<ZSTD_CCtx*> slots_[2][2] = {};
};

// zstd's memory (its match finders' tables, a decoder's window): a large block is advised as
// wanting large pages, so that its first writes (zstd clears its tables) fault once in 2 MiB.
void* ZstdAllocate(void*, std::size_t size)
{
    void* p = std::malloc(size);
    if (p != nullptr && size >= kAdvisedBlock)
        AdviseLargeBuffer(p, size);
    return p;
}

void ZstdRelease(void*, void* p) { std::free(p); }

constexpr ZSTD_customMem kZstdMemory = {ZstdAllocate, ZstdRelease, nullptr};

int WindowLogFor(std::uint64_t bytes)
{
    int log = 10;  // the smallest window zstd knows
    while (log < kMaxWindowLog && (1ull << log) < bytes)
        ++log;
    return log;
}

}  // namespace

Result CorruptData(const std::string& what, const std::string& why)
{
    return Fail(Status::kPatchCorrupt, "corrupt patch: the data of " + what + " " + why);
}

Result NewZstdDecoder(const std::uint8_t* prefix, std::size_t prefixSize, ZstdDecoder* decoder, int maxWindowLog)
{
    ZstdDecoder dctx(ZSTD_createDCtx_advanced(kZstdMemory));
    if (!dctx)
        return Fail(Status::kOutOfMemory, "out of memory for the decoder");
    std::size_t rc = ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, std::min(maxWindowLog, kMaxWindowLog));
    if (!ZSTD_isError(rc) && prefix != nullptr && prefixSize > 0)
        rc = ZSTD_DCtx_refPrefix(dctx.get(), prefix, prefixSize);
    if (ZSTD_isError(rc))
        return Fail(ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation ? Status::kOutOfMemory : Status::kIoError,
                    std::string("cannot set up the decoder: ") + ZSTD_getErrorName(rc));
    *decoder = std::move(dctx);
    return Result::Ok();
}

Result EncodeZstd(const std::uint8_t* data, std::size_t size, const std::uint8_t* prefix, std::size_t prefixSize,
                  int level, std::vector<std::uint8_t>* out, int maxWindowLog, int minMatch)
{
    // Contexts are kept between frames (see ContextPool); a frame with a large window first lets
    // the kept ones go, so that they never add to the memory of a large file's build.
    const bool large = static_cast<std::uint64_t>(size) + prefixSize > kLargePrefix;
    if (large)
        ContextPool::Clear();
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ContextPool::Take(level));
    if (cctx)
        ZSTD_CCtx_reset(cctx.get(), ZSTD_reset_session_and_parameters);
    else
        cctx.reset(ZSTD_createCCtx_advanced(kZstdMemory));
    if (!cctx)
        return Fail(Status::kOutOfMemory, "out of memory for the encoder");
    // Every parameter is one zstd takes; a refusal is reported, not passed over.
    std::size_t rc = 0;
    auto set = [&](ZSTD_cParameter parameter, int value) {
        if (!ZSTD_isError(rc))
            rc = ZSTD_CCtx_setParameter(cctx.get(), parameter, value);
    };
    set(ZSTD_c_compressionLevel, level);
    const int windowLog = std::min(WindowLogFor(static_cast<std::uint64_t>(size) + prefixSize), maxWindowLog);
    set(ZSTD_c_windowLog, windowLog);
    // The binary-tree match finders of the strong levels only look back as far as their chain
    // table reaches; with a prefix that is most of the window, let it reach all of it, so that
    // matches far back in the old file are found too, and not only the long ones.
    if (prefix != nullptr && prefixSize > 0) {
        ZSTD_compressionParameters params = ZSTD_getCParams(level, size, prefixSize);
        ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_chainLog);
        // The tree takes two entries a position, and reaches back over the positions its table
        // holds: twice the largest power of two within the content reaches all but what lies
        // beyond it, at half the memory of twice the window (a content just past a power of two
        // would double it for a sliver of old bytes).
        int reach = 1;
        while (reach < 62 && (std::uint64_t{2} << reach) <= static_cast<std::uint64_t>(size) + prefixSize)
            ++reach;
        if (params.strategy >= ZSTD_btlazy2 && !ZSTD_isError(bounds.error))
            set(ZSTD_c_chainLog,
                std::max(static_cast<int>(params.chainLog), std::min({windowLog + 1, reach + 1, bounds.upperBound})));
    }
    if (minMatch != 0)
        set(ZSTD_c_minMatch, minMatch);
    set(ZSTD_c_enableLongDistanceMatching, 1);
    set(ZSTD_c_checksumFlag, 0);
    if (!ZSTD_isError(rc))
        rc = ZSTD_CCtx_setPledgedSrcSize(cctx.get(), size);
    if (!ZSTD_isError(rc) && prefix != nullptr && prefixSize > 0)
        rc = ZSTD_CCtx_refPrefix(cctx.get(), prefix, prefixSize);
    if (ZSTD_isError(rc))
        return Fail(Status::kBuildFailed, std::string("zstd: ") + ZSTD_getErrorName(rc));
    // A large prefix (a group of files, a big program) compresses far better with one worker
    // thread, where long-distance matching covers the whole window; a smaller one compresses a
    // little better single-threaded, where the match finder indexes all of it. A zstd without
    // threads refuses the worker and compresses on this thread, which is only slower: the
    // refusal is passed over on purpose.
    if (prefixSize > kLargePrefix)
        (void)ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_nbWorkers, 1);
    out->resize(ZSTD_compressBound(size));
    std::size_t n = ZSTD_compress2(cctx.get(), out->data(), out->size(), data, size);
    if (!large && ZSTD_sizeof_CCtx(cctx.get()) <= kKeptContext)
        ContextPool::Give(cctx.release(), level);
    if (ZSTD_isError(n))
        return Fail(Status::kBuildFailed, std::string("zstd: ") + ZSTD_getErrorName(n));
    out->resize(n);
    return Result::Ok();
}

DataSource DataSource::Part(std::uint64_t at, std::uint64_t length) const
{
    DataSource part = *this;
    if (memory_ != nullptr)
        part.memory_ = memory_ + at;
    part.offset_ = offset_ + at;
    part.length_ = length;
    return part;
}

Result DataSource::Read(std::uint64_t at, std::uint8_t* buffer, std::size_t n) const
{
    if (at > length_ || n > length_ - at)
        return Fail(Status::kPatchCorrupt, "corrupt patch: data read outside its entry");
    if (memory_ != nullptr) {
        std::memcpy(buffer, memory_ + at, n);
        return Result::Ok();
    }
    for (std::size_t done = 0; done < n;) {
        std::size_t got = 0;
        Result r = file_->ReadAt(offset_ + at + done, buffer + done, n - done, &got);
        if (!r.ok())
            return Fail(Status::kPatchUnreadable, "cannot read the patch: " + r.message);
        if (got == 0)
            return Fail(Status::kPatchCorrupt, "corrupt patch: the file is shorter than when it was checked");
        done += got;
    }
    return Result::Ok();
}

Result FrameInput::Fill()
{
    if (in_.pos < in_.size || fed_ == source_.length())
        return Result::Ok();
    if (source_.memory() != nullptr) {
        in_ = ZSTD_inBuffer{source_.memory(), static_cast<std::size_t>(source_.length()), 0};
        fed_ = source_.length();
        return Result::Ok();
    }
    if (held_.empty())
        held_.resize(ZSTD_DStreamInSize());
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(held_.size(), source_.length() - fed_));
    Result r = source_.Read(fed_, held_.data(), n);
    if (!r.ok())
        return r;
    in_ = ZSTD_inBuffer{held_.data(), n, 0};
    fed_ += n;
    return Result::Ok();
}

Result BytesInput::Read(std::uint8_t* buffer, std::size_t size, std::size_t* got)
{
    Result r = ReadAt(pos_, buffer, size, got);
    pos_ += *got;
    return r;
}

Result BytesInput::ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got)
{
    *got = offset >= size_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - offset));
    if (*got > 0)
        std::memcpy(buffer, data_ + offset, *got);
    return Result::Ok();
}

Result BytesInput::Info(FileInfo* info)
{
    *info = FileInfo{};
    info->exists = info->isFile = true;
    info->size = size_;
    return Result::Ok();
}

Result DecodeEntry(const Entry& entry, const DataSource& data, const std::uint8_t* old, std::size_t oldSize,
                   const ChunkSink& sink, InputFile* oldFile, const OldLoad* load)
{
    const CodecInfo* codec = FindCodec(static_cast<std::uint8_t>(entry.codec));
    if (codec == nullptr)
        return CorruptData(entry.name, "has an unknown codec");
    if (codec->decode == nullptr)
        return CorruptData(entry.name, "belongs to a group and is decoded with it");
    if (codec->streamsOld && oldFile == nullptr) {
        BytesInput bytes(old, oldSize);
        return codec->decode(entry, data, old, oldSize, sink, &bytes, nullptr);
    }
    return codec->decode(entry, data, old, oldSize, sink, oldFile, load);
}

Result FrameContentSize(const DataSource& frame, unsigned long long* declared, std::uint64_t* window)
{
    std::uint8_t head[kMaxFrameHeader];
    const auto headSize = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, frame.length()));
    Result r = frame.Read(0, head, headSize);
    *declared = r.ok() ? ZSTD_getFrameContentSize(head, headSize) : ZSTD_CONTENTSIZE_ERROR;
    if (window != nullptr) {
        ZSTD_frameHeader header{};
        *window = r.ok() && ZSTD_getFrameHeader(&header, head, headSize) == 0 ? header.windowSize : ~0ull;
    }
    return r;
}

Result DecodeFrame(const std::string& what, const DataSource& data, const std::uint8_t* prefix, std::size_t prefixSize,
                   std::uint64_t expectedSize, const ChunkSink& sink)
{
    unsigned long long declared = 0;
    Result r = FrameContentSize(data, &declared);
    if (!r.ok())
        return r;
    if (declared == ZSTD_CONTENTSIZE_ERROR)
        return CorruptData(what, "is not a zstd frame");
    if (declared != expectedSize)
        return CorruptData(what, "does not declare the new size");

    ZstdDecoder dctx;
    Result made = NewZstdDecoder(prefix, prefixSize, &dctx);
    if (!made.ok())
        return made;

    std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(kChunkSize, std::max<std::uint64_t>(expectedSize, 1)));
    FrameInput input(data);
    std::uint64_t produced = 0;
    for (;;) {
        if (!(r = input.Fill()).ok())
            return r;
        ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
        std::size_t ret = ZSTD_decompressStream(dctx.get(), &out, input.buffer());
        if (ZSTD_isError(ret))
            return CorruptData(what, std::string("does not decode: ") + ZSTD_getErrorName(ret));
        produced += out.pos;
        if (produced > expectedSize)
            return CorruptData(what, "decodes to more than the new size");
        if (out.pos > 0) {
            if (!(r = sink(buffer.data(), out.pos)).ok())
                return r;
        }
        if (ret == 0) {
            if (input.left() != 0)
                return CorruptData(what, "has bytes after its frame");
            break;
        }
        if (input.left() == 0 && out.pos < out.size)
            return CorruptData(what, "is cut short");
    }
    if (produced != expectedSize)
        return CorruptData(what, "decodes to less than the new size");
    return Result::Ok();
}

}  // namespace qvpatch
