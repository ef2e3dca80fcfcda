// Running independent pieces of the builder's work on several threads.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace qvpatch {

// How many threads the builder uses when not told: the processor count, at most 4 (each strong
// zstd encoder with a large prefix takes hundreds of MiB), and 1 in a 32-bit process.
unsigned DefaultThreads();

// Runs every task, at most threads at a time, and returns when all are done. Tasks must not
// throw; they report through what they capture.
void RunParallel(const std::vector<std::function<void()>>& tasks, unsigned threads);

}  // namespace qvpatch
