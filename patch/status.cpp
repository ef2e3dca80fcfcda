// Names of the patch engine's statuses.
#include "qvpatch/status.h"

namespace qvpatch {

const char* StatusName(Status status)
{
    switch (status) {
    case Status::kOk: return "ok";
    case Status::kBadCommandLine: return "bad command line";
    case Status::kPatchUnreadable: return "patch unreadable";
    case Status::kPatchCorrupt: return "patch corrupt";
    case Status::kUnsafePatch: return "unsafe patch";
    case Status::kWrongVersion: return "directory not at the expected version";
    case Status::kIoError: return "I/O error";
    case Status::kStopped: return "stopped on request";
    case Status::kOutOfMemory: return "out of memory";
    case Status::kInterrupted: return "interrupted update";
    case Status::kBuildFailed: return "build failed";
    case Status::kUntrusted: return "patch not trusted";
    }
    return "unknown status";
}

}  // namespace qvpatch
