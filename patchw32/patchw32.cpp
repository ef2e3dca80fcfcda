// The patch library's entry: "DIRECTORY PATCHFILE" in, the engine's status out, and the engine's
// progress turned into the callback messages that qvapply reads:
//   7  the relative name of the file being built (system code page)
//   5  that file's progress: a 32-bit value, 0 to 0x8000
//   8  the file is done
//   21 the stop query, between files and at least every 1 MiB of output; null means stop
// and, for other callers, texts that qvapply ignores:
//   1  information (for example "the directory is already up to date")
//   2  a warning
//   3  the reason of a failure, once, just before a non-zero result
#include <string>

#include "qvpatch/apply.h"
#include "qvpatch/system_text.h"
#include "patchw32.h"

namespace {

using namespace qvpatch;

enum CallbackId {
    kInformation = 1,
    kWarning = 2,
    kFailure = 3,
    kProgress = 5,
    kFileStarted = 7,
    kFileDone = 8,
    kContinueQuery = 21,
};

class CallbackObserver : public ApplyObserver {
public:
    explicit CallbackObserver(PATCH_CALLBACK callback) : callback_(callback) {}

    void FileStarted(const std::string& name) override { Text(kFileStarted, name); }
    void FileProgress(std::uint32_t fraction) override
    {
        if (callback_ != nullptr) {
            std::uint32_t value = fraction;
            callback_(kProgress, &value);
        }
    }
    void FileDone() override
    {
        if (callback_ != nullptr)
            callback_(kFileDone, nullptr);
    }
    bool KeepGoing() override
    {
        if (stopped_)
            return false;
        if (callback_ != nullptr && callback_(kContinueQuery, nullptr) == nullptr)
            stopped_ = true;
        return !stopped_;
    }
    void Info(const std::string& text) override { Text(kInformation, text); }
    void Warning(const std::string& text) override { Text(kWarning, text); }
    void Failure(const std::string& text) { Text(kFailure, text); }

private:
    void Text(int id, const std::string& utf8)
    {
        if (callback_ == nullptr)
            return;
        std::string text = Utf8ToSystem(utf8);
        callback_(id, const_cast<char*>(text.c_str()));
    }

    PATCH_CALLBACK callback_;
    bool stopped_ = false;
};

Result Run(const char* commandLine, CallbackObserver& observer)
{
    std::string line = commandLine != nullptr ? commandLine : "";
    std::size_t blank = line.find(' ');
    if (blank == std::string::npos || blank == 0 || blank + 1 >= line.size())
        return Fail(Status::kBadCommandLine, "expected \"DIRECTORY PATCHFILE\", got \"" + line + "\"");
    std::string directory = SystemToUtf8(line.substr(0, blank));
    std::string patchFile = SystemToUtf8(line.substr(blank + 1));

    FileSystem& fs = NativeFileSystem();
    Patch patch;
    Result r = LoadPatchFile(fs, patchFile, &patch);
    if (!r.ok())
        return r;
    ApplySummary summary;
    return Apply(fs, directory, patch, observer, ApplyOptions{}, &summary);
}

}  // namespace

extern "C" int PATCHW32_API PatchApply(const char* commandLine, PATCH_CALLBACK callback, int flags)
{
    CallbackObserver observer(callback);
    Result r;
    if (flags != 1) {
        r = Fail(Status::kBadCommandLine, "unknown flags " + std::to_string(flags));
    } else {
        try {
            r = Run(commandLine, observer);
        } catch (const std::bad_alloc&) {
            r = Fail(Status::kOutOfMemory, "out of memory");
        } catch (...) {
            r = Fail(Status::kIoError, "unexpected failure");
        }
    }
    if (!r.ok())
        observer.Failure(std::string(StatusName(r.status)) + ": " + r.message);
    return static_cast<int>(r.status);
}
