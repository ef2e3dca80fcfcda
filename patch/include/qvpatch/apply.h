// Applying a patch to a directory: verify everything first, build every new file in a work area
// inside the directory, then commit by renames recorded in a journal, so that a stop request or any
// failure leaves the directory exactly as it was.
#pragma once

#include <cstdint>
#include <string>

#include "qvpatch/patch_file.h"
#include "qvpatch/file_system.h"
#include "qvpatch/status.h"

namespace qvpatch {

// A file's progress runs from 0 to this.
constexpr std::uint32_t kProgressScale = 0x8000;

// What the engine tells while it works, and how it learns that it is to stop.
class ApplyObserver {
public:
    virtual ~ApplyObserver() = default;
    virtual void FileStarted(const std::string& name) { (void)name; }
    // The current file's progress, 0 to kProgressScale.
    virtual void FileProgress(std::uint32_t fraction) { (void)fraction; }
    virtual void FileDone() {}
    // Asked between files and at least every 1 MiB of output; false stops the update.
    virtual bool KeepGoing() { return true; }
    // Texts for people: what is being done, and why something failed.
    virtual void Info(const std::string& text) { (void)text; }
    virtual void Warning(const std::string& text) { (void)text; }
};

struct ApplySummary {
    bool alreadyCurrent = false;
    int changedFiles = 0;
    int addedFiles = 0;
    int removedFiles = 0;
    int addedDirectories = 0;
    int removedDirectories = 0;
};

struct ApplyOptions {
    // Verify and report, changing nothing.
    bool checkOnly = false;
};

Result Apply(FileSystem& fs, const std::string& directory, const Patch& patch, ApplyObserver& observer,
             const ApplyOptions& options, ApplySummary* summary);

}  // namespace qvpatch
