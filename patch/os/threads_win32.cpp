// Threads for the builder on Windows: Win32 threads (the 32-bit toolchain has no std::thread).
#include <windows.h>

#include <algorithm>

#include "threads.h"

namespace qvpatch {

namespace {

DWORD WINAPI ThreadMain(void* work)
{
    static_cast<TaskQueue*>(work)->Run();
    return 0;
}

}  // namespace

unsigned DefaultThreads()
{
    if (sizeof(void*) < 8)
        return 1;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return std::clamp(static_cast<unsigned>(info.dwNumberOfProcessors), 1u, 4u);
}

void RunParallel(const std::vector<std::function<void()>>& tasks, unsigned threads)
{
    TaskQueue work{&tasks};
    std::size_t extra = std::min<std::size_t>(threads > 0 ? threads - 1 : 0, tasks.empty() ? 0 : tasks.size() - 1);
    std::vector<HANDLE> handles;
    for (std::size_t i = 0; i < extra; ++i) {
        HANDLE h = CreateThread(nullptr, 0, ThreadMain, &work, 0, nullptr);
        if (h == nullptr)
            break;  // fewer threads; this one still runs every task left
        handles.push_back(h);
    }
    work.Run();
    for (HANDLE h : handles) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
}

}  // namespace qvpatch
