// The journal of an update's commit, undo, and recovery.
#include "journal.h"

#include "hash_beside.h"

#include <map>
#include <new>
#include <sstream>

namespace qvpatch {

namespace {

const char kHeaderV1[] = "qvpatch journal 1";
const char kHeaderV2[] = "qvpatch journal 2";
const char kHeader[] = "qvpatch journal 3";  // as 2, its files told by BLAKE3
const char* const kKindNames[] = {"mkdir", "aside", "place", "rmdir"};
constexpr int kKinds = 4;

Result Damaged(const std::string& why)
{
    return Fail(Status::kInterrupted, "the journal of an interrupted update is damaged (" + why +
                                          "); it is left as it is for a person to look at");
}

Result Refused(const std::string& why)
{
    return Fail(Status::kInterrupted, "the interrupted update cannot be put right: " + why +
                                          "; the work area is left as it is for a person to look at");
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (true) {
        std::size_t tab = line.find('\t', pos);
        parts.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
        if (tab == std::string::npos)
            return parts;
        pos = tab + 1;
    }
}

// "old-N" or "new-N", N decimal without leading zeros.
bool IsWorkName(const std::string& name, const char* prefix)
{
    const std::size_t n = std::char_traits<char>::length(prefix);
    if (name.size() <= n || name.compare(0, n, prefix) != 0 || name.size() > n + 10)
        return false;
    if (name[n] == '0' && name.size() != n + 1)
        return false;
    for (std::size_t i = n; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    return true;
}

bool ParseSize(const std::string& text, std::uint64_t* size)
{
    if (text.empty() || text.size() > 14 || (text[0] == '0' && text.size() > 1))
        return false;
    *size = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        *size = *size * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return *size <= kMaxFileSize;
}

bool ParseNumber(const std::string& text, std::uint32_t* value)
{
    std::uint64_t n = 0;
    if (!ParseSize(text, &n) || n > 0xFFFFFFFFu)
        return false;
    *value = static_cast<std::uint32_t>(n);
    return true;
}

std::string WorkPath(const std::string& work) { return std::string(kWorkAreaName) + "/" + work; }

// No link stands on the way to name, nor at it: the same rule as for a patch's names.
Result CheckWay(Tree& tree, const std::string& name, bool nameItself)
{
    for (std::size_t slash = name.find('/');; slash = name.find('/', slash + 1)) {
        if (slash == std::string::npos && !nameItself)
            return Result::Ok();
        std::string part = name.substr(0, slash);
        FileInfo info;
        Result r = tree.Stat(part, &info);
        if (!r.ok())
            return r;
        if (info.isLink)
            return Refused(tree.Describe(part) + " is a link, which recovery does not follow");
        if (slash == std::string::npos || !info.exists)
            return Result::Ok();
        if (!info.isDirectory)
            return Refused(tree.Describe(part) + " is a file where the journal names a directory");
    }
}

// Whether the file at name is the step's file: the very file moved (when moved is given; unchanged
// too, with unchanged), or a plain file of the step's size and hash. *info is what was looked at.
Result IsStepFile(Tree& tree, const std::string& name, const JournalStep& step, const FileInfo* moved, bool unchanged,
                  bool* same, FileInfo* info)
{
    *same = false;
    Result r = tree.Stat(name, info);
    if (!r.ok() || !info->exists || !info->isFile)
        return r;
    if (moved != nullptr) {
        *same = unchanged ? SameFile(*info, *moved) : info->id == moved->id;
        return Result::Ok();
    }
    if (!step.verified || info->size != step.size)
        return Result::Ok();
    Digest digest;
    if (!(r = HashFile(tree, name, step.hashKind, nullptr, &digest, info)).ok())
        return r;
    *same = info->size == step.size && digest == step.hash;
    return Result::Ok();
}

// Renames from to to, and makes sure what arrived is what was looked at (seen): had the name
// been given to another file in between, that one goes back at once and *arrived is false.
Result MoveChecked(Tree& tree, const std::string& from, const std::string& to, const FileInfo& seen, bool* arrived)
{
    *arrived = false;
    Result r = tree.Rename(from, to);
    FileInfo now;
    if (!r.ok() || !(r = tree.Stat(to, &now)).ok())
        return r;
    if (SameFile(now, seen)) {
        *arrived = true;
        return Result::Ok();
    }
    return tree.Rename(to, from);
}

Result Exists(Tree& tree, const std::string& name, bool* exists)
{
    FileInfo info;
    Result r = tree.Stat(name, &info);
    *exists = info.exists;
    return r;
}

}  // namespace

Result HashFile(Tree& tree, const std::string& name, FileHash kind, ApplyObserver* keepGoing, Digest* digest,
                FileInfo* info)
{
    std::unique_ptr<InputFile> in;
    Result r = tree.OpenRead(name, &in);
    if (!r.ok())
        return r;
    return HashOpenFile(*in, tree.Describe(name), kind, keepGoing, digest, info);
}

Result HashOpenFile(InputFile& in, const std::string& what, FileHash kind, ApplyObserver* keepGoing, Digest* digest,
                    FileInfo* info)
{
    Result r = in.Info(info);
    if (!r.ok())
        return r;
    // Two buffers: one is hashed beside while the other is read. The hash is declared after them,
    // so that, on a return midway, its work ends before they go.
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(1 << 20, std::max<std::uint64_t>(info->size, 1)));
    std::vector<std::uint8_t> buffers[2];
    HashBeside hash(kind);
    std::uint64_t total = 0;
    for (int turn = 0;; turn ^= 1) {
        std::vector<std::uint8_t>& buffer = buffers[turn];
        try {
            buffer.resize(piece);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory reading " + what);
        }
        std::size_t got = 0;
        if (!(r = in.Read(buffer.data(), buffer.size(), &got)).ok())
            return r;
        if (got == 0)
            break;
        hash.Update(buffer.data(), got);
        total += got;
        if (keepGoing != nullptr && !keepGoing->KeepGoing())
            return Fail(Status::kStopped, "the update was stopped; the directory is as it was");
    }
    // What was hashed is what the file is now: neither changed nor grew while it was read.
    FileInfo after;
    if (!(r = in.Info(&after)).ok())
        return r;
    if (!SameFile(*info, after) || total != info->size)
        return Fail(Status::kWrongVersion, what + " changed while it was being read");
    *digest = hash.Final();
    return Result::Ok();
}

std::string PatchId(const Patch& patch)
{
    Sha256Stream hash;
    for (const Entry& e : patch.entries) {
        std::uint8_t kind = static_cast<std::uint8_t>(e.kind);
        hash.Update(&kind, 1);
        hash.Update(e.name.data(), e.name.size());
        hash.Update("\n", 1);
        hash.Update(e.oldHash.data(), e.oldHash.size());
        hash.Update(e.newHash.data(), e.newHash.size());
    }
    if (patch.version >= kShortCheckFormatVersion) {
        hash.Update(patch.oldContents.data(), patch.oldContents.size());
        hash.Update(patch.newContents.data(), patch.newContents.size());
    }
    return ToHex(hash.Final());
}

std::string JournalPlan(const std::string& patchId, const std::vector<JournalStep>& steps, FileHash kind)
{
    std::string text = std::string(kind == FileHash::kBlake3 ? kHeader : kHeaderV2) + "\npatch\t" + patchId + "\n";
    for (const JournalStep& s : steps) {
        text += std::string("step\t") + kKindNames[s.kind] + "\t" + s.name + "\t" + s.work;
        if (s.kind == JournalStep::kMoveAside || s.kind == JournalStep::kPlace)
            text += "\t" + std::to_string(s.size) + "\t" + ToHex(s.hash);
        if (s.kind == JournalStep::kRemoveDirectory)
            text += "\t" + std::to_string(s.attributes.mode) + "\t" + std::to_string(s.attributes.owner) + "\t" +
                    std::to_string(s.attributes.group);
        text += "\n";
    }
    return text + "end\t" + ToHex(Sha256(text.data(), text.size())) + "\n";
}

Result ParseJournal(const std::string& text, Journal* journal)
{
    *journal = Journal{};
    std::size_t end = text.find("\nend\t");
    if (end == std::string::npos)
        return Result::Ok();  // cut short: the plan was never flushed whole, so no step was taken
    std::string plan = text.substr(0, end + 1);
    std::size_t endLineEnd = text.find('\n', end + 1);
    if (endLineEnd == std::string::npos)
        return Result::Ok();  // the check itself was cut short: no step was taken
    if (endLineEnd + 1 != text.size())
        return Damaged("something follows its check");
    std::string check = text.substr(end + 5, endLineEnd - end - 5);
    if (check != ToHex(Sha256(plan.data(), plan.size())))
        return Damaged("its list of steps does not match its check");

    std::istringstream lines(plan);
    std::string line;
    std::getline(lines, line);
    const bool v3 = line == kHeader, v2 = v3 || line == kHeaderV2;
    if (!v2 && line != kHeaderV1)
        return Damaged("an unknown header");
    while (std::getline(lines, line)) {
        std::vector<std::string> parts = SplitTabs(line);
        if (parts[0] == "patch" && parts.size() == 2) {
            journal->patchId = parts[1];
            continue;
        }
        if (parts[0] != "step" || parts.size() < 4)
            return Damaged("a line it does not understand");
        JournalStep step;
        int kind = -1;
        for (int k = 0; k < kKinds; ++k)
            if (parts[1] == kKindNames[k])
                kind = k;
        if (kind < 0)
            return Damaged("a step it does not understand");
        step.kind = static_cast<JournalStep::Kind>(kind);
        step.name = parts[2];
        step.work = parts[3];
        const bool moves = step.kind == JournalStep::kMoveAside || step.kind == JournalStep::kPlace;
        bool fits = CheckName(step.name).ok();
        if (step.kind == JournalStep::kMoveAside)
            fits = fits && IsWorkName(step.work, "old-");
        else if (step.kind == JournalStep::kPlace)
            fits = fits && IsWorkName(step.work, "new-");
        else
            fits = fits && step.work.empty();
        if (v2 && moves) {
            fits = fits && parts.size() == 6 && ParseSize(parts[4], &step.size) && FromHex(parts[5], &step.hash);
            step.verified = true;
            step.hashKind = v3 ? FileHash::kBlake3 : FileHash::kSha256;
        } else if (v2 && step.kind == JournalStep::kRemoveDirectory) {
            fits = fits && parts.size() == 7 && ParseNumber(parts[4], &step.attributes.mode) &&
                   ParseNumber(parts[5], &step.attributes.owner) && ParseNumber(parts[6], &step.attributes.group);
            step.hasAttributes = true;
        } else {
            fits = fits && parts.size() == 4;
        }
        if (!fits)
            return Damaged("a step that names something the update never touches: " + line);
        journal->steps.push_back(step);
    }
    return Result::Ok();
}

std::vector<const JournalStep*> AsidesBefore(const std::vector<JournalStep>& steps)
{
    std::vector<const JournalStep*> asides(steps.size(), nullptr);
    std::map<std::string, const JournalStep*> lastAside;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        if (steps[k].kind == JournalStep::kPlace) {
            auto found = lastAside.find(steps[k].name);
            asides[k] = found == lastAside.end() ? nullptr : found->second;
        } else if (steps[k].kind == JournalStep::kMoveAside) {
            lastAside[steps[k].name] = &steps[k];
        }
    }
    return asides;
}

Result UndoStep(Tree& tree, const JournalStep& step, ApplyObserver& observer, const FileInfo* moved,
                const JournalStep* aside, const FileInfo* asideMoved)
{
    FileInfo info;
    Result r = tree.Stat(step.name, &info);
    if (!r.ok())
        return r;
    switch (step.kind) {
    case JournalStep::kMakeDirectory: {
        if (!info.exists || !info.isDirectory || info.isLink)
            return Result::Ok();
        std::vector<DirEntry> inside;
        if (!(r = tree.List(step.name, &inside)).ok())
            return r;
        if (!inside.empty()) {
            observer.Warning("kept " + tree.Describe(step.name) + ": it holds files that the update did not put there");
            return Result::Ok();
        }
        return tree.RemoveDirectory(step.name);
    }
    case JournalStep::kRemoveDirectory: {
        // Made again as it was: its mode, owner and group (as far as this user may give them),
        // given in the work area, where no one else reaches, and only then moved into place; one
        // left there half made by an earlier try is made again.
        if (info.exists)
            return Result::Ok();
        const std::string made = WorkPath(kRemadeName);
        FileInfo left;
        if (!(r = tree.Stat(made, &left)).ok())
            return r;
        if (left.exists && (!left.isDirectory || left.isLink))
            return Refused(tree.Describe(made) + " is something the update never puts there");
        if (left.exists && !(r = tree.RemoveDirectory(made)).ok())
            return r;
        if (!(r = tree.MakeDirectory(made, step.hasAttributes)).ok())
            return r;
        if (step.hasAttributes && !(r = tree.RestoreAttributes(made, step.attributes)).ok())
            return r;
        return tree.Rename(made, step.name);
    }
    case JournalStep::kPlace: {
        // Moved back only when the file in place is the new file as it was placed, and its
        // work-area name is free. Something else there while the new file is gone from the work
        // area is not the directory as it was: it stays, for a person to look at.
        bool inWork = false, same = false;
        if (!info.exists || !(r = Exists(tree, WorkPath(step.work), &inWork)).ok() || inWork)
            return r;
        FileInfo placed;
        if (!(r = IsStepFile(tree, step.name, step, moved, true, &same, &placed)).ok())
            return r;
        if (!same && aside != nullptr) {
            // Gone from the work area and the old file back in place: undone already.
            bool back = false;
            if (!(r = IsStepFile(tree, step.name, *aside, asideMoved, false, &back, &placed)).ok() || back)
                return r;
        }
        if (!same)
            return Refused(tree.Describe(step.name) + " is not the file the update placed there");
        bool arrived = false;
        if (!(r = MoveChecked(tree, step.name, WorkPath(step.work), placed, &arrived)).ok())
            return r;
        return arrived ? r : Refused(tree.Describe(step.name) + " changed while it was being moved back");
    }
    case JournalStep::kMoveAside: {
        bool inWork = false, same = false;
        if (!(r = Exists(tree, WorkPath(step.work), &inWork)).ok())
            return r;
        if (!inWork) {
            if (info.exists)
                return Result::Ok();  // never moved aside, or already back
            return Refused(tree.Describe(step.name) + " is missing, and so is the copy the update moved aside");
        }
        if (info.exists)
            return Refused("something was put at " + tree.Describe(step.name) +
                           " while the old file was in the work area; both are kept");
        FileInfo copy;
        if (!(r = IsStepFile(tree, WorkPath(step.work), step, moved, false, &same, &copy)).ok())
            return r;
        if (!same)
            return Refused("the copy of " + tree.Describe(step.name) +
                           " in the work area is not the file that was moved aside");
        bool arrived = false;
        if (!(r = MoveChecked(tree, WorkPath(step.work), step.name, copy, &arrived)).ok())
            return r;
        return arrived ? r : Refused("the copy of " + tree.Describe(step.name) + " changed while it was put back");
    }
    }
    return Result::Ok();
}

Result RemoveWorkArea(Tree& tree, bool oldFilesMayGo)
{
    std::vector<DirEntry> entries;
    Result r = tree.List(kWorkAreaName, &entries);
    if (!r.ok())
        return r;
    bool hasJournal = false;
    for (const DirEntry& e : entries) {
        const bool oldFile = IsWorkName(e.name, "old-");
        const bool remade = e.name == kRemadeName && e.isDirectory;
        bool known = e.name == kJournalName || IsWorkName(e.name, "new-") || oldFile || remade;
        if (e.isLink || (e.isDirectory && !remade) || !known)
            return Refused(tree.Describe(WorkPath(e.name)) + " is something the update never puts there");
        if (!oldFilesMayGo && oldFile)
            return Refused("an old file is still in the work area as " + tree.Describe(WorkPath(e.name)));
        hasJournal |= e.name == kJournalName;
    }
    // The journal first: once it is gone, what is left is only ever thrown away.
    if (hasJournal) {
        if (!(r = tree.Remove(WorkPath(kJournalName))).ok() || !(r = tree.Sync(kWorkAreaName)).ok())
            return r;
    }
    for (const DirEntry& e : entries) {
        if (e.name == kJournalName)
            continue;
        // A directory half made again is removed only when empty, as it was made.
        r = e.isDirectory ? tree.RemoveDirectory(WorkPath(e.name)) : tree.Remove(WorkPath(e.name));
        if (!r.ok())
            return r;
    }
    return tree.RemoveDirectory(kWorkAreaName);
}

Result InspectWorkArea(Tree& tree, bool* found)
{
    FileInfo info;
    Result r = tree.Stat(kWorkAreaName, &info);
    *found = r.ok() && info.exists;
    if (!r.ok() || !info.exists)
        return r;
    if (info.isLink)
        return Refused(tree.Describe(kWorkAreaName) + " is a link, not the work area of an update; remove it by hand");
    if (!info.isDirectory)
        return Refused(tree.Describe(kWorkAreaName) + " is not the work area of an update; remove it by hand");
    if (info.foreign)
        return Refused(tree.Describe(kWorkAreaName) +
                       " was not made by an update of this user's (it belongs to another user, or others may write "
                       "in it); it is left alone");
    return Result::Ok();
}

namespace {

// The sizes and hashes of a version 1 journal's file steps, from the patch that was being applied
// (the work-area name tells the entry).
Result VerifyWithPatch(const Patch& patch, Journal* journal)
{
    for (JournalStep& s : journal->steps) {
        if (s.verified || (s.kind != JournalStep::kMoveAside && s.kind != JournalStep::kPlace))
            continue;
        std::size_t i = s.EntryIndex();
        if (i >= patch.entries.size() || patch.entries[i].name != s.name ||
            (s.kind == JournalStep::kMoveAside ? !patch.entries[i].HasOld() : !patch.entries[i].HasNew()))
            return Damaged("a step that does not belong to the patch: " + s.name);
        const Entry& e = patch.entries[i];
        // A journal that does not tell its files' hashes is older than patches that hold only
        // the start of them: none of its steps can be checked against such a patch.
        if (patch.CheckBytes() < sizeof(Digest))
            return Damaged("a step without its file's hash, which the patch does not tell whole: " + s.name);
        s.verified = true;
        s.size = s.kind == JournalStep::kMoveAside ? e.oldSize : e.newSize;
        s.hash = s.kind == JournalStep::kMoveAside ? e.oldHash : e.newHash;
        s.hashKind = patch.FileHashKind();
    }
    return Result::Ok();
}

}  // namespace

Result Recover(Tree& tree, ApplyObserver& observer, const Patch* patch, bool* found)
{
    Result r = InspectWorkArea(tree, found);
    if (!r.ok() || !*found)
        return r;
    // From here on the work area is the directory looked at, whatever is put at its name.
    if (!(r = tree.Hold(kWorkAreaName)).ok())
        return Refused(r.message);
    FileInfo journalInfo;
    if (!(r = tree.Stat(WorkPath(kJournalName), &journalInfo)).ok())
        return r;
    if (!journalInfo.exists) {
        // No journal: the commit had not begun, or it had passed its commit point.
        observer.Info("removing the work area of an earlier update that did not change the directory");
        return RemoveWorkArea(tree, true);
    }
    if (!journalInfo.isFile || journalInfo.foreign)
        return Refused(tree.Describe(WorkPath(kJournalName)) + " is not a journal this user's update wrote");

    std::vector<std::uint8_t> bytes;
    if (!(r = ReadWholeFile(tree, WorkPath(kJournalName), 64ull << 20, &bytes)).ok())
        return Fail(Status::kInterrupted, "cannot read the journal of an interrupted update: " + r.message);
    Journal journal;
    if (!(r = ParseJournal(std::string(bytes.begin(), bytes.end()), &journal)).ok())
        return r;
    if (patch != nullptr && !journal.steps.empty() && journal.patchId != PatchId(*patch))
        return Fail(Status::kInterrupted,
                    "an interrupted update with another patch is in the way; put the directory "
                    "right first with \"qvpatch recover " +
                        tree.Describe("") + "\"");
    // A journal of the first version names files without their hashes: only the patch tells them.
    bool unverified = false;
    for (const JournalStep& s : journal.steps)
        unverified |= !s.verified && (s.kind == JournalStep::kMoveAside || s.kind == JournalStep::kPlace);
    if (unverified && patch == nullptr)
        return Refused(
            "its journal was written by an earlier version, which does not say which files it moved; put "
            "it right with \"qvpatch recover " +
            tree.Describe("") + " PATCH\", naming the patch that was being applied");
    if (unverified && !(r = VerifyWithPatch(*patch, &journal)).ok())
        return r;
    // Every name is checked before the first step is undone: a journal that fails is left alone.
    for (const JournalStep& s : journal.steps) {
        bool itself = s.kind == JournalStep::kMakeDirectory || s.kind == JournalStep::kRemoveDirectory;
        if (!(r = CheckWay(tree, s.name, itself)).ok())
            return r;
    }

    if (!journal.steps.empty())
        observer.Info("rolling back an interrupted update");
    const std::vector<const JournalStep*> asides = AsidesBefore(journal.steps);
    for (std::size_t k = journal.steps.size(); k-- > 0;) {
        if (!(r = UndoStep(tree, journal.steps[k], observer, nullptr, asides[k])).ok())
            return r.status == Status::kInterrupted
                       ? r
                       : Fail(Status::kInterrupted, "could not finish rolling back an interrupted update (" +
                                                        r.message + "); the next run tries again");
    }
    // Everything is back; a journal with no steps (cut short) moved nothing aside.
    return RemoveWorkArea(tree, journal.steps.empty());
}

Result OpenLockedTree(FileSystem& fs, const std::string& directory, LockMode mode, std::unique_ptr<Tree>* tree)
{
    Result r = fs.OpenTree(directory, tree);
    if (!r.ok())
        return r;
    bool taken = false;
    if (!(r = (*tree)->Lock(mode, &taken)).ok())
        return r;
    if (!taken)
        return Fail(Status::kInterrupted,
                    "another update of " + (*tree)->Describe("") + " is running; try again when it has finished");
    return Result::Ok();
}

Result Recover(FileSystem& fs, const std::string& directory, ApplyObserver& observer, const Patch* patch, bool* found)
{
    *found = false;
    std::unique_ptr<Tree> tree;
    Result r = OpenLockedTree(fs, directory, LockMode::kExclusive, &tree);
    return r.ok() ? Recover(*tree, observer, patch, found) : r;
}

}  // namespace qvpatch
