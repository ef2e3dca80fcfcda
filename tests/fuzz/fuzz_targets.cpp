// The patch engine's fuzz targets.
#include "fuzz_targets.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "qvpatch/apply.h"
#include "codec.h"
#include "qvpatch/patch_file.h"
#include "memory_fs.h"
#include "qvpatch/sha256.h"

namespace {

using namespace qvpatch;

void (*failureHandler)(const char*) = nullptr;

void Check(bool holds, const char* what)
{
    if (holds)
        return;
    if (failureHandler != nullptr)
        failureHandler(what);
    std::fprintf(stderr, "fuzz target: %s\n", what);
    std::abort();
}

std::vector<std::uint8_t> Sealed(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    // The hash the header's version tells (a header cut short is hashed as the oldest version's).
    const auto version = static_cast<std::uint16_t>(size >= 10 ? data[8] | data[9] << 8 : 0);
    const Digest d = HashBytes(FileHashOf(version), data, size);
    bytes.insert(bytes.end(), d.begin(), d.end());
    return bytes;
}

void ParseAndRoundTrip(const std::uint8_t* data, std::size_t size)
{
    Patch patch;
    if (Parse(data, size, &patch).ok())
        Check(Serialize(patch) == std::vector<std::uint8_t>(data, data + size),
              "a patch that reads writes back the same");
}

class Quiet : public ApplyObserver {};

}  // namespace

void SetFuzzFailureHandler(void (*handler)(const char* what)) { failureHandler = handler; }

int FuzzParse(const std::uint8_t* data, std::size_t size)
{
    ParseAndRoundTrip(data, size);
    std::vector<std::uint8_t> sealed = Sealed(data, size);
    ParseAndRoundTrip(sealed.data(), sealed.size());
    // The last bytes as a signature block after the sealed rest, as a signed patch ends.
    constexpr std::size_t kSignatureBlock = 101;
    if (size > kSignatureBlock) {
        std::vector<std::uint8_t> signedPatch = Sealed(data, size - kSignatureBlock);
        signedPatch.insert(signedPatch.end(), data + size - kSignatureBlock, data + size);
        ParseAndRoundTrip(signedPatch.data(), signedPatch.size());
    }
    return 0;
}

int FuzzDecode(const std::uint8_t* data, std::size_t size)
{
    if (size < 6)
        return 0;
    std::size_t oldSize = data[0] | (data[1] << 8);
    std::uint32_t newSize =
        data[2] | (data[3] << 8) | (data[4] << 16) | (static_cast<std::uint32_t>(data[5] & 0x0F) << 24);
    // The high half of byte 5 picks the codec: the zstd delta, the match delta or its split form.
    if (oldSize > size - 6)
        return 0;
    Entry e;
    e.kind = EntryKind::kChangedFile;
    e.codec = (data[5] & 0x20) != 0   ? Codec::kSplitMatchDelta
              : (data[5] & 0x10) != 0 ? Codec::kMatchDelta
                                      : Codec::kZstdDelta;
    e.name = "fuzzed";
    e.newSize = newSize;
    std::uint64_t produced = 0;
    Result r = DecodeEntry(e, DataSource(data + 6 + oldSize, size - 6 - oldSize), data + 6, oldSize,
                           [&](const std::uint8_t*, std::size_t n) {
                               produced += n;
                               Check(produced <= newSize, "the decoder hands on no more than the new size");
                               return Result::Ok();
                           });
    Check(!r.ok() || produced == newSize, "a decoded entry is exactly the new size");
    return 0;
}

int FuzzApply(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> sealed = Sealed(data, size);
    Patch patch;
    if (!Parse(sealed.data(), sealed.size(), &patch).ok())
        return 0;
    memfs::MemoryFs fs;
    fs.AddFile("a.txt", "alpha\n");
    fs.AddFile("dir/b.bin", std::string(100, 'b'));
    fs.AddFile("c", "");
    fs.AddDirectory("empty");
    auto before = fs.Snapshot();
    Quiet quiet;
    ApplySummary summary;
    Result r = Apply(fs, "", patch, quiet, ApplyOptions{}, &summary);
    if (!r.ok())
        Check(fs.Snapshot() == before, "a failed apply leaves the directory as it was");
    Check(fs.Snapshot().count(".qvpatch.tmp/") == 0, "no work area is left behind");
    return 0;
}
