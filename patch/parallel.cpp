// Threads for the builder: Win32 threads on Windows (the 32-bit toolchain has no std::thread),
// std::thread elsewhere.
#include "parallel.h"

#include <algorithm>
#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <system_error>
#include <thread>
#endif

namespace qvpatch {

namespace {

struct Work {
    const std::vector<std::function<void()>>* tasks;
    std::atomic<std::size_t> next{0};

    void Run()
    {
        for (std::size_t i; (i = next.fetch_add(1)) < tasks->size();)
            (*tasks)[i]();
    }
};

#ifdef _WIN32
DWORD WINAPI ThreadMain(void* work)
{
    static_cast<Work*>(work)->Run();
    return 0;
}
#endif

}  // namespace

unsigned DefaultThreads()
{
    if (sizeof(void*) < 8)
        return 1;
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    unsigned n = info.dwNumberOfProcessors;
#else
    unsigned n = std::thread::hardware_concurrency();
#endif
    return std::clamp(n, 1u, 4u);
}

void RunParallel(const std::vector<std::function<void()>>& tasks, unsigned threads)
{
    Work work;
    work.tasks = &tasks;
    std::size_t extra = std::min<std::size_t>(threads > 0 ? threads - 1 : 0, tasks.empty() ? 0 : tasks.size() - 1);
#ifdef _WIN32
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
#else
    std::vector<std::thread> pool;
    for (std::size_t i = 0; i < extra; ++i) {
        try {
            pool.emplace_back([&work] { work.Run(); });
        } catch (const std::system_error&) {
            break;
        }
    }
    work.Run();
    for (std::thread& t : pool)
        t.join();
#endif
}

}  // namespace qvpatch
