// Results of the patch engine: a status that doubles as the library's and qvpatch's exit status
// (0 is success), and the reason in words.
#pragma once

#include <string>

namespace qvpatch {

enum class Status : int {
    kOk = 0,
    kBadCommandLine = 1,   // not "DIRECTORY PATCHFILE", or a directory that is not one
    kPatchUnreadable = 2,  // the patch file cannot be opened or read
    kPatchCorrupt = 3,     // bad format, failed integrity check, or a delta that does not decode
    kUnsafePatch = 4,      // a name that would reach outside the directory, a duplicate, a device name
    kWrongVersion = 5,     // the directory is not at the version the patch was made from
    kIoError = 6,          // reading or writing the directory failed (disk full, access denied, ...)
    kStopped = 7,          // stopped on request; the directory is as it was
    kOutOfMemory = 8,
    kInterrupted = 9,   // an interrupted update was found and could not be put right
    kBuildFailed = 10,  // qvpatch build: the trees cannot be compared or encoded
    kUntrusted = 11,    // the signature: missing where the installation asks for one, by a key it does not
                        // trust, not verifying, malformed; or the installation's trust file is damaged
};

const char* StatusName(Status status);

// Every result is looked at: one ignored on purpose says why, next to a cast to void.
struct [[nodiscard]] Result {
    Status status = Status::kOk;
    std::string message;

    bool ok() const { return status == Status::kOk; }
    static Result Ok() { return Result{}; }
};

inline Result Fail(Status status, std::string message) { return Result{status, std::move(message)}; }

}  // namespace qvpatch
