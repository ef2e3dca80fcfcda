// Threads for the builder and the applier: std::thread.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "threads.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace qvpatch {

void YieldToOtherWork()
{
#if defined(__linux__)
    // A thread's own nice value: a weight of about a tenth of the others'.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);  // advice only
#endif
}

namespace {

// The nice value a thread beside this one takes: the work handed to it is what this thread waits
// for only later (the next piece, the end), so that where the two share a processor, this thread,
// on which the rest waits, goes first. Where the system has no such weights, none.
int BelowThisThread()
{
#if defined(__linux__)
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    return errno != 0 ? 0 : std::min(nice + 4, 19);
#else
    return 0;
#endif
}

void SetThisThreadsNice(int nice)
{
#if defined(__linux__)
    if (nice > 0)
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);  // advice only
#else
    (void)nice;
#endif
}

}  // namespace

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

struct Beside::Worker {
    std::mutex lock;
    std::condition_variable changed;
    std::function<void()> work;
    std::exception_ptr* thrown = nullptr;
    bool busy = false, quit = false;
    std::thread thread;

    void Run()
    {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            changed.wait(held, [this] { return busy || quit; });
            if (!busy)
                return;
            held.unlock();
            try {
                work();
            } catch (...) {
                *thrown = std::current_exception();
            }
            held.lock();
            busy = false;
            changed.notify_all();
        }
    }
};

Beside::Beside() = default;

Beside::~Beside()
{
    Finish();
    if (worker_) {
        {
            std::lock_guard<std::mutex> held(worker_->lock);
            worker_->quit = true;
        }
        worker_->changed.notify_all();
        worker_->thread.join();
    }
}

void Beside::Start(std::function<void()> work)
{
    Wait();
    if (!worker_) {
        try {
            auto worker = std::make_unique<Worker>();
            worker->thrown = &thrown_;
            Worker* w = worker.get();
            const int below = BelowThisThread();
            worker->thread = std::thread([w, below] {
                SetThisThreadsNice(below);
                w->Run();
            });
            worker_ = std::move(worker);
        } catch (const std::exception&) {
            work();  // no thread: the work is done here
            return;
        }
    }
    {
        std::lock_guard<std::mutex> held(worker_->lock);
        worker_->work = std::move(work);
        worker_->busy = true;
    }
    worker_->changed.notify_all();
    running_ = true;
}

void Beside::Finish()
{
    if (!running_)
        return;
    std::unique_lock<std::mutex> held(worker_->lock);
    worker_->changed.wait(held, [this] { return !worker_->busy; });
    running_ = false;
}

}  // namespace qvpatch
