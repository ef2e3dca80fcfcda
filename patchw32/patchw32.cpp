// The patch library's entry: "DIRECTORY PATCHFILE" in, the engine's status out, and the engine's
// progress turned into the callback messages of patchw32.h.
#include <string>

#include "qvpatch/apply.h"
#include "qvpatch/system_text.h"
#include "patchw32.h"

namespace {

using namespace qvpatch;

// The engine's statuses are the library's results.
static_assert(static_cast<int>(Status::kOk) == PATCH_OK &&
                  static_cast<int>(Status::kBadCommandLine) == PATCH_BAD_COMMAND_LINE &&
                  static_cast<int>(Status::kPatchUnreadable) == PATCH_UNREADABLE &&
                  static_cast<int>(Status::kPatchCorrupt) == PATCH_CORRUPT &&
                  static_cast<int>(Status::kUnsafePatch) == PATCH_UNSAFE &&
                  static_cast<int>(Status::kWrongVersion) == PATCH_WRONG_VERSION &&
                  static_cast<int>(Status::kIoError) == PATCH_IO_ERROR &&
                  static_cast<int>(Status::kStopped) == PATCH_STOPPED &&
                  static_cast<int>(Status::kOutOfMemory) == PATCH_OUT_OF_MEMORY &&
                  static_cast<int>(Status::kInterrupted) == PATCH_INTERRUPTED &&
                  static_cast<int>(Status::kUntrusted) == PATCH_UNTRUSTED,
              "the engine's statuses are the library's results");
static_assert(kProgressScale == PATCH_PROGRESS_SCALE, "the engine's progress is the library's");

class CallbackObserver : public ApplyObserver {
public:
    explicit CallbackObserver(PATCH_CALLBACK callback) : callback_(callback) {}

    void FileStarted(const std::string& name) override { Text(PATCH_MSG_FILE, name); }
    void FileProgress(std::uint32_t fraction) override
    {
        if (callback_ != nullptr) {
            std::uint32_t value = fraction;
            callback_(PATCH_MSG_PROGRESS, &value);
        }
    }
    void FileDone() override
    {
        if (callback_ != nullptr)
            callback_(PATCH_MSG_FILE_DONE, nullptr);
    }
    bool KeepGoing() override
    {
        if (stopped_)
            return false;
        if (callback_ != nullptr && callback_(PATCH_MSG_CONTINUE, nullptr) == nullptr)
            stopped_ = true;
        return !stopped_;
    }
    void Info(const std::string& text) override { Text(PATCH_MSG_INFORMATION, text); }
    void Warning(const std::string& text) override { Text(PATCH_MSG_WARNING, text); }
    void Failure(const std::string& text) { Text(PATCH_MSG_FAILURE, text); }

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
