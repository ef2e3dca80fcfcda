// Large-buffer advice where transparent huge pages exist (Linux); elsewhere none.
#include "memory.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qvpatch {

void AdviseLargeBuffer(void* data, std::size_t size)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // The whole huge pages inside the buffer; madvise takes page-aligned ranges only.
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (start + size) & ~(kHuge - 1);
    if (end > first)
        (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);  // advice only
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace qvpatch
