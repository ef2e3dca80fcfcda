// Which of BLAKE3's wide forms this processor runs: 16 chunks at a time with AVX-512, 8 with AVX2,
// else none (the portable code does them one by one).
#include "blake3_impl.h"

#include <algorithm>
#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace qvpatch::blake3 {

namespace {
std::atomic<int> limit{16};
}  // namespace

void LimitWideLanes(int lanes) { limit = lanes; }

#if defined(__x86_64__) || defined(__i386__)

void HashChunks8(const std::uint8_t* input, std::uint64_t counter, std::uint32_t (*out)[8]);
void HashChunks16(const std::uint8_t* input, std::uint64_t counter, std::uint32_t (*out)[8]);
void HashParents8(const std::uint32_t (*children)[8], std::uint32_t (*out)[8]);
void HashParents16(const std::uint32_t (*children)[8], std::uint32_t (*out)[8]);

namespace {

// The widest vectors both the processor and the system (which saves their registers) support.
int Lanes()
{
    static const int widest = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &a, &b, &c, &d))
            return 0;
        if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
            return 0;
        unsigned lo = 0, hi = 0;
        __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        if ((lo & 0x6) != 0x6)  // the XMM and YMM registers
            return 0;
        __cpuid_count(7, 0, a, b, c, d);
        if ((b & bit_AVX512F) != 0 && (b & bit_AVX512VL) != 0 && (lo & 0xE0) == 0xE0)
            return 16;
        return (b & bit_AVX2) != 0 ? 8 : 0;
    }();
    return std::min<int>(widest, limit);
}

}  // namespace

std::size_t HashChunksWide(const std::uint8_t* input, std::size_t count, std::uint64_t counter, std::uint32_t (*out)[8])
{
    const int lanes = Lanes();
    std::size_t done = 0;
    if (lanes == 16)
        for (; done + 16 <= count; done += 16)
            HashChunks16(input + done * 1024, counter + done, out + done);
    if (lanes >= 8)
        for (; done + 8 <= count; done += 8)
            HashChunks8(input + done * 1024, counter + done, out + done);
    return done;
}

std::size_t HashParentsWide(const std::uint32_t (*children)[8], std::size_t count, std::uint32_t (*out)[8])
{
    const int lanes = Lanes();
    std::size_t done = 0;
    if (lanes == 16)
        for (; done + 16 <= count; done += 16)
            HashParents16(children + 2 * done, out + done);
    if (lanes >= 8)
        for (; done + 8 <= count; done += 8)
            HashParents8(children + 2 * done, out + done);
    return done;
}

#else

std::size_t HashChunksWide(const std::uint8_t*, std::size_t, std::uint64_t, std::uint32_t (*)[8]) { return 0; }
std::size_t HashParentsWide(const std::uint32_t (*)[8], std::size_t, std::uint32_t (*)[8]) { return 0; }

#endif

}  // namespace qvpatch::blake3
