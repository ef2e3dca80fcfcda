// Helpers over the patch engine's file system.
#include "fs.h"

#include "codec.h"

namespace qvpatch {

Result ReadWholeFile(FileSystem& fs, const std::string& path, std::uint64_t maxSize, std::vector<std::uint8_t>* out)
{
    FileInfo info;
    Result r = fs.Stat(path, &info);
    if (!r.ok())
        return r;
    if (!info.exists || info.isDirectory)
        return Fail(Status::kIoError, "not a file: " + path);
    if (info.size > maxSize)
        return Fail(Status::kIoError, "larger than expected: " + path);
    std::unique_ptr<InputFile> in;
    if (!(r = fs.OpenRead(path, &in)).ok())
        return r;
    out->clear();
    try {
        out->resize(static_cast<std::size_t>(info.size));
    } catch (const std::bad_alloc&) {
        return Fail(Status::kOutOfMemory, "out of memory reading " + path);
    }
    std::size_t filled = 0;
    for (;;) {
        std::size_t want = std::min<std::size_t>(kChunkSize, out->size() - filled);
        if (want == 0) {
            // One more read proves the end: a file that grew is refused.
            std::uint8_t probe;
            std::size_t got = 0;
            if (!(r = in->Read(&probe, 1, &got)).ok())
                return r;
            if (got != 0)
                return Fail(Status::kIoError, "changed while being read: " + path);
            break;
        }
        std::size_t got = 0;
        if (!(r = in->Read(out->data() + filled, want, &got)).ok())
            return r;
        if (got == 0)
            return Fail(Status::kIoError, "changed while being read: " + path);
        filled += got;
    }
    return Result::Ok();
}

}  // namespace qvpatch
