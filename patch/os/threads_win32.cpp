// Threads for the builder and the applier on Windows: Win32 threads (the 32-bit toolchain has no std::thread).
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

// Windows runs a thread of lower priority only where no other is ready, which on a busy machine
// can hold it back for seconds: the thread keeps its priority.
void YieldToOtherWork() {}

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

// The caller sets the work and signals ready; the thread runs it and signals done. Only the
// caller reads or writes running_, and the events order the work's writes before its Wait.
struct Beside::Worker {
    HANDLE ready = nullptr, done = nullptr, thread = nullptr;
    std::function<void()> work;
    std::exception_ptr* thrown = nullptr;
    bool quit = false;

    static DWORD WINAPI Main(void* self)
    {
        auto* w = static_cast<Worker*>(self);
        for (;;) {
            WaitForSingleObject(w->ready, INFINITE);
            if (w->quit)
                return 0;
            try {
                w->work();
            } catch (...) {
                *w->thrown = std::current_exception();
            }
            SetEvent(w->done);
        }
    }

    ~Worker()
    {
        if (thread != nullptr) {
            quit = true;
            SetEvent(ready);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        if (ready != nullptr)
            CloseHandle(ready);
        if (done != nullptr)
            CloseHandle(done);
    }
};

Beside::Beside() = default;

Beside::~Beside() { Finish(); }

void Beside::Start(std::function<void()> work)
{
    Wait();
    if (!worker_) {
        auto worker = std::make_unique<Worker>();
        worker->thrown = &thrown_;
        worker->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        worker->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (worker->ready != nullptr && worker->done != nullptr)
            worker->thread = CreateThread(nullptr, 0, Worker::Main, worker.get(), 0, nullptr);
        if (worker->thread == nullptr) {
            work();  // no thread: the work is done here
            return;
        }
        worker_ = std::move(worker);
    }
    worker_->work = std::move(work);
    running_ = true;
    SetEvent(worker_->ready);
}

void Beside::Finish()
{
    if (!running_)
        return;
    WaitForSingleObject(worker_->done, INFINITE);
    running_ = false;
}

}  // namespace qvpatch
