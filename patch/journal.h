// The journal of an update's commit, the undoing of its steps, and the recovery of an update that
// was interrupted.
//
// Before the first change to the directory the journal lists every step of the commit, each file
// step with the size and SHA-256 of the file it moves, and a SHA-256 over that list, and is
// flushed. Removing the journal is the commit point. An interrupted update is therefore found by
// its work area: without a journal nothing had changed yet (or everything had); with one, every
// step is undone in reverse order, each only where it was taken and only on the file it moved
// (checked by its size and hash), so that it does not matter where the update stopped, and nothing
// that the update did not put somewhere is ever moved or deleted.
//
// Anyone who can write into the directory can write a journal, so a journal is no more trusted
// than a patch: every name it acts on passes the same checks as a patch's names, and no link in
// the way is followed.
#pragma once

#include <string>
#include <vector>

#include "qvpatch/file_hash.h"
#include "qvpatch/apply.h"
#include "qvpatch/patch_file.h"
#include "qvpatch/file_system.h"
#include "qvpatch/recovery.h"
#include "qvpatch/sha256.h"
#include "qvpatch/status.h"

namespace qvpatch {

// What the work area holds besides the journal: "new-N" (entry N's new file, built) and "old-N"
// (entry N's old file, moved aside).
constexpr char kJournalName[] = "journal";
// Where an undo makes a removed directory again, before it moves it into place.
constexpr char kRemadeName[] = "remade";

struct JournalStep {
    enum Kind { kMakeDirectory, kMoveAside, kPlace, kRemoveDirectory };

    JournalStep() = default;
    JournalStep(Kind k, std::string n, std::string w = {}) : kind(k), name(std::move(n)), work(std::move(w)) {}
    // A file step with the size and hash of its file.
    JournalStep(Kind k, std::string n, std::string w, std::uint64_t s, const Digest& h)
        : kind(k), name(std::move(n)), work(std::move(w)), verified(true), size(s), hash(h)
    {
    }

    Kind kind = kMakeDirectory;
    std::string name;  // in the directory, relative, UTF-8 with '/'
    std::string work;  // in the work area, for the steps that move a file there or from there
    // The file a kMoveAside or kPlace step moves. Journals of version 1 do not tell it; their
    // steps are verified against the patch being applied, when it is known (see Recover).
    bool verified = false;
    std::uint64_t size = 0;
    Digest hash{};
    FileHash hashKind = FileHash::kSha256;  // which hash it is (BLAKE3 from journals of version 3)
    // The mode, owner and group of a directory a kRemoveDirectory step removes, which it gets
    // again when the step is undone (journals of version 1 do not tell them).
    bool hasAttributes = false;
    FileInfo attributes;

    // The patch entry a file step's work name ("old-N", "new-N") belongs to.
    std::size_t EntryIndex() const { return static_cast<std::size_t>(std::stoull(work.substr(4))); }
};

struct Journal {
    std::string patchId;
    std::vector<JournalStep> steps;
};

// What identifies a patch in a journal: a SHA-256 over its entries' kinds, names and hashes.
std::string PatchId(const Patch& patch);

// The journal: the patch's identity and the list of steps, closed by a SHA-256 over them. Its
// steps' files are told by the hash the patch names files by (kind): a journal of version 3 for
// BLAKE3, of version 2 for SHA-256, which earlier readers take.
std::string JournalPlan(const std::string& patchId, const std::vector<JournalStep>& steps,
                        FileHash kind = FileHash::kSha256);

// Reads a journal. One cut short (the writer stopped before it was flushed whole, so no step was
// taken) gives a journal with no steps; one whose check fails, with anything after its check, or
// with a step whose names are not ones the update makes, is refused as damaged (kInterrupted).
Result ParseJournal(const std::string& text, Journal* journal);

// Undoes one step, only where it was taken and only on what it moved: a file of the step's size
// and hash, or, when moved is given (the update that took the step undoes it), the very file it
// moved (an old file whatever it holds now, a new file only as it was placed). Something else in
// the way is never moved or deleted: the result is kInterrupted, saying what a person must look at.
// A directory the step made that now holds files of someone else's stays, with a warning.
// A placement whose new file is gone from the work area counts as undone when the old file it
// replaced (aside, the step that moved it; asideMoved, what was moved) is back in place.
Result UndoStep(Tree& tree, const JournalStep& step, ApplyObserver& observer, const FileInfo* moved = nullptr,
                const JournalStep* aside = nullptr, const FileInfo* asideMoved = nullptr);

// For each placement, the step before it that moved aside the file it replaced (null for the
// rest, and where there is none).
std::vector<const JournalStep*> AsidesBefore(const std::vector<JournalStep>& steps);

// Removes the work area: the journal first, then what the update puts there, then the work area
// itself. oldFilesMayGo: whether old files moved aside may be deleted (after the commit point, or
// when nothing was moved); otherwise one found there stops the clean-up (kInterrupted). Anything
// the update never puts there is left for a person (kInterrupted).
Result RemoveWorkArea(Tree& tree, bool oldFilesMayGo);

// What stands at the work area's name: nothing, the work area of an interrupted update, or
// something in the way that is not one (a link, a file, a directory of another user's or one that
// others may write in), refused with kInterrupted.
Result InspectWorkArea(Tree& tree, bool* found);

// Puts right an update of the tree that was interrupted: undoes the steps of a journal in
// reverse order, or throws away a work area without one, and removes the work area. With patch
// (the one being applied), a journal of another patch is refused, and the steps of a version 1
// journal are verified against the patch's sizes and hashes; without it, a version 1 journal is
// refused. *found tells whether there was anything to put right. The caller holds the tree's
// exclusive lock.
Result Recover(Tree& tree, ApplyObserver& observer, const Patch* patch, bool* found);

// Hashes a plain file of the tree, with the identity of what was hashed; keepGoing, when given, is
// asked after each piece.
Result HashFile(Tree& tree, const std::string& name, FileHash kind, ApplyObserver* keepGoing, Digest* digest,
                FileInfo* info);
// The same for a file open already (read from where it is, to its end); what: its name to give.
Result HashOpenFile(InputFile& in, const std::string& what, FileHash kind, ApplyObserver* keepGoing, Digest* digest,
                    FileInfo* info);

}  // namespace qvpatch
