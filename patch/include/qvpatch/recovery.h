// Putting right an update that was interrupted, and the update lock of a directory.
#pragma once

#include <memory>
#include <string>

#include "qvpatch/apply.h"
#include "qvpatch/file_system.h"
#include "qvpatch/patch_file.h"
#include "qvpatch/status.h"

namespace qvpatch {

// Puts right an update of the directory that was interrupted, before anything else is done there:
// undoes the steps of its journal in reverse order, or throws away a work area without one, and
// removes the work area (see docs/patch-format.md). With patch (the one being applied), a journal
// of another patch is refused, and a journal of the first version is checked against the patch's
// sizes and hashes; without it, such a journal is refused. *found tells whether there was anything
// to put right. Takes the directory's update lock; another update running gives kInterrupted.
Result Recover(FileSystem& fs, const std::string& directory, ApplyObserver& observer, const Patch* patch, bool* found);

// Opens a directory and takes its update lock; another holder gives kInterrupted.
Result OpenLockedTree(FileSystem& fs, const std::string& directory, LockMode mode, std::unique_ptr<Tree>* tree);

}  // namespace qvpatch
