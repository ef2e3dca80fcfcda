// A file system for tests that wraps the real one and, at its Nth operation, fails with the error a
// real system gives (once, or from then on), or stops the program there as a crash would. Every
// operation of the trees it opens counts, the lock and the free-space look among them.
#pragma once

#include <functional>
#include <mutex>
#include <memory>
#include <string>

#include "qvpatch/file_system.h"

namespace faulttest {

// Thrown at the crash point: nothing of the update runs after it, as when the process is killed.
struct Crash {};

class FaultFs : public qvpatch::FileSystem {
public:
    enum class Mode { kNone, kFailOnce, kFailFromThenOn, kCrash };

    explicit FaultFs(qvpatch::FileSystem& real) : real_(real) {}

    // What a crash does; by default it throws Crash, which unwinds like nothing else runs.
    void OnCrash(void (*crash)()) { crash_ = crash; }

    void Arm(Mode mode, long at, const std::string& error = "the disk is full")
    {
        mode_ = mode;
        at_ = at;
        error_ = error;
        count_ = 0;
    }
    // Besides what Arm set: a crash at the Nth operation.
    void CrashAt(long at) { crashAt_ = at; }
    // Besides what Arm set: the Nth operation named what fails, once (whichever thread does it).
    void FailNamed(const std::string& what, long nth, const std::string& error)
    {
        failName_ = what;
        failNth_ = nth;
        error_ = error;
    }
    // Called before each operation with what it is (another process at work at that moment).
    void OnOperation(std::function<void(const std::string& what)> hook) { hook_ = std::move(hook); }
    long count() const { return count_; }
    // What the Nth operation was, once it ran.
    const std::string& last() const { return last_; }
    // The free space the trees report (by default the real one).
    void SetFreeSpace(std::uint64_t bytes) { freeSpace_ = bytes; }

    qvpatch::Result OpenTree(const std::string& path, std::unique_ptr<qvpatch::Tree>* tree) override;
    qvpatch::Result OpenFile(const std::string& path, std::unique_ptr<qvpatch::InputFile>* file) override
    {
        return real_.OpenFile(path, file);
    }
    qvpatch::Result WriteNewFile(const std::string& path, const std::uint8_t* data, std::size_t size, bool ownerOnly,
                                 bool* existed) override
    {
        return real_.WriteNewFile(path, data, size, ownerOnly, existed);
    }

    // Counts an operation; true when it is to fail. A crash throws. Operations may come from two
    // threads (a new file is written beside while it is read back), one at a time here.
    bool Hit(const std::string& what)
    {
        std::lock_guard<std::recursive_mutex> held(lock_);
        ++count_;
        if (count_ == at_)
            last_ = what;
        if (hook_)
            hook_(what);
        if (what == failName_ && ++named_ == failNth_)
            return true;
        if (count_ == crashAt_) {
            if (crash_ != nullptr)
                crash_();
            throw Crash{};
        }
        if (mode_ == Mode::kNone || count_ < at_)
            return false;
        if (mode_ == Mode::kCrash && count_ == at_) {
            if (crash_ != nullptr)
                crash_();
            throw Crash{};
        }
        if (mode_ == Mode::kFailOnce)
            return count_ == at_;
        return mode_ == Mode::kFailFromThenOn;
    }
    qvpatch::Result Failure() const { return qvpatch::Fail(qvpatch::Status::kIoError, "injected: " + error_); }
    std::uint64_t freeSpace() const { return freeSpace_; }

private:
    qvpatch::FileSystem& real_;
    std::recursive_mutex lock_;  // a hook may do what it hooks
    Mode mode_ = Mode::kNone;
    long at_ = 0;
    long count_ = 0;
    long crashAt_ = 0;
    std::string failName_;
    long failNth_ = 0, named_ = 0;
    std::function<void(const std::string&)> hook_;
    std::string error_, last_;
    std::uint64_t freeSpace_ = ~0ull;
    void (*crash_)() = nullptr;
};

class FaultInput : public qvpatch::InputFile {
public:
    FaultInput(FaultFs& fs, std::unique_ptr<qvpatch::InputFile> real) : fs_(fs), real_(std::move(real)) {}
    qvpatch::Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        return fs_.Hit("read") ? fs_.Failure() : real_->Read(buffer, size, got);
    }
    qvpatch::Result ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        return fs_.Hit("read") ? fs_.Failure() : real_->ReadAt(offset, buffer, size, got);
    }
    qvpatch::Result Info(qvpatch::FileInfo* info) override
    {
        return fs_.Hit("look at an open file") ? fs_.Failure() : real_->Info(info);
    }

private:
    FaultFs& fs_;
    std::unique_ptr<qvpatch::InputFile> real_;
};

class FaultOutput : public qvpatch::OutputFile {
public:
    FaultOutput(FaultFs& fs, std::unique_ptr<qvpatch::OutputFile> real) : fs_(fs), real_(std::move(real)) {}
    qvpatch::Result Write(const std::uint8_t* data, std::size_t size) override
    {
        return fs_.Hit("write") ? fs_.Failure() : real_->Write(data, size);
    }
    qvpatch::Result Sync() override { return fs_.Hit("flush") ? fs_.Failure() : real_->Sync(); }
    qvpatch::Result Close() override { return fs_.Hit("close") ? fs_.Failure() : real_->Close(); }
    bool CanReadBack() const override { return real_->CanReadBack(); }
    qvpatch::Result Info(qvpatch::FileInfo* info) override { return real_->Info(info); }
    qvpatch::Result ReadBack(std::uint64_t at, std::uint8_t* out, std::size_t size) override
    {
        return fs_.Hit("read back") ? fs_.Failure() : real_->ReadBack(at, out, size);
    }

private:
    FaultFs& fs_;
    std::unique_ptr<qvpatch::OutputFile> real_;
};

class FaultTree : public qvpatch::Tree {
public:
    FaultTree(FaultFs& fs, std::unique_ptr<qvpatch::Tree> real) : fs_(fs), real_(std::move(real)) {}

    std::string Describe(const std::string& name) const override { return real_->Describe(name); }
    qvpatch::Result Stat(const std::string& name, qvpatch::FileInfo* info) override
    {
        return fs_.Hit("look at " + name) ? fs_.Failure() : real_->Stat(name, info);
    }
    qvpatch::Result List(const std::string& name, std::vector<qvpatch::DirEntry>* entries) override
    {
        return fs_.Hit("list " + name) ? fs_.Failure() : real_->List(name, entries);
    }
    qvpatch::Result OpenRead(const std::string& name, std::unique_ptr<qvpatch::InputFile>* file) override
    {
        if (fs_.Hit("open " + name))
            return fs_.Failure();
        std::unique_ptr<qvpatch::InputFile> real;
        qvpatch::Result r = real_->OpenRead(name, &real);
        if (r.ok())
            file->reset(new FaultInput(fs_, std::move(real)));
        return r;
    }
    qvpatch::Result Create(const std::string& name, std::unique_ptr<qvpatch::OutputFile>* file) override
    {
        if (fs_.Hit("create " + name))
            return fs_.Failure();
        std::unique_ptr<qvpatch::OutputFile> real;
        qvpatch::Result r = real_->Create(name, &real);
        if (r.ok())
            file->reset(new FaultOutput(fs_, std::move(real)));
        return r;
    }
    qvpatch::Result Rename(const std::string& from, const std::string& to) override
    {
        return fs_.Hit("rename " + from + " to " + to) ? fs_.Failure() : real_->Rename(from, to);
    }
    qvpatch::Result Remove(const std::string& name) override
    {
        return fs_.Hit("remove " + name) ? fs_.Failure() : real_->Remove(name);
    }
    qvpatch::Result MakeDirectory(const std::string& name, bool ownerOnly) override
    {
        return fs_.Hit("make directory " + name) ? fs_.Failure() : real_->MakeDirectory(name, ownerOnly);
    }
    qvpatch::Result RemoveDirectory(const std::string& name) override
    {
        return fs_.Hit("remove directory " + name) ? fs_.Failure() : real_->RemoveDirectory(name);
    }
    qvpatch::Result CopyAttributes(const std::string& from, const std::string& to) override
    {
        return fs_.Hit("set attributes of " + to) ? fs_.Failure() : real_->CopyAttributes(from, to);
    }
    qvpatch::Result RestoreAttributes(const std::string& name, const qvpatch::FileInfo& like) override
    {
        return fs_.Hit("restore attributes of " + name) ? fs_.Failure() : real_->RestoreAttributes(name, like);
    }
    qvpatch::Result Hold(const std::string& name) override
    {
        return fs_.Hit("hold " + name) ? fs_.Failure() : real_->Hold(name);
    }
    qvpatch::Result Sync(const std::string& name) override
    {
        return fs_.Hit("flush directory " + name) ? fs_.Failure() : real_->Sync(name);
    }
    qvpatch::Result Lock(qvpatch::LockMode mode, bool* taken) override
    {
        return fs_.Hit("lock") ? fs_.Failure() : real_->Lock(mode, taken);
    }
    qvpatch::Result FreeSpace(std::uint64_t* bytes) override
    {
        if (fs_.Hit("free space"))
            return fs_.Failure();
        qvpatch::Result r = real_->FreeSpace(bytes);
        if (r.ok() && fs_.freeSpace() < *bytes)
            *bytes = fs_.freeSpace();
        return r;
    }

private:
    FaultFs& fs_;
    std::unique_ptr<qvpatch::Tree> real_;
};

inline qvpatch::Result FaultFs::OpenTree(const std::string& path, std::unique_ptr<qvpatch::Tree>* tree)
{
    if (Hit("open the tree " + path))
        return Failure();
    std::unique_ptr<qvpatch::Tree> real;
    qvpatch::Result r = real_.OpenTree(path, &real);
    if (r.ok())
        tree->reset(new FaultTree(*this, std::move(real)));
    return r;
}

}  // namespace faulttest
