// Applying a patch: verify, build in the work area, commit by journalled renames, or roll back.
#include "apply.h"

#include <algorithm>
#include <vector>

#include "codec.h"
#include "journal.h"
#include "sha256.h"

namespace qvpatch {

namespace {

// Where one entry stands in the directory before the update.
enum class State { kOld, kNew, kEither };

using Step = JournalStep;

class Update {
public:
    Update(FileSystem& fs, const std::string& directory, const Patch& patch, ApplyObserver& observer)
        : fs_(fs), dir_(directory), patch_(patch), observer_(observer), work_(fs.Join(directory, kWorkAreaName))
    {
    }

    Result Run(const ApplyOptions& options, ApplySummary* summary);

private:
    std::string Path(const std::string& name) const { return fs_.Join(dir_, name); }
    std::string WorkPath(const std::string& name) const { return fs_.Join(work_, name); }
    static std::string NewName(size_t i) { return "new-" + std::to_string(i); }
    static std::string OldName(size_t i) { return "old-" + std::to_string(i); }

    Result CheckLinks();
    Result StateOf(const Entry& e, State* state);
    Result HashFile(const std::string& path, std::uint64_t size, Digest* digest);
    Result BuildNewFiles();
    Result BuildNewFile(size_t index);
    Result BuildGroup(const std::vector<size_t>& members);
    Result LoadOld(const Entry& e, std::vector<std::uint8_t>* old);
    Result Commit(std::vector<Step>* done);
    Result Do(const Step& step);
    Result Undo(const Step& step);
    Result WriteJournal(const std::string& text);
    bool RollBack(const std::vector<Step>& done);
    void ClearWorkArea();
    Result Stopped() { return Fail(Status::kStopped, "the update was stopped; the directory is as it was"); }

    FileSystem& fs_;
    std::string dir_;
    const Patch& patch_;
    ApplyObserver& observer_;
    std::string work_;
    std::unique_ptr<OutputFile> journal_;
};

Result Update::CheckLinks()
{
    // No entry may reach outside the directory through a link or junction standing in its path.
    for (const Entry& e : patch_.entries) {
        std::string partial;
        std::size_t pos = 0;
        while (true) {
            std::size_t slash = e.name.find('/', pos);
            partial = e.name.substr(0, slash);
            FileInfo info;
            Result r = fs_.Stat(Path(partial), &info);
            if (!r.ok())
                return r;
            if (info.isLink)
                return Fail(Status::kUnsafePatch, "unsafe patch: " + partial + " is a link, which the update will not follow");
            if (slash == std::string::npos)
                break;
            if (info.exists && !info.isDirectory)
                return Fail(Status::kWrongVersion, "the directory does not match the patch: " + partial +
                                                       " is a file where the patch needs a directory");
            if (!info.exists)
                break;
            pos = slash + 1;
        }
    }
    return Result::Ok();
}

Result Update::HashFile(const std::string& path, std::uint64_t size, Digest* digest)
{
    std::unique_ptr<InputFile> in;
    Result r = fs_.OpenRead(path, &in);
    if (!r.ok())
        return r;
    Sha256Stream hash;
    std::vector<std::uint8_t> buffer(std::min<std::uint64_t>(kChunkSize, std::max<std::uint64_t>(size, 1)));
    for (;;) {
        std::size_t got = 0;
        r = in->Read(buffer.data(), buffer.size(), &got);
        if (!r.ok())
            return r;
        if (got == 0)
            break;
        hash.Update(buffer.data(), got);
        if (!observer_.KeepGoing())
            return Stopped();
    }
    *digest = hash.Final();
    return Result::Ok();
}

Result Update::StateOf(const Entry& e, State* state)
{
    FileInfo info;
    Result r = fs_.Stat(Path(e.name), &info);
    if (!r.ok())
        return r;
    auto mismatch = [&](const std::string& what) {
        return Fail(Status::kWrongVersion, "the directory is not at the version this patch was made from: " + e.name +
                                               " " + what);
    };
    switch (e.kind) {
    case EntryKind::kAddedDirectory:
        if (info.exists && !info.isDirectory)
            return mismatch("is a file where the patch adds a directory");
        *state = info.exists ? State::kEither : State::kOld;
        return Result::Ok();
    case EntryKind::kRemovedDirectory:
        if (info.exists && !info.isDirectory)
            return mismatch("is a file where the patch removes a directory");
        // One that is still there may hold the user's own files, which the update keeps.
        *state = info.exists ? State::kEither : State::kNew;
        return Result::Ok();
    default:
        break;
    }
    if (!info.exists) {
        if (e.kind == EntryKind::kAddedFile || e.kind == EntryKind::kRemovedFile) {
            *state = e.kind == EntryKind::kAddedFile ? State::kOld : State::kNew;
            return Result::Ok();
        }
        return mismatch("is missing");
    }
    if (info.isDirectory)
        return mismatch("is a directory where the patch expects a file");
    Digest digest{};
    bool hashed = false;
    auto matches = [&](std::uint64_t size, const Digest& expected, bool* equal) -> Result {
        *equal = false;
        if (info.size != size)
            return Result::Ok();
        if (!hashed) {
            Result h = HashFile(Path(e.name), info.size, &digest);
            if (!h.ok())
                return h;
            hashed = true;
        }
        *equal = digest == expected;
        return Result::Ok();
    };
    bool isOld = false, isNew = false;
    // A delta's old file is read whole and checked against its hash before it is decoded, still
    // before the directory changes: when its size alone tells it from the new version, it is not
    // read twice.
    if (e.kind == EntryKind::kChangedFile && e.oldSize != e.newSize && info.size == e.oldSize &&
        UsesOld(e.codec)) {
        *state = State::kOld;
        return Result::Ok();
    }
    if (e.HasOld() && !(r = matches(e.oldSize, e.oldHash, &isOld)).ok())
        return r;
    if (e.HasNew() && !isOld && !(r = matches(e.newSize, e.newHash, &isNew)).ok())
        return r;
    if (isOld) {
        *state = State::kOld;
        return Result::Ok();
    }
    if (isNew) {
        *state = State::kNew;
        return Result::Ok();
    }
    if (e.kind == EntryKind::kAddedFile)
        return mismatch("is in the way: the patch adds a file of that name");
    return mismatch("has other contents (size " + std::to_string(info.size) + ", expected " +
                    std::to_string(e.oldSize) + ")");
}

Result Update::LoadOld(const Entry& e, std::vector<std::uint8_t>* old)
{
    Result r = ReadWholeFile(fs_, Path(e.name), e.oldSize, old);
    if (!r.ok())
        return r;
    if (old->size() != e.oldSize || Sha256(old->data(), old->size()) != e.oldHash)
        return Fail(Status::kWrongVersion,
                    "the directory is not at the version this patch was made from: " + e.name + " has other contents");
    return Result::Ok();
}

// One new file being written into the work area, checked when it is complete.
class NewFile {
public:
    NewFile(FileSystem& fs, ApplyObserver& observer, const Entry& entry, std::string path)
        : fs_(fs), observer_(observer), entry_(entry), path_(std::move(path))
    {
    }

    Result Open()
    {
        observer_.FileStarted(entry_.name);
        return fs_.Create(path_, &out_);
    }

    Result Write(const std::uint8_t* data, std::size_t size)
    {
        Result r = out_->Write(data, size);
        if (!r.ok())
            return r;
        hash_.Update(data, size);
        written_ += size;
        observer_.FileProgress(static_cast<std::uint32_t>(written_ * 0x8000 / entry_.newSize));
        return Result::Ok();
    }

    std::uint64_t left() const { return entry_.newSize - written_; }

    // Flushes, closes and checks the file; an error leaves it for the work area's clean-up.
    Result Finish()
    {
        Result r = out_->Sync();
        Result closed = out_->Close();
        if (!r.ok())
            return r;
        if (!closed.ok())
            return closed;
        if (written_ != entry_.newSize || hash_.Final() != entry_.newHash)
            return Fail(Status::kPatchCorrupt, "corrupt patch: " + entry_.name + " does not come out as the patch says");
        if (entry_.newSize == 0)
            observer_.FileProgress(0x8000);
        observer_.FileDone();
        return Result::Ok();
    }

private:
    FileSystem& fs_;
    ApplyObserver& observer_;
    const Entry& entry_;
    std::string path_;
    std::unique_ptr<OutputFile> out_;
    Sha256Stream hash_;
    std::uint64_t written_ = 0;
};

Result Update::BuildNewFile(size_t index)
{
    const Entry& e = patch_.entries[index];
    std::vector<std::uint8_t> old;
    if (e.kind == EntryKind::kChangedFile && UsesOld(e.codec)) {
        Result r = LoadOld(e, &old);
        if (!r.ok())
            return r;
    }
    NewFile file(fs_, observer_, e, WorkPath(NewName(index)));
    Result r = file.Open();
    if (!r.ok())
        return r;
    r = DecodeEntry(e, patch_.data.data() + e.dataOffset, static_cast<std::size_t>(e.dataLength), old.data(),
                    old.size(), [&](const std::uint8_t* data, std::size_t size) -> Result {
                        Result w = file.Write(data, size);
                        if (!w.ok())
                            return w;
                        return observer_.KeepGoing() ? Result::Ok() : Stopped();
                    },
                    &old);
    Result finished = file.Finish();
    return r.ok() ? finished : r;
}

Result Update::BuildGroup(const std::vector<size_t>& members)
{
    // The prefix is the old files of the changed and removed members, one after the other; the
    // frame decodes to the new files of the changed and added ones.
    std::vector<std::uint8_t> prefix;
    std::uint64_t total = 0;
    std::vector<size_t> outputs;
    for (size_t i : members) {
        if (patch_.entries[i].HasNew()) {
            total += patch_.entries[i].newSize;
            outputs.push_back(i);
        }
        if (!patch_.entries[i].HasOld())
            continue;
        std::vector<std::uint8_t> old;
        Result r = LoadOld(patch_.entries[i], &old);
        if (!r.ok())
            return r;
        prefix.insert(prefix.end(), old.begin(), old.end());
    }
    const Entry& first = patch_.entries[members[0]];  // the data is the same for every member
    std::size_t next = 0;
    std::unique_ptr<NewFile> current;
    // Opens the members' files in turn; files of no bytes are done at once.
    auto advance = [&]() -> Result {
        while (!current || current->left() == 0) {
            if (current) {
                Result r = current->Finish();
                current.reset();
                if (!r.ok())
                    return r;
            }
            if (next == outputs.size())
                return Result::Ok();
            size_t i = outputs[next++];
            current = std::make_unique<NewFile>(fs_, observer_, patch_.entries[i], WorkPath(NewName(i)));
            Result r = current->Open();
            if (!r.ok())
                return r;
        }
        return Result::Ok();
    };
    Result r = advance();
    if (!r.ok())
        return r;
    r = DecodeFrame("the group of " + first.name, patch_.data.data() + first.dataOffset,
                    static_cast<std::size_t>(first.dataLength), prefix.data(), prefix.size(), total,
                    [&](const std::uint8_t* data, std::size_t size) -> Result {
                        while (size > 0) {
                            Result a = advance();
                            if (!a.ok())
                                return a;
                            if (!current)
                                return Fail(Status::kPatchCorrupt, "corrupt patch: a group decodes to too much");
                            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, current->left()));
                            Result w = current->Write(data, n);
                            if (!w.ok())
                                return w;
                            data += n;
                            size -= n;
                        }
                        return observer_.KeepGoing() ? Result::Ok() : Stopped();
                    });
    if (r.ok())
        r = advance();
    if (current && r.ok())
        r = Fail(Status::kPatchCorrupt, "corrupt patch: a group decodes to too little");
    return r;
}

Result Update::BuildNewFiles()
{
    std::vector<std::vector<size_t>> groups = Groups(patch_);
    std::vector<bool> built(patch_.entries.size(), false);
    for (size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (!e.HasNew() || built[i])
            continue;
        if (!observer_.KeepGoing())
            return Stopped();
        Result r;
        if (e.codec == Codec::kZstdGroupDelta) {
            for (const std::vector<size_t>& group : groups) {
                if (std::find(group.begin(), group.end(), i) == group.end())
                    continue;
                r = BuildGroup(group);
                for (size_t member : group)
                    built[member] = true;
            }
        } else {
            r = BuildNewFile(i);
        }
        if (!r.ok())
            return r;
    }
    return Result::Ok();
}

Result Update::Do(const Step& step)
{
    switch (step.kind) {
    case Step::kMakeDirectory:
        return fs_.MakeDirectory(Path(step.name));
    case Step::kMoveAside:
        return fs_.Rename(Path(step.name), WorkPath(step.work));
    case Step::kPlace:
        return fs_.Rename(WorkPath(step.work), Path(step.name));
    case Step::kRemoveDirectory:
        return fs_.RemoveDirectory(Path(step.name));
    }
    return Result::Ok();
}

Result Update::Undo(const Step& step)
{
    switch (step.kind) {
    case Step::kMakeDirectory:
        return fs_.RemoveDirectory(Path(step.name));
    case Step::kMoveAside:
        return fs_.Rename(WorkPath(step.work), Path(step.name));
    case Step::kPlace:
        return fs_.Rename(Path(step.name), WorkPath(step.work));
    case Step::kRemoveDirectory:
        return fs_.MakeDirectory(Path(step.name));
    }
    return Result::Ok();
}

Result Update::WriteJournal(const std::string& text)
{
    Result r = journal_->Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return r.ok() ? journal_->Sync() : r;
}

Result Update::Commit(std::vector<Step>* done)
{
    std::vector<Step> steps;
    std::vector<size_t> order(patch_.entries.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    auto depth = [&](size_t i) { return std::count(patch_.entries[i].name.begin(), patch_.entries[i].name.end(), '/'); };
    // New directories, parents first.
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return depth(a) < depth(b); });
    for (size_t i : order) {
        const Entry& e = patch_.entries[i];
        if (e.kind == EntryKind::kAddedDirectory) {
            FileInfo info;
            Result r = fs_.Stat(Path(e.name), &info);
            if (!r.ok())
                return r;
            if (!info.exists)
                steps.push_back(Step{Step::kMakeDirectory, e.name, ""});
        }
    }
    for (size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (e.kind == EntryKind::kChangedFile || e.kind == EntryKind::kRemovedFile)
            steps.push_back(Step{Step::kMoveAside, e.name, OldName(i)});
        if (e.kind == EntryKind::kChangedFile || e.kind == EntryKind::kAddedFile)
            steps.push_back(Step{Step::kPlace, e.name, NewName(i)});
    }
    // Removed directories, deepest first.
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const Entry& e = patch_.entries[*it];
        if (e.kind == EntryKind::kRemovedDirectory) {
            FileInfo info;
            Result r = fs_.Stat(Path(e.name), &info);
            if (!r.ok())
                return r;
            if (info.exists)
                steps.push_back(Step{Step::kRemoveDirectory, e.name, ""});
        }
    }

    // The journal lists every step, and is flushed, before the first one is taken. Undoing a step
    // looks first whether it was taken, so the journal need not record each one as it goes.
    Result r = fs_.Create(WorkPath("journal"), &journal_);
    if (r.ok())
        r = WriteJournal(JournalPlan(PatchId(patch_), steps));
    if (!r.ok())
        return r;

    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        bool skip = false;
        // A directory the patch removes but that holds files of the user's own stays, with a word.
        if (step.kind == Step::kRemoveDirectory) {
            std::vector<DirEntry> left;
            if (!(r = fs_.List(Path(step.name), &left)).ok())
                return r;
            if (!left.empty()) {
                observer_.Warning("kept " + Path(step.name) + ": it holds files the update does not know");
                skip = true;
            }
        }
        // A replaced file keeps its attributes (read-only among them).
        if (step.kind == Step::kMoveAside && i + 1 < steps.size() && steps[i + 1].kind == Step::kPlace &&
            steps[i + 1].name == step.name) {
            r = fs_.CopyAttributes(Path(step.name), WorkPath(steps[i + 1].work));
            if (!r.ok())
                return r;
        }
        if (!skip) {
            r = Do(step);
            if (!r.ok())
                return r;
            done->push_back(step);
        }
    }
    fs_.SyncDirectory(dir_);
    return Result::Ok();
}

bool Update::RollBack(const std::vector<Step>& done)
{
    bool restored = true;
    for (auto it = done.rbegin(); it != done.rend(); ++it) {
        Result r = Undo(*it);
        if (!r.ok()) {
            observer_.Warning("could not undo a step of the update: " + r.message);
            restored = false;
        }
    }
    return restored;
}

void Update::ClearWorkArea()
{
    if (journal_) {
        journal_->Close();
        journal_.reset();
    }
    std::vector<DirEntry> entries;
    Result r = fs_.List(work_, &entries);
    for (size_t i = 0; r.ok() && i < entries.size(); ++i)
        r = fs_.Remove(WorkPath(entries[i].name));
    if (r.ok())
        r = fs_.RemoveDirectory(work_);
    if (!r.ok())
        observer_.Warning("could not clear the work area (" + r.message + "); the next update of the directory does");
}

Result Update::Run(const ApplyOptions& options, ApplySummary* summary)
{
    FileInfo info;
    Result r = fs_.Stat(dir_, &info);
    if (!r.ok())
        return r;
    if (!info.exists || !info.isDirectory || info.isLink)
        return Fail(Status::kBadCommandLine, "not a directory: " + dir_);
    // An update of this directory that was interrupted is put right before anything else.
    std::string patchId = PatchId(patch_);
    bool found = false;
    if (!(r = Recover(fs_, dir_, observer_, &patchId, &found)).ok())
        return r;
    if (!(r = CheckLinks()).ok())
        return r;

    ApplySummary counted;
    bool allNew = true, allOld = true;
    for (const Entry& e : patch_.entries) {
        if (!observer_.KeepGoing())
            return Stopped();
        State state = State::kEither;
        if (!(r = StateOf(e, &state)).ok())
            return r;
        allNew = allNew && state != State::kOld;
        allOld = allOld && state != State::kNew;
        switch (e.kind) {
        case EntryKind::kChangedFile: ++counted.changedFiles; break;
        case EntryKind::kAddedFile: ++counted.addedFiles; break;
        case EntryKind::kRemovedFile: ++counted.removedFiles; break;
        case EntryKind::kAddedDirectory: ++counted.addedDirectories; break;
        case EntryKind::kRemovedDirectory: ++counted.removedDirectories; break;
        }
    }
    if (allNew) {
        counted.alreadyCurrent = true;
        if (summary)
            *summary = counted;
        observer_.Info("the directory is already at the patch's target version; nothing to do");
        return Result::Ok();
    }
    if (!allOld)
        return Fail(Status::kWrongVersion,
                    "the directory is partly at the old and partly at the new version; it was changed by hand or by "
                    "another update");
    if (summary)
        *summary = counted;
    if (options.checkOnly)
        return Result::Ok();

    if (!(r = fs_.MakeDirectory(work_)).ok())
        return r;
    r = BuildNewFiles();
    if (r.ok() && !observer_.KeepGoing())
        r = Stopped();
    std::vector<Step> done;
    if (r.ok())
        r = Commit(&done);
    if (r.ok()) {
        // Removing the journal is the commit point; the old files in the work area go after it.
        journal_->Close();
        journal_.reset();
        r = fs_.Remove(WorkPath("journal"));
    }
    if (!r.ok()) {
        if (!RollBack(done)) {
            // The work area holds the only copies of what could not be put back: it stays.
            if (journal_)
                journal_->Close();
            return Fail(Status::kInterrupted, r.message + "; the directory could not be restored completely, and " +
                                                  work_ + " keeps the old files");
        }
        ClearWorkArea();
        return r;
    }
    ClearWorkArea();
    return Result::Ok();
}

}  // namespace

Result Apply(FileSystem& fs, const std::string& directory, const Patch& patch, ApplyObserver& observer,
             const ApplyOptions& options, ApplySummary* summary)
{
    Update update(fs, directory, patch, observer);
    return update.Run(options, summary);
}

}  // namespace qvpatch
