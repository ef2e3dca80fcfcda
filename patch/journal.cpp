// The journal of an update's commit, and recovery.
#include "journal.h"

#include <sstream>

#include "sha256.h"

namespace qvpatch {

namespace {

const char kHeader[] = "qvpatch journal 1";
const char* const kKindNames[] = {"mkdir", "aside", "place", "rmdir"};

Result Damaged(const std::string& why)
{
    return Fail(Status::kInterrupted, "the journal of an interrupted update is damaged (" + why +
                                          "); it is left as it is for a person to look at");
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

// Removes everything in the work area, then the work area.
Result RemoveWorkArea(FileSystem& fs, const std::string& work)
{
    std::vector<DirEntry> entries;
    Result r = fs.List(work, &entries);
    if (!r.ok())
        return r;
    for (const DirEntry& e : entries) {
        if (e.isDirectory || e.isLink)
            return Fail(Status::kInterrupted, "the work area holds something the update never puts there: " +
                                                  fs.Join(work, e.name));
        if (!(r = fs.Remove(fs.Join(work, e.name))).ok())
            return r;
    }
    return fs.RemoveDirectory(work);
}

bool Exists(FileSystem& fs, const std::string& path, bool* directory = nullptr)
{
    FileInfo info;
    if (!fs.Stat(path, &info).ok())
        return false;
    if (directory)
        *directory = info.isDirectory;
    return info.exists;
}

}  // namespace

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
    return ToHex(hash.Final());
}

std::string JournalPlan(const std::string& patchId, const std::vector<JournalStep>& steps)
{
    std::string text = std::string(kHeader) + "\npatch\t" + patchId + "\n";
    for (const JournalStep& s : steps)
        text += std::string("step\t") + kKindNames[s.kind] + "\t" + s.name + "\t" + s.work + "\n";
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
    if (line != kHeader)
        return Damaged("an unknown header");
    while (std::getline(lines, line)) {
        std::vector<std::string> parts = SplitTabs(line);
        if (parts[0] == "patch" && parts.size() == 2) {
            journal->patchId = parts[1];
        } else if (parts[0] == "step" && parts.size() == 4) {
            JournalStep step;
            bool known = false;
            for (int k = 0; k < 4; ++k)
                if (parts[1] == kKindNames[k]) {
                    step.kind = static_cast<JournalStep::Kind>(k);
                    known = true;
                }
            if (!known || CheckName(parts[2]).status != Status::kOk ||
                (!parts[3].empty() && parts[3].find('/') != std::string::npos))
                return Damaged("a step it does not understand");
            step.name = parts[2];
            step.work = parts[3];
            journal->steps.push_back(step);
        } else {
            return Damaged("a line it does not understand");
        }
    }

    return Result::Ok();
}

Result Recover(FileSystem& fs, const std::string& directory, ApplyObserver& observer, const std::string* expectedPatchId,
               bool* found)
{
    *found = false;
    std::string work = fs.Join(directory, kWorkAreaName);
    if (!Exists(fs, work))
        return Result::Ok();
    *found = true;
    std::string journalPath = fs.Join(work, "journal");
    if (!Exists(fs, journalPath)) {
        // No journal: the commit had not begun, or it had passed its commit point.
        observer.Info("removing the work area of an earlier update that did not change the directory");
        return RemoveWorkArea(fs, work);
    }

    std::vector<std::uint8_t> bytes;
    Result r = ReadWholeFile(fs, journalPath, 64ull << 20, &bytes);
    if (!r.ok())
        return Fail(Status::kInterrupted, "cannot read the journal of an interrupted update: " + r.message);
    Journal journal;
    if (!(r = ParseJournal(std::string(bytes.begin(), bytes.end()), &journal)).ok())
        return r;
    if (expectedPatchId != nullptr && !journal.steps.empty() && journal.patchId != *expectedPatchId)
        return Fail(Status::kInterrupted, "an interrupted update with another patch is in the way; put the directory "
                                          "right first with \"qvpatch recover " + directory + "\"");

    observer.Info("rolling back an interrupted update");
    // Every step, last first; each undo looks whether its step was taken.
    for (long i = static_cast<long>(journal.steps.size()) - 1; i >= 0; --i) {
        const JournalStep& s = journal.steps[static_cast<std::size_t>(i)];
        std::string inDirectory = fs.Join(directory, s.name);
        std::string inWork = s.work.empty() ? std::string() : fs.Join(work, s.work);
        bool isDirectory = false;
        switch (s.kind) {
        case JournalStep::kMakeDirectory:
            if (Exists(fs, inDirectory, &isDirectory) && isDirectory)
                r = fs.RemoveDirectory(inDirectory);
            break;
        case JournalStep::kMoveAside:
            if (Exists(fs, inWork) && !Exists(fs, inDirectory))
                r = fs.Rename(inWork, inDirectory);
            break;
        case JournalStep::kPlace:
            if (Exists(fs, inDirectory) && !Exists(fs, inWork))
                r = fs.Rename(inDirectory, inWork);
            break;
        case JournalStep::kRemoveDirectory:
            if (!Exists(fs, inDirectory))
                r = fs.MakeDirectory(inDirectory);
            break;
        }
        if (!r.ok())
            return Fail(Status::kInterrupted, "could not finish rolling back an interrupted update (" + r.message +
                                                  "); the next run tries again");
    }
    // Everything is back: the journal goes first, then what is left in the work area.
    if (!(r = fs.Remove(journalPath)).ok())
        return Fail(Status::kInterrupted, "could not finish rolling back an interrupted update (" + r.message + ")");
    return RemoveWorkArea(fs, work);
}

}  // namespace qvpatch
