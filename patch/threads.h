// Running independent pieces of the builder's work on several threads, and one piece of the
// applier's beside its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
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

// Gives the calling thread a smaller share of the processor than the others, for work whose
// result is asked for only later (the old file's hash, while the records run): where the system
// shares the processor in proportion (Linux), so that such work still goes on however busy the
// machine; elsewhere nothing changes.
void YieldToOtherWork();

// One thread that runs work handed to it, a piece at a time, while the caller goes on. Its thread
// is made at the first Start and ends with it; where no thread can be made, Start runs the work
// at once. Only one thread may call Start and Wait.
class Beside {
public:
    Beside();
    ~Beside();  // waits for the work; what it threw is dropped
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;

    // Waits for the work started before, then starts this.
    void Start(std::function<void()> work);
    // Returns once the work started is done; what it wrote is then seen by the caller. What the
    // work threw (running out of memory, say) is thrown here, or by the next Start.
    void Wait();

private:
    struct Worker;
    void Finish();  // Wait, without the throw
    std::unique_ptr<Worker> worker_;
    bool running_ = false;
    std::exception_ptr thrown_;  // by the work, written on its thread before it is done
};

inline void Beside::Wait()
{
    Finish();
    if (thrown_) {
        std::exception_ptr thrown = std::move(thrown_);
        thrown_ = nullptr;
        std::rethrow_exception(thrown);
    }
}

}  // namespace qvpatch
