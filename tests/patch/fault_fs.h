// A file system for tests that wraps the real one and, at its Nth operation, fails with the error a
// real system gives (once, or from then on), or stops the program there as a crash would.
#pragma once

#include <memory>
#include <string>

#include "fs.h"

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
    long count() const { return count_; }

    std::string Join(const std::string& dir, const std::string& name) const override { return real_.Join(dir, name); }
    qvpatch::Result Stat(const std::string& path, qvpatch::FileInfo* info) override
    {
        return Hit("look at " + path) ? Failure() : real_.Stat(path, info);
    }
    qvpatch::Result List(const std::string& dir, std::vector<qvpatch::DirEntry>* entries) override
    {
        return Hit("list " + dir) ? Failure() : real_.List(dir, entries);
    }
    qvpatch::Result OpenRead(const std::string& path, std::unique_ptr<qvpatch::InputFile>* file) override;
    qvpatch::Result Create(const std::string& path, std::unique_ptr<qvpatch::OutputFile>* file) override;
    qvpatch::Result Rename(const std::string& from, const std::string& to) override
    {
        return Hit("rename " + from) ? Failure() : real_.Rename(from, to);
    }
    qvpatch::Result Remove(const std::string& path) override { return Hit("remove " + path) ? Failure() : real_.Remove(path); }
    qvpatch::Result MakeDirectory(const std::string& path) override
    {
        return Hit("create " + path) ? Failure() : real_.MakeDirectory(path);
    }
    qvpatch::Result RemoveDirectory(const std::string& path) override
    {
        return Hit("remove " + path) ? Failure() : real_.RemoveDirectory(path);
    }
    qvpatch::Result CopyAttributes(const std::string& from, const std::string& to) override
    {
        return Hit("set attributes of " + to) ? Failure() : real_.CopyAttributes(from, to);
    }
    qvpatch::Result SyncDirectory(const std::string& dir) override
    {
        return Hit("flush " + dir) ? Failure() : real_.SyncDirectory(dir);
    }

    // Counts an operation; true when it is to fail. A crash throws.
    bool Hit(const std::string&)
    {
        ++count_;
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

private:
    qvpatch::FileSystem& real_;
    Mode mode_ = Mode::kNone;
    long at_ = 0;
    long count_ = 0;
    std::string error_;
    void (*crash_)() = nullptr;
};

class FaultInput : public qvpatch::InputFile {
public:
    FaultInput(FaultFs& fs, std::unique_ptr<qvpatch::InputFile> real) : fs_(fs), real_(std::move(real)) {}
    qvpatch::Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        return fs_.Hit("read") ? fs_.Failure() : real_->Read(buffer, size, got);
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

private:
    FaultFs& fs_;
    std::unique_ptr<qvpatch::OutputFile> real_;
};

inline qvpatch::Result FaultFs::OpenRead(const std::string& path, std::unique_ptr<qvpatch::InputFile>* file)
{
    if (Hit("open " + path))
        return Failure();
    std::unique_ptr<qvpatch::InputFile> real;
    qvpatch::Result r = real_.OpenRead(path, &real);
    if (r.ok())
        file->reset(new FaultInput(*this, std::move(real)));
    return r;
}

inline qvpatch::Result FaultFs::Create(const std::string& path, std::unique_ptr<qvpatch::OutputFile>* file)
{
    if (Hit("create " + path))
        return Failure();
    std::unique_ptr<qvpatch::OutputFile> real;
    qvpatch::Result r = real_.Create(path, &real);
    if (r.ok())
        file->reset(new FaultOutput(*this, std::move(real)));
    return r;
}

}  // namespace faulttest
