// The journal of an update's commit, and the recovery of an update that was interrupted.
//
// Before the first change to the directory the journal lists every step of the commit and a
// SHA-256 over that list, and is flushed. Removing the journal is the commit point. An interrupted
// update is therefore found by its work area: without a journal nothing had changed yet (or
// everything had); with one, every step is undone in reverse order, each only where it was taken
// (a file moved aside is back only if it is in the work area and not in its place, and so on), so
// that it does not matter where the update stopped.
#pragma once

#include <string>
#include <vector>

#include "apply.h"
#include "format.h"
#include "fs.h"
#include "status.h"

namespace qvpatch {

struct JournalStep {
    enum Kind { kMakeDirectory, kMoveAside, kPlace, kRemoveDirectory };
    Kind kind = kMakeDirectory;
    std::string name;  // in the directory, relative, UTF-8 with '/'
    std::string work;  // in the work area, for the steps that move a file there or from there
};

struct Journal {
    std::string patchId;
    std::vector<JournalStep> steps;
};

// What identifies a patch in a journal: a SHA-256 over its entries' kinds, names and hashes.
std::string PatchId(const Patch& patch);

// The journal: the patch's identity and the list of steps, closed by a SHA-256 over them.
std::string JournalPlan(const std::string& patchId, const std::vector<JournalStep>& steps);

// Reads a journal. One cut short (the writer stopped before it was flushed whole, so no step was
// taken) gives a journal with no steps; one whose check fails, or with anything after its check, is
// refused as damaged.
Result ParseJournal(const std::string& text, Journal* journal);

// Puts right an update of the directory that was interrupted: undoes the steps of a journal in
// reverse order, or throws away a work area without one, and removes the work area. With
// expectedPatchId, a journal of another patch is refused. *found tells whether there was anything
// to put right.
Result Recover(FileSystem& fs, const std::string& directory, ApplyObserver& observer, const std::string* expectedPatchId,
               bool* found);

}  // namespace qvpatch
