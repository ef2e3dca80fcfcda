// Running independent pieces of the builder's work on several threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

namespace qvpatch {

// The tasks of one RunParallel, taken in turn by every thread that runs them.
struct TaskQueue {
    const std::vector<std::function<void()>>* tasks;
    std::atomic<std::size_t> next{0};

    void Run()
    {
        for (std::size_t i; (i = next.fetch_add(1)) < tasks->size();)
            (*tasks)[i]();
    }
};

// How many threads the builder uses when not told: the processor count, at most 4 (each strong
// zstd encoder with a large prefix takes hundreds of MiB), and 1 in a 32-bit process.
unsigned DefaultThreads();

// Runs every task, at most threads at a time, and returns when all are done. Tasks must not
// throw; they report through what they capture.
void RunParallel(const std::vector<std::function<void()>>& tasks, unsigned threads);

}  // namespace qvpatch
