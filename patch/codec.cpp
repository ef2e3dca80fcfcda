// zstd frames for the patch's entries.
#include "codec.h"

#include <zstd.h>

#include <algorithm>
#include <memory>

namespace qvpatch {

namespace {

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

int WindowLogFor(std::uint64_t bytes)
{
    int log = 10;  // the smallest window zstd knows
    while (log < kMaxWindowLog && (1ull << log) < bytes)
        ++log;
    return log;
}

Result Corrupt(const Entry& entry, const std::string& why)
{
    return Fail(Status::kPatchCorrupt, "corrupt patch: the data of " + entry.name + " " + why);
}

}  // namespace

Result EncodeZstd(const std::uint8_t* data, std::size_t size, const std::uint8_t* prefix, std::size_t prefixSize,
                  int level, std::vector<std::uint8_t>* out)
{
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx)
        return Fail(Status::kOutOfMemory, "out of memory for the encoder");
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, WindowLogFor(static_cast<std::uint64_t>(size) + prefixSize));
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setPledgedSrcSize(cctx.get(), size);
    if (prefix != nullptr && prefixSize > 0)
        ZSTD_CCtx_refPrefix(cctx.get(), prefix, prefixSize);
    out->resize(ZSTD_compressBound(size));
    std::size_t n = ZSTD_compress2(cctx.get(), out->data(), out->size(), data, size);
    if (ZSTD_isError(n))
        return Fail(Status::kBuildFailed, std::string("zstd: ") + ZSTD_getErrorName(n));
    out->resize(n);
    return Result::Ok();
}

Result DecodeEntry(const Entry& entry, const std::uint8_t* data, std::size_t length, const std::uint8_t* old,
                   std::size_t oldSize, const ChunkSink& sink)
{
    if (entry.codec == Codec::kStored) {
        if (length != entry.newSize)
            return Corrupt(entry, "has the wrong length");
        for (std::size_t pos = 0; pos < length; pos += kChunkSize) {
            Result r = sink(data + pos, std::min(kChunkSize, length - pos));
            if (!r.ok())
                return r;
        }
        return Result::Ok();
    }

    unsigned long long declared = ZSTD_getFrameContentSize(data, length);
    if (declared == ZSTD_CONTENTSIZE_ERROR)
        return Corrupt(entry, "is not a zstd frame");
    if (declared != entry.newSize)
        return Corrupt(entry, "does not declare the file's new size");

    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx)
        return Fail(Status::kOutOfMemory, "out of memory for the decoder");
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kMaxWindowLog);
    if (entry.codec == Codec::kZstdDelta && oldSize > 0)
        ZSTD_DCtx_refPrefix(dctx.get(), old, oldSize);

    std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(kChunkSize, std::max<std::uint64_t>(entry.newSize, 1)));
    ZSTD_inBuffer in{data, length, 0};
    std::uint64_t produced = 0;
    for (;;) {
        ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
        std::size_t ret = ZSTD_decompressStream(dctx.get(), &out, &in);
        if (ZSTD_isError(ret))
            return Corrupt(entry, std::string("does not decode: ") + ZSTD_getErrorName(ret));
        produced += out.pos;
        if (produced > entry.newSize)
            return Corrupt(entry, "decodes to more than the file's new size");
        if (out.pos > 0) {
            Result r = sink(buffer.data(), out.pos);
            if (!r.ok())
                return r;
        }
        if (ret == 0) {
            if (in.pos != in.size)
                return Corrupt(entry, "has bytes after its frame");
            break;
        }
        if (in.pos == in.size && out.pos < out.size)
            return Corrupt(entry, "is cut short");
    }
    if (produced != entry.newSize)
        return Corrupt(entry, "decodes to less than the file's new size");
    return Result::Ok();
}

}  // namespace qvpatch
