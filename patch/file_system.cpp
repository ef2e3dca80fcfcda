// Helpers over the patch engine's file system.
#include "qvpatch/file_system.h"

#include "memory.h"

#include <algorithm>
#include <new>

namespace qvpatch {

Result OutputFile::ReadBack(std::uint64_t, std::uint8_t*, std::size_t)
{
    return Fail(Status::kIoError, "a file being written cannot be read back here");
}

Result OutputFile::Info(FileInfo* info)
{
    *info = FileInfo{};
    return Result::Ok();
}

Result ReadAll(InputFile& in, const std::string& what, std::uint64_t maxSize, std::vector<std::uint8_t>* out)
{
    return ReadAll(in, what, maxSize, out, [](const std::uint8_t*, std::size_t) {});
}

Result ReadAll(InputFile& in, const std::string& what, std::uint64_t maxSize, std::vector<std::uint8_t>* out,
               const std::function<void(const std::uint8_t* piece, std::size_t size)>& read)
{
    constexpr std::size_t kPiece = 1 << 20;
    FileInfo info;
    Result r = in.Info(&info);
    if (!r.ok())
        return r;
    if (info.size > maxSize)
        return Fail(Status::kIoError, "larger than expected: " + what);
    out->clear();
    try {
        out->reserve(static_cast<std::size_t>(info.size));
        AdviseLargeBuffer(out->data(), out->capacity());
    } catch (const std::bad_alloc&) {
        return Fail(Status::kOutOfMemory, "out of memory reading " + what);
    }
    // Grown a piece at a time within what was reserved (nothing moves, nothing is thrown): each
    // piece is cleared just before it is read into, while it is in the cache.
    const auto size = static_cast<std::size_t>(info.size);
    std::size_t filled = 0;
    for (;;) {
        std::size_t want = std::min<std::size_t>(kPiece, size - filled);
        if (want == 0) {
            // One more read proves the end: a file that grew is refused.
            std::uint8_t probe;
            std::size_t got = 0;
            if (!(r = in.Read(&probe, 1, &got)).ok())
                return r;
            if (got != 0)
                return Fail(Status::kIoError, "changed while being read: " + what);
            break;
        }
        std::size_t got = 0;
        out->resize(filled + want);
        if (!(r = in.Read(out->data() + filled, want, &got)).ok())
            return r;
        if (got == 0)
            return Fail(Status::kIoError, "changed while being read: " + what);
        out->resize(filled + got);
        read(out->data() + filled, got);
        filled += got;
    }
    return Result::Ok();
}

Result WriteFlushClose(OutputFile& out, const std::uint8_t* data, std::size_t size)
{
    Result r = out.Write(data, size);
    if (r.ok())
        r = out.Sync();
    Result closed = out.Close();
    return r.ok() ? closed : r;
}

Result ReadWholeFile(Tree& tree, const std::string& name, std::uint64_t maxSize, std::vector<std::uint8_t>* out)
{
    std::unique_ptr<InputFile> in;
    Result r = tree.OpenRead(name, &in);
    if (!r.ok())
        return r;
    return ReadAll(*in, tree.Describe(name), maxSize, out);
}

}  // namespace qvpatch
