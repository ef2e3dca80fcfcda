// Threads for the builder: std::thread.
#include <algorithm>
#include <system_error>
#include <thread>

#include "threads.h"

namespace qvpatch {

unsigned DefaultThreads()
{
    if (sizeof(void*) < 8)
        return 1;
    return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

void RunParallel(const std::vector<std::function<void()>>& tasks, unsigned threads)
{
    TaskQueue work{&tasks};
    std::size_t extra = std::min<std::size_t>(threads > 0 ? threads - 1 : 0, tasks.empty() ? 0 : tasks.size() - 1);
    std::vector<std::thread> pool;
    for (std::size_t i = 0; i < extra; ++i) {
        try {
            pool.emplace_back([&work] { work.Run(); });
        } catch (const std::system_error&) {
            break;  // fewer threads; this one still runs every task left
        }
    }
    work.Run();
    for (std::thread& t : pool)
        t.join();
}

}  // namespace qvpatch
