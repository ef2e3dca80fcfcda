// Applying a patch: verify, build in the work area, commit by journalled renames, or roll back.
#include "qvpatch/apply.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <vector>

#include "codec.h"
#include "codecs.h"
#include "hash_beside.h"
#include "journal.h"
#include "memory.h"
#include "match_delta.h"
#include "threads.h"
#include "qvpatch/sha256.h"

namespace qvpatch {

namespace {

// Where one entry stands in the directory before the update.
enum class State { kOld, kNew, kEither };

using Step = JournalStep;

std::string WorkPath(const std::string& name) { return std::string(kWorkAreaName) + "/" + name; }
std::string NewName(std::size_t i) { return "new-" + std::to_string(i); }
std::string OldName(std::size_t i) { return "old-" + std::to_string(i); }

// The directory a name is in ("" for the top).
std::string ParentOf(const std::string& name)
{
    std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

class Update {
public:
    Update(Tree& tree, const Patch& patch, ApplyObserver& observer)
        : tree_(tree),
          patch_(patch),
          observer_(observer),
          seen_(patch.entries.size()),
          built_(patch.entries.size()),
          oldDigests_(patch.entries.size()),
          newDigests_(patch.entries.size())
    {
    }

    Result Run(const ApplyOptions& options, ApplySummary* summary);

    // What each step of the commit moved, for undoing it by identity: the file or directory itself.
    using Moved = std::vector<FileInfo>;

private:
    Result CheckTrust(bool tell);
    Result CheckWays();
    Result StateOf(std::size_t i, State* state);
    Result CheckFreeSpace();
    Result BuildNewFiles();
    Result BuildNewFile(std::size_t index);
    Result BuildGroup(const std::vector<std::size_t>& members);
    // An old file read whole into old, and checked against its entry's hash.
    Result LoadOld(std::size_t i, std::vector<std::uint8_t>* old);
    // The same for a decoder that works while the hash is made: the file is mapped where it can
    // be, or read into old, and *bytes says where it is. progress is told how much of it is in as
    // it goes on; the hash is made beside once all is, until CheckOld.
    struct OldCheck;
    Result LoadOld(std::size_t i, std::vector<std::uint8_t>* old, OldCheck* check, const OldLoad::Progress& progress,
                   OldBytes* bytes);
    Result CheckOld(std::size_t i, const OldBytes& bytes, OldCheck* check);
    Result OpenOld(std::size_t i, std::unique_ptr<InputFile>* in);
    Result CheckContents(bool old, bool found = false);
    Result OldFilesOrCorrupt(const Result& corrupt);
    // An entry's data, in memory or in the patch file.
    DataSource DataOf(const Entry& e) const
    {
        if (patch_.file)
            return DataSource(*patch_.file, patch_.fileDataStart + e.dataOffset, e.dataLength);
        return DataSource(patch_.data.data() + e.dataOffset, static_cast<std::size_t>(e.dataLength));
    }
    Result PlanCommit(std::vector<Step>* steps);
    Result Commit(const std::vector<Step>& steps, Moved* moved, std::size_t* reached);
    Result MoveAside(const Step& step, bool keepsAttributes, const std::string& placed, bool* moved);
    Result CheckMovedAside(const std::vector<Step>& steps);
    Result RollBack(const std::vector<Step>& steps, const Moved& moved, std::size_t reached);
    Result Stopped() { return Fail(Status::kStopped, "the update was stopped; the directory is as it was"); }
    Result Changed(const std::string& name)
    {
        return Fail(Status::kWrongVersion,
                    tree_.Describe(name) + " changed while the update was running; the directory is as it was");
    }

    Tree& tree_;
    const Patch& patch_;
    ApplyObserver& observer_;
    // Each old file as it was when it was verified: it must be the same when it is moved aside,
    // and until the commit point.
    std::vector<FileInfo> seen_;
    // Each new file as it was when it was built and checked: it is the one placed.
    std::vector<FileInfo> built_;
    // The SHA-256 of each old file as it was verified, and of each new file as it was built or
    // found: what the journal records, and what the patch's contents checks are made of.
    std::vector<std::optional<Digest>> oldDigests_;
    std::vector<std::optional<Digest>> newDigests_;
    bool checkOnly_ = false;
};

Result Update::CheckWays()
{
    // Spelled exactly as the patch adds them: on a file system that tells case apart, "A/x" does
    // not go into an added "a".
    std::set<std::string> addedDirectories;
    for (const Entry& e : patch_.entries)
        if (e.kind == EntryKind::kAddedDirectory)
            addedDirectories.insert(e.name);
    for (const Entry& e : patch_.entries) {
        if (!observer_.KeepGoing())
            return Stopped();
        // No entry may reach outside the directory through a link or junction in its path.
        for (std::size_t slash = e.name.find('/');; slash = e.name.find('/', slash + 1)) {
            std::string part = e.name.substr(0, slash);
            FileInfo info;
            Result r = tree_.Stat(part, &info);
            if (!r.ok())
                return r;
            if (info.isLink)
                return Fail(Status::kUnsafePatch,
                            "unsafe patch: " + tree_.Describe(part) + " is a link, which the update will not follow");
            if (slash == std::string::npos || !info.exists)
                break;
            if (!info.isDirectory)
                return Fail(Status::kWrongVersion, "the directory does not match the patch: " + tree_.Describe(part) +
                                                       " is a file where the patch needs a directory");
        }
        // What the update adds goes into a directory that is there, or that the update adds too.
        if (e.kind == EntryKind::kAddedFile || e.kind == EntryKind::kAddedDirectory) {
            std::string parent = ParentOf(e.name);
            FileInfo info;
            Result r = parent.empty() ? Result::Ok() : tree_.Stat(parent, &info);
            if (!r.ok())
                return r;
            if (!parent.empty() && !info.exists && !addedDirectories.count(parent))
                return Fail(Status::kWrongVersion, "the directory is not at the version this patch was made from: " +
                                                       tree_.Describe(parent) + " is missing");
        }
    }
    return Result::Ok();
}

Result Update::StateOf(std::size_t i, State* state)
{
    const Entry& e = patch_.entries[i];
    FileInfo info;
    Result r = tree_.Stat(e.name, &info);
    if (!r.ok())
        return r;
    auto mismatch = [&](const std::string& what) {
        return Fail(Status::kWrongVersion, "the directory is not at the version this patch was made from: " +
                                               tree_.Describe(e.name) + " " + what);
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
    default: break;
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
    if (!info.isFile)
        return mismatch("is not a plain file");
    seen_[i] = info;
    // A delta's old file is read whole and checked against its hash before it is decoded, still
    // before the directory changes: when its size alone tells it from the new version, it is not
    // read twice. A check, which decodes nothing, reads it here.
    if (!checkOnly_ && e.kind == EntryKind::kChangedFile && e.oldSize != e.newSize && info.size == e.oldSize &&
        CodecOf(e.codec).usesOld) {
        *state = State::kOld;
        return Result::Ok();
    }
    Digest digest{};
    bool hashed = false;
    auto matches = [&](std::uint64_t size, const Digest& expected, bool* equal) -> Result {
        *equal = false;
        if (info.size != size)
            return Result::Ok();
        if (!hashed) {
            Result h = HashFile(tree_, e.name, patch_.FileHashKind(), &observer_, &digest, &seen_[i]);
            if (!h.ok())
                return h;
            hashed = true;
        }
        *equal = seen_[i].size == size && patch_.Matches(digest, expected);
        return Result::Ok();
    };
    bool isOld = false, isNew = false;
    if (e.HasOld() && !(r = matches(e.oldSize, e.oldHash, &isOld)).ok())
        return r;
    if (e.HasNew() && !isOld && !(r = matches(e.newSize, e.newHash, &isNew)).ok())
        return r;
    if (isOld) {
        oldDigests_[i] = digest;
        *state = State::kOld;
        return Result::Ok();
    }
    if (isNew) {
        newDigests_[i] = digest;
        *state = State::kNew;
        return Result::Ok();
    }
    if (e.kind == EntryKind::kAddedFile)
        return mismatch("is in the way: the patch adds a file of that name");
    return mismatch("has other contents (size " + std::to_string(info.size) + ", expected " +
                    std::to_string(e.oldSize) + ")");
}

Result Update::CheckFreeSpace()
{
    // Every new file is built whole in the work area before the commit; moving files about
    // takes no room. Each file is counted in whole blocks, with some room for the journal.
    constexpr std::uint64_t kBlock = 4096;
    std::uint64_t needed = 1 << 20;
    for (const Entry& e : patch_.entries) {
        needed += kBlock + e.name.size() * 2;
        if (e.HasNew())
            needed += (e.newSize + kBlock - 1) / kBlock * kBlock;
    }
    std::uint64_t free = 0;
    Result r = tree_.FreeSpace(&free);
    if (!r.ok())
        return r;
    if (needed > free)
        return Fail(Status::kIoError, "not enough free space for the update of " + tree_.Describe("") + ": it needs " +
                                          std::to_string(needed) + " bytes, and " + std::to_string(free) + " are free");
    return Result::Ok();
}

// The hash of an old file held whole, made beside its decoding. It is made once the file is all
// in rather than as it comes, so that the reading is not held to the hash's pace; the records are
// what it is made beside. Its work ends before the bytes it reads go (it is declared after the
// buffer they are read into, and holds the file they are mapped from).
struct Update::OldCheck {
    std::unique_ptr<InputFile> mapped;
    Digest digest{};
    std::function<void()> hash;  // the work beside, until Start starts it
    Beside hashing;              // last: its work ends first

    // Starts the hash beside, once.
    void Start()
    {
        if (hash)
            hashing.Start(std::move(hash));
        hash = nullptr;
    }

    // Once the file is decoded: a mapped file is let go (and its lease with it), so that nobody
    // waits to write it while the new file is flushed.
    void Release()
    {
        hash = nullptr;  // not started by now, it never is: the bytes it reads go
        hashing.Wait();
        mapped.reset();
    }
};

Result Update::LoadOld(std::size_t i, std::vector<std::uint8_t>* old)
{
    return LoadOld(i, old, nullptr, nullptr, nullptr);
}

Result Update::LoadOld(std::size_t i, std::vector<std::uint8_t>* old, OldCheck* check,
                       const OldLoad::Progress& progress, OldBytes* bytes)
{
    const Entry& e = patch_.entries[i];
    std::unique_ptr<InputFile> in;
    Result r = tree_.OpenRead(e.name, &in);
    FileInfo info;
    if (!r.ok() || !(r = in->Info(&info)).ok())
        return r;
    if (!SameFile(info, seen_[i]))
        return Changed(e.name);
    if (check != nullptr) {
        // Mapped, the file is not copied: only a file nobody can change while it is mapped is.
        const std::uint8_t* mapped = nullptr;
        std::uint64_t mappedSize = 0;
        if (info.size == e.oldSize && !(r = in->Map(&mapped, &mappedSize)).ok())
            return r;
        if (mapped != nullptr) {
            // It may have grown or shrunk since it was looked at, before its lease.
            if (mappedSize != e.oldSize)
                return Changed(e.name);
            *bytes = OldBytes{mapped, static_cast<std::size_t>(mappedSize)};
            check->mapped = std::move(in);
        } else {
            std::size_t read = 0;
            r = ReadAll(*in, tree_.Describe(e.name), e.oldSize, old, [&](const std::uint8_t*, std::size_t size) {
                read += size;
                progress(old->data(), read);
            });
            if (!r.ok())
                return r;
            *bytes = OldBytes{old->data(), old->size()};
        }
        // A small file is hashed at once: handing it on would cost more than it saves.
        constexpr std::size_t kBesideFrom = 1 << 20;
        const OldBytes all = *bytes;
        const FileHash kind = patch_.FileHashKind();
        if (all.size < kBesideFrom)
            check->digest = HashBytes(kind, all.data, all.size);
        else
            // Its verdict is asked for only once the records have run, and it is started when they
            // start (or when it is asked for): the decoder's work before them, which they wait
            // for, has the processors to itself.
            check->hash = [check, all, kind] {
                YieldToOtherWork();
                check->digest = HashBytes(kind, all.data, all.size);
            };
        if (mapped != nullptr)
            progress(all.data, all.size);
        return Result::Ok();
    }
    // Each piece is hashed beside the reading of the next.
    HashBeside hash(patch_.FileHashKind());
    r = ReadAll(*in, tree_.Describe(e.name), e.oldSize, old,
                [&](const std::uint8_t* piece, std::size_t size) { hash.Update(piece, size); });
    const Digest digest = hash.Final();
    if (!r.ok())
        return r;
    OldCheck made;
    made.digest = digest;
    return CheckOld(i, OldBytes{old->data(), old->size()}, &made);
}

Result Update::CheckOld(std::size_t i, const OldBytes& bytes, OldCheck* check)
{
    const Entry& e = patch_.entries[i];
    check->Start();
    check->hashing.Wait();
    if (check->mapped && !check->mapped->MappedIntact())
        return Changed(e.name);
    if (bytes.size != e.oldSize || !patch_.Matches(check->digest, e.oldHash))
        return Fail(Status::kWrongVersion, "the directory is not at the version this patch was made from: " +
                                               tree_.Describe(e.name) + " has other contents");
    oldDigests_[i] = check->digest;
    return Result::Ok();
}

// For a codec that reads the old file by position: the old file open, checked against its hash
// before anything is decoded from it. It stays open while it is decoded; whether it changed
// meanwhile is asked again after.
Result Update::OpenOld(std::size_t i, std::unique_ptr<InputFile>* in)
{
    const Entry& e = patch_.entries[i];
    FileInfo info;
    Digest digest{};
    Result r = tree_.OpenRead(e.name, in);
    if (!r.ok() || !(r = (*in)->Info(&info)).ok())
        return r;
    if (!SameFile(info, seen_[i]))
        return Changed(e.name);
    if (!(r = HashOpenFile(**in, tree_.Describe(e.name), patch_.FileHashKind(), &observer_, &digest, &info)).ok())
        return r;
    if (!SameFile(info, seen_[i]))
        return Changed(e.name);
    if (info.size != e.oldSize || !patch_.Matches(digest, e.oldHash))
        return Fail(Status::kWrongVersion, "the directory is not at the version this patch was made from: " +
                                               tree_.Describe(e.name) + " has other contents");
    oldDigests_[i] = digest;
    return Result::Ok();
}

// Whether the old (or new) files' SHA-256, as each was verified or built, make up the patch's
// contents check. Each file was told by its own check already; from version 6 that holds only the
// start of its SHA-256, and this verifies the whole of each. Every file must have been hashed.
// New files built that do not are the patch's fault; old files, or new ones found in the
// directory, that do not are the directory's (found: the new files were found there).
Result Update::CheckContents(bool old, bool found)
{
    std::vector<Digest> digests;
    for (std::size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (!(old ? e.HasOld() : e.HasNew()))
            continue;
        const std::optional<Digest>& d = old ? oldDigests_[i] : newDigests_[i];
        if (!d)
            return Fail(Status::kWrongVersion, tree_.Describe(e.name) + " was not verified");
        digests.push_back(*d);
    }
    if (patch_.version < kShortCheckFormatVersion ||
        ContentsCheck(digests) == (old ? patch_.oldContents : patch_.newContents))
        return Result::Ok();
    if (old || found)
        return Fail(Status::kWrongVersion, std::string("the directory is not at the version this patch was made from: "
                                                       "its files do not make up the ") +
                                               (old ? "old" : "new") + " contents the patch checks for");
    return Fail(Status::kPatchCorrupt, "corrupt patch: the new files do not make up the contents the patch checks for");
}

// What to tell when new files did not come out as the patch says. Where the entries hold only the
// start of each hash, an old file that agrees with its entry there and nowhere else decodes to
// such files: the old files that were not hashed yet are, and when the set is not the one the
// patch was made from, that is what is told.
Result Update::OldFilesOrCorrupt(const Result& corrupt)
{
    if (patch_.CheckBytes() == sizeof(Digest))
        return corrupt;
    for (std::size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (!e.HasOld() || oldDigests_[i])
            continue;
        Digest digest{};
        FileInfo info;
        Result r = HashFile(tree_, e.name, patch_.FileHashKind(), &observer_, &digest, &info);
        if (!r.ok())
            return r;
        if (!SameFile(info, seen_[i]))
            return Changed(e.name);
        oldDigests_[i] = digest;
    }
    Result old = CheckContents(true);
    return old.ok() ? corrupt : old;
}

// One new file being written into the work area, checked when it is complete.
class NewFile {
public:
    // built: where what was built is told, once it is checked.
    NewFile(Tree& tree, ApplyObserver& observer, const Patch& patch, const Entry& entry, std::string name,
            FileInfo* built, std::optional<Digest>* digest)
        : tree_(tree),
          observer_(observer),
          patch_(patch),
          entry_(entry),
          name_(std::move(name)),
          built_(built),
          digest_(digest),
          hash_(patch.FileHashKind())
    {
    }

    Result Open()
    {
        observer_.FileStarted(entry_.name);
        return tree_.Create(name_, &out_);
    }

    Result Write(const std::uint8_t* data, std::size_t size)
    {
        if (size == 0)
            return Result::Ok();
        Result r;
        if (piecesKept_) {
            // A piece kept until the next Write has returned is hashed, then written, beside, one
            // thread doing both while it is in its cache; the piece before is done first.
            if (!(r = Settle()).ok())
                return r;
            RethrowBeside();
            inFlight_ = written_;
            beside_.Start([this, data, size] {
                hash_.Update(data, size);
                besideWrote_ = out_->Write(data, size);
            });
        } else if (size >= kHashBesideFrom) {
            // A large piece is hashed beside while it is written (no copy: the two take about as
            // long), and both are done before the caller has its buffer back, however the write
            // ends.
            beside_.Start([this, data, size] { hash_.Update(data, size); });
            struct Settled {
                NewFile& file;
                ~Settled() { (void)file.Settle(); }
            } settled{*this};
            r = out_->Write(data, size);
        } else {
            hash_.Update(data, size);
            r = out_->Write(data, size);
        }
        if (!r.ok())
            return r;
        written_ += size;
        observer_.FileProgress(static_cast<std::uint32_t>(written_ * kProgressScale / entry_.newSize));
        return Result::Ok();
    }

    std::uint64_t left() const { return entry_.newSize - written_; }

    // Whether the caller leaves each piece as it is until the next Write has returned. Once it
    // does not, the piece kept is done with (what came of it is told by Finish).
    void KeepPieces(bool kept)
    {
        if (!kept) {
            Result r = Settle();
            if (!r.ok() && failed_.ok())
                failed_ = r;
        }
        piecesKept_ = kept;
    }

    // What was written, read back, where the file can.
    bool CanReadBack() const { return out_ && out_->CanReadBack(); }
    Result ReadBack(std::uint64_t at, std::uint8_t* out, std::size_t size)
    {
        // Bytes of the piece being written beside are read once it is written.
        Result r = at + size > inFlight_ ? Settle() : Result::Ok();
        RethrowBeside();
        return r.ok() ? out_->ReadBack(at, out, size) : r;
    }

    // Flushes, closes and checks the file; an error leaves it for the work area's clean-up.
    Result Finish()
    {
        Result r = Settle();
        if (r.ok())
            r = failed_;
        if (r.ok())
            r = out_->Sync();
        FileInfo made;
        if (r.ok())
            r = out_->Info(&made);
        Result closed = out_->Close();
        if (!r.ok())
            return r;
        if (!closed.ok())
            return closed;
        RethrowBeside();
        // The work area is not this update's alone: what its name holds now must be the file
        // written, whole, not one cut short or put in its place meanwhile. Told before the new
        // file's check, which what was read back of such a file fails too.
        if (!(r = tree_.Stat(name_, built_)).ok())
            return r;
        if (!built_->isFile || built_->size != written_ ||
            (made.exists && (made.id != built_->id || made.size != written_)))
            return Fail(Status::kIoError, tree_.Describe(name_) +
                                              " was changed by another program while the update wrote it; the "
                                              "directory is as it was");
        const Digest digest = hash_.Final();
        if (written_ != entry_.newSize || !patch_.Matches(digest, entry_.newHash))
            return Fail(Status::kPatchCorrupt,
                        "corrupt patch: " + entry_.name + " does not come out as the patch says");
        *digest_ = digest;
        if (entry_.newSize == 0)
            observer_.FileProgress(kProgressScale);
        observer_.FileDone();
        return Result::Ok();
    }

private:
    Tree& tree_;
    ApplyObserver& observer_;
    const Patch& patch_;
    const Entry& entry_;
    std::string name_;
    FileInfo* built_;
    std::optional<Digest>* digest_;
    std::unique_ptr<OutputFile> out_;
    // Smaller pieces are hashed at once: handing them on would cost more than it saves.
    static constexpr std::size_t kHashBesideFrom = 256 << 10;

    // Waits for the work beside: then the piece it had may change. What its write came to is told;
    // what it threw, by Finish. It does not throw: it is what ends a decoding that failed.
    Result Settle() noexcept
    {
        try {
            beside_.Wait();
        } catch (...) {
            thrown_ = std::current_exception();
        }
        inFlight_ = written_;
        return std::exchange(besideWrote_, Result::Ok());
    }

    // What the work beside threw, thrown here: nothing more is written or read back after it.
    void RethrowBeside()
    {
        if (thrown_)
            std::rethrow_exception(std::exchange(thrown_, nullptr));
    }

    FileHasher hash_;
    bool piecesKept_ = false;
    std::uint64_t written_ = 0;
    std::uint64_t inFlight_ = 0;  // where the piece being written beside starts
    Result besideWrote_, failed_;
    std::exception_ptr thrown_;
    Beside beside_;  // after out_ and hash_, which its work uses
};

Result Update::BuildNewFile(std::size_t index)
{
    const Entry& e = patch_.entries[index];
    const bool usesOld = e.kind == EntryKind::kChangedFile && CodecOf(e.codec).usesOld;
    const bool streams = usesOld && CodecOf(e.codec).streamsOld;
    std::vector<std::uint8_t> old;
    std::unique_ptr<InputFile> oldFile;
    if (streams) {
        Result r = OpenOld(index, &oldFile);
        if (!r.ok())
            return r;
    }
    // An old file read whole is read, and checked, when its decoder asks: it may have work to do
    // beside the reading.
    const bool loads = usesOld && !streams;
    if (loads && e.oldSize > std::numeric_limits<std::size_t>::max())
        return Fail(Status::kOutOfMemory, "out of memory for " + tree_.Describe(e.name) + ", too large to hold");
    OldCheck check;  // after old, which its work reads
    OldBytes bytes;
    OldLoad load{[this, index, &old, &check, &bytes](OldBytes* into, const OldLoad::Progress& progress) {
                     Result read = LoadOld(index, &old, &check, progress, &bytes);
                     *into = bytes;
                     return read;
                 },
                 [this, index, &check, &bytes] { return CheckOld(index, bytes, &check); }, nullptr, nullptr, nullptr};
    NewFile file(tree_, observer_, patch_, e, WorkPath(NewName(index)), &built_[index], &newDigests_[index]);
    Result r = file.Open();
    if (!r.ok())
        return r;
    if (file.CanReadBack())
        load.readBack = [&file](std::uint64_t at, std::uint8_t* out, std::size_t size) {
            return file.ReadBack(at, out, size);
        };
    load.keepPieces = [&file](bool kept) { file.KeepPieces(kept); };
    load.recordsStart = [&check] { check.Start(); };
    r = DecodeEntry(
        e, DataOf(e), nullptr, loads ? static_cast<std::size_t>(e.oldSize) : 0,
        [&](const std::uint8_t* data, std::size_t size) -> Result {
            Result w = file.Write(data, size);
            if (!w.ok())
                return w;
            return observer_.KeepGoing() ? Result::Ok() : Stopped();
        },
        oldFile.get(), loads ? &load : nullptr);
    check.Release();
    // An old file read by position must still be the one checked: a change while it was read
    // is told as such, not as a damaged patch.
    if (oldFile) {
        FileInfo after;
        Result looked = oldFile->Info(&after);
        if (!looked.ok())
            r = r.ok() ? looked : r;
        else if (!SameFile(after, seen_[index]))
            r = Changed(e.name);
    }
    Result finished = file.Finish();
    return r.ok() ? finished : r;
}

Result Update::BuildGroup(const std::vector<std::size_t>& members)
{
    // The prefix is the old files of the changed and removed members, one after the other; the
    // frame decodes to the new files of the changed and added ones.
    std::vector<std::uint8_t> prefix;
    std::uint64_t total = 0, oldTotal = 0;
    std::vector<std::size_t> outputs;
    for (std::size_t i : members)
        oldTotal += patch_.entries[i].HasOld() ? patch_.entries[i].oldSize : 0;
    // Made once at its size: grown file by file, it would for a while take half as much again.
    try {
        if (oldTotal > prefix.max_size())
            throw std::bad_alloc();
        prefix.reserve(static_cast<std::size_t>(oldTotal));
        AdviseLargeBuffer(prefix.data(), prefix.capacity());
    } catch (const std::exception&) {
        return Fail(Status::kOutOfMemory, "out of memory for the old files of a group");
    }
    for (std::size_t i : members) {
        if (patch_.entries[i].HasNew()) {
            total += patch_.entries[i].newSize;
            outputs.push_back(i);
        }
        if (!patch_.entries[i].HasOld())
            continue;
        std::vector<std::uint8_t> old;
        Result r = LoadOld(i, &old);
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
            std::size_t i = outputs[next++];
            current = std::make_unique<NewFile>(tree_, observer_, patch_, patch_.entries[i], WorkPath(NewName(i)),
                                                &built_[i], &newDigests_[i]);
            Result r = current->Open();
            if (!r.ok())
                return r;
        }
        return Result::Ok();
    };
    Result r = advance();
    if (!r.ok())
        return r;
    const ChunkSink sink = [&](const std::uint8_t* data, std::size_t size) -> Result {
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
    };
    const std::string what = "the group of " + first.name;
    if (first.codec == Codec::kGroupMatchDelta)
        r = DecodeSplitMatchDelta(what, DataOf(first), prefix.data(), prefix.size(), total, sink);
    else
        r = DecodeFrame(what, DataOf(first), prefix.data(), prefix.size(), total, sink);
    if (r.ok())
        r = advance();
    if (current && r.ok())
        r = Fail(Status::kPatchCorrupt, "corrupt patch: a group decodes to too little");
    return r;
}

Result Update::BuildNewFiles()
{
    std::vector<std::vector<std::size_t>> groups = Groups(patch_);
    std::vector<std::size_t> groupOf(patch_.entries.size(), groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g)
        for (std::size_t member : groups[g])
            groupOf[member] = g;
    std::vector<bool> built(patch_.entries.size(), false);
    for (std::size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (!e.HasNew() || built[i])
            continue;
        if (!observer_.KeepGoing())
            return Stopped();
        Result r;
        if (CodecOf(e.codec).shared && groupOf[i] < groups.size()) {
            r = BuildGroup(groups[groupOf[i]]);
            for (std::size_t member : groups[groupOf[i]])
                built[member] = true;
        } else {
            r = BuildNewFile(i);
        }
        if (!r.ok())
            return r;
    }
    return Result::Ok();
}

Result Update::PlanCommit(std::vector<Step>* steps)
{
    std::vector<std::size_t> order(patch_.entries.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    auto depth = [&](std::size_t i) {
        return std::count(patch_.entries[i].name.begin(), patch_.entries[i].name.end(), '/');
    };
    // New directories, parents first.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return depth(a) < depth(b); });
    for (std::size_t i : order) {
        const Entry& e = patch_.entries[i];
        if (e.kind != EntryKind::kAddedDirectory)
            continue;
        FileInfo info;
        Result r = tree_.Stat(e.name, &info);
        if (!r.ok())
            return r;
        if (!info.exists)
            steps->push_back(Step{Step::kMakeDirectory, e.name, ""});
    }
    for (std::size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (e.HasOld() && seen_[i].exists) {
            Step aside{Step::kMoveAside, e.name, OldName(i)};
            aside.verified = true;
            aside.size = e.oldSize;
            aside.hash = *oldDigests_[i];
            steps->push_back(aside);
        }
        if (e.HasNew()) {
            Step place{Step::kPlace, e.name, NewName(i)};
            place.verified = true;
            place.size = e.newSize;
            place.hash = *newDigests_[i];
            steps->push_back(place);
        }
    }
    // Removed directories, deepest first, each with what it needs to be made again as it was.
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const Entry& e = patch_.entries[*it];
        if (e.kind != EntryKind::kRemovedDirectory)
            continue;
        FileInfo info;
        Result r = tree_.Stat(e.name, &info);
        if (!r.ok())
            return r;
        if (info.exists) {
            Step step{Step::kRemoveDirectory, e.name, ""};
            step.hasAttributes = true;
            step.attributes = info;
            steps->push_back(step);
        }
    }
    return Result::Ok();
}

Result Update::MoveAside(const Step& step, bool keepsAttributes, const std::string& placed, bool* moved)
{
    *moved = false;
    std::size_t i = step.EntryIndex();
    // The old file is still the one that was verified: nobody changed it since.
    FileInfo now;
    Result r = tree_.Stat(step.name, &now);
    if (!r.ok())
        return r;
    if (!SameFile(now, seen_[i]))
        return Changed(step.name);
    if (!(r = tree_.Rename(step.name, WorkPath(step.work))).ok())
        return r;
    *moved = true;
    // And what was moved is that file: had it been changed or swapped in between, it goes back at
    // once.
    if (!(r = tree_.Stat(WorkPath(step.work), &now)).ok())
        return r;
    if (!SameFile(now, seen_[i])) {
        r = tree_.Rename(WorkPath(step.work), step.name);
        return r.ok() ? Changed(step.name) : r;
    }
    // A replaced file keeps its attributes (read-only among them): those of the file verified,
    // taken where no one else can reach it, never of whatever has its name in the directory.
    if (keepsAttributes)
        return tree_.CopyAttributes(WorkPath(step.work), WorkPath(placed));
    return Result::Ok();
}

Result Update::Commit(const std::vector<Step>& steps, Moved* moved, std::size_t* reached)
{
    // The journal lists every step, and is flushed, before the first one is taken. Undoing a step
    // looks first whether it was taken, so the journal need not record each one as it goes.
    *reached = 0;
    moved->assign(steps.size(), FileInfo{});
    std::unique_ptr<OutputFile> journal;
    std::string plan = JournalPlan(PatchId(patch_), steps, patch_.FileHashKind());
    Result r = tree_.Create(WorkPath(kJournalName), &journal);
    if (!r.ok() ||
        !(r = WriteFlushClose(*journal, reinterpret_cast<const std::uint8_t*>(plan.data()), plan.size())).ok() ||
        !(r = tree_.Sync(kWorkAreaName)).ok())
        return r;

    std::set<std::string> touched;  // the directories whose entries change
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        *reached = i;
        touched.insert(ParentOf(step.name));
        switch (step.kind) {
        case Step::kMakeDirectory: r = tree_.MakeDirectory(step.name, false); break;
        case Step::kMoveAside: {
            bool replaced = i + 1 < steps.size() && steps[i + 1].kind == Step::kPlace && steps[i + 1].name == step.name;
            bool taken = false;
            r = MoveAside(step, replaced, replaced ? steps[i + 1].work : std::string(), &taken);
            if (taken) {
                (*moved)[i] = seen_[step.EntryIndex()];
                *reached = i + 1;  // taken, whatever failed after; its undo looks where the file is
            }
            break;
        }
        case Step::kPlace: {
            // What is placed is the file that was built and checked.
            std::size_t entry = step.EntryIndex();
            if (!(r = tree_.Stat(WorkPath(step.work), &(*moved)[i])).ok())
                break;
            if (!SameFile((*moved)[i], built_[entry])) {
                r = Fail(Status::kInterrupted,
                         tree_.Describe(WorkPath(step.work)) + " is no longer the file the update built");
                break;
            }
            r = tree_.Rename(WorkPath(step.work), step.name);
            break;
        }
        case Step::kRemoveDirectory: {
            // A directory the patch removes but that holds files of the user's own stays, with a
            // word; removing refuses one that is not empty, so a file put there since stays too.
            std::vector<DirEntry> left;
            if (!(r = tree_.List(step.name, &left)).ok())
                break;
            if (!left.empty()) {
                observer_.Warning("kept " + tree_.Describe(step.name) + ": it holds files the update does not know");
                break;
            }
            r = tree_.RemoveDirectory(step.name);
            break;
        }
        }
        if (!r.ok())
            return r;
    }
    *reached = steps.size();
    // Every change is on the disk before the commit point.
    touched.insert(kWorkAreaName);
    for (const std::string& dir : touched) {
        FileInfo info;
        if (!(r = tree_.Stat(dir, &info)).ok())
            return r;
        if (info.exists && info.isDirectory && !(r = tree_.Sync(dir)).ok())
            return r;
    }
    // The last look before the commit point, after the flushes that may take a while.
    return CheckMovedAside(steps);
}

Result Update::CheckMovedAside(const std::vector<Step>& steps)
{
    // A program that held an old file open may have written to it after it was moved aside: the
    // old files are deleted after the commit point, so the update fails (and puts it back, edit
    // and all) rather than lose what was written.
    for (const Step& step : steps) {
        if (step.kind != Step::kMoveAside)
            continue;
        FileInfo now;
        Result r = tree_.Stat(WorkPath(step.work), &now);
        if (!r.ok())
            return r;
        if (!SameFile(now, seen_[step.EntryIndex()]))
            return Changed(step.name);
    }
    return Result::Ok();
}

Result Update::RollBack(const std::vector<Step>& steps, const Moved& moved, std::size_t reached)
{
    // Every step that may have been taken: those before the one that failed, and that one too
    // when it got as far as its change (the other steps are one operation each). Each is undone
    // on what it moved, by identity: an old file written to since still goes back, edit and all.
    const std::vector<const Step*> asides = AsidesBefore(steps);
    for (std::size_t k = std::min(reached, steps.size()); k-- > 0;) {
        const Step* aside = asides[k];
        const FileInfo* asideMoved = nullptr;
        if (aside != nullptr && moved[static_cast<std::size_t>(aside - steps.data())].exists)
            asideMoved = &moved[static_cast<std::size_t>(aside - steps.data())];
        Result r = UndoStep(tree_, steps[k], observer_, moved[k].exists ? &moved[k] : nullptr, aside, asideMoved);
        if (!r.ok())
            return r;
    }
    return Result::Ok();
}

Result Update::CheckTrust(bool tell)
{
    const bool signedPatch = patch_.signature.present;  // and verified, or it would not have been read
    const std::string signer = signedPatch ? "key " + Fingerprint(patch_.signature.key) : std::string();
    FileInfo info;
    Result r = tree_.Stat(kTrustFileName, &info);
    if (!r.ok())
        return r;
    const std::string trustFile = "the trust file " + tree_.Describe(kTrustFileName);
    if (!info.exists) {
        // Without a trust file, a patch is taken on its integrity alone, as before signatures, but
        // an unsigned one may not bring one in: a stranger's patch would lock the publisher out.
        for (const Entry& e : patch_.entries)
            if (!signedPatch && FoldName(e.name) == FoldName(kTrustFileName))
                return Fail(Status::kUntrusted, "the patch is not signed, and it brings a trust file (" + e.name +
                                                    "): only a signed patch may do so");
        if (tell)
            observer_.Info(signedPatch ? "the patch is signed by " + signer +
                                             " (the signature is valid; this directory keeps no trust file)"
                                       : "the patch is not signed (this directory keeps no trust file)");
        return Result::Ok();
    }
    if (info.isLink || !info.isFile)
        return Fail(Status::kUntrusted, trustFile + " is damaged: it is not a plain file; no patch is applied");
    if (info.size > kMaxTrustFileBytes)
        return Fail(Status::kUntrusted, trustFile + " is damaged: it is larger than " +
                                            std::to_string(kMaxTrustFileBytes) + " bytes; no patch is applied");
    std::vector<std::uint8_t> bytes;
    if (!(r = ReadWholeFile(tree_, kTrustFileName, kMaxTrustFileBytes, &bytes)).ok())
        return r.status == Status::kIoError || r.status == Status::kOutOfMemory
                   ? r
                   : Fail(Status::kUntrusted, trustFile + " cannot be read: " + r.message);
    std::vector<PublicKey> keys;
    if (!(r = ParseTrustFile(std::string(bytes.begin(), bytes.end()), &keys)).ok())
        return Fail(Status::kUntrusted, trustFile + " is damaged: " + r.message + "; no patch is applied");
    if (!signedPatch)
        return Fail(Status::kUntrusted,
                    "the patch is not signed, and this directory takes only patches signed by a key in " + trustFile);
    if (std::find(keys.begin(), keys.end(), patch_.signature.key) == keys.end())
        return Fail(Status::kUntrusted, "the patch is signed by " + signer + ", which " + trustFile + " does not list");
    if (tell)
        observer_.Info("the patch is signed by " + signer + ", which this directory trusts");
    return Result::Ok();
}

Result Update::Run(const ApplyOptions& options, ApplySummary* summary)
{
    // An update of this directory that was interrupted is put right before anything else; a check
    // only tells of it.
    checkOnly_ = options.checkOnly;
    bool found = false;
    Result r = InspectWorkArea(tree_, &found);
    if (!r.ok())
        return r;
    if (found && options.checkOnly)
        return Fail(Status::kInterrupted, "an interrupted update of " + tree_.Describe("") +
                                              " is in the way; applying a patch, or \"qvpatch recover\", puts it "
                                              "right first");
    // An interrupted update is rolled back first, which is safe whatever the patch: whom the
    // directory trusts is its trust file as it is then (the interrupted update may have replaced
    // it, or moved it aside). Only a patch the directory trusts as it stands helps to undo a
    // journal of an earlier version, whose steps are checked against the patch.
    if (found) {
        const bool trusted = CheckTrust(false).ok();
        if (!(r = Recover(tree_, observer_, trusted ? &patch_ : nullptr, &found)).ok())
            return r;
    }
    // A patch the directory does not trust changes nothing; it is refused unless the directory
    // is already what it makes (as after an update whose clear-up was cut short, when the new
    // trust file no longer lists the key that signed it).
    const Result untrusted = CheckTrust(true);
    if (untrusted.status != Status::kOk && untrusted.status != Status::kUntrusted)
        return untrusted;
    auto refused = [&](const Result& why) { return untrusted.ok() ? why : untrusted; };
    if (!(r = CheckWays()).ok())
        return refused(r);

    ApplySummary counted;
    bool allNew = true, allOld = true;
    for (std::size_t i = 0; i < patch_.entries.size(); ++i) {
        const Entry& e = patch_.entries[i];
        if (!observer_.KeepGoing())
            return Stopped();
        State state = State::kEither;
        if (!(r = StateOf(i, &state)).ok())
            return r.status == Status::kStopped ? r : refused(r);
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
    if (allNew && !(r = CheckContents(false, true)).ok())
        return refused(r);
    if (allNew) {
        counted.alreadyCurrent = true;
        if (summary)
            *summary = counted;
        observer_.Info("the directory is already at the patch's target version; nothing to do");
        return Result::Ok();
    }
    if (!untrusted.ok())
        return untrusted;
    if (!allOld)
        return Fail(Status::kWrongVersion,
                    "the directory is partly at the old and partly at the new version; it was changed by hand or by "
                    "another update");
    if (summary)
        *summary = counted;
    // A check hashes every old file as it finds it; applying hashes some as it decodes them, and
    // checks them all once every new file is built.
    if (options.checkOnly && !(r = CheckContents(true)).ok())
        return r;
    if (!(r = CheckFreeSpace()).ok() || options.checkOnly)
        return r;

    // The work area is this directory from now on, whatever someone puts at its name.
    if (!(r = tree_.MakeDirectory(kWorkAreaName, true)).ok())
        return r;
    std::vector<DirEntry> inWorkArea;
    if ((r = tree_.Hold(kWorkAreaName)).ok() && (r = tree_.List(kWorkAreaName, &inWorkArea)).ok() &&
        !inWorkArea.empty())
        // Another directory put at its name between making and holding it: left as it is.
        return Fail(Status::kInterrupted, tree_.Describe(kWorkAreaName) +
                                              " was replaced by another directory while it was made; it is left alone");
    if (!r.ok()) {
        // Only an empty directory goes (never a link, nor anything with files in it); whatever
        // stands there otherwise is for a person to look at.
        Result removed = tree_.RemoveDirectory(kWorkAreaName);
        return Fail(Status::kInterrupted, "the work area could not be held while it was made (" + r.message + ")" +
                                              (removed.ok() ? std::string() : "; " + removed.message));
    }
    r = BuildNewFiles();
    if (r.ok() && !observer_.KeepGoing())
        r = Stopped();
    if (r.status == Status::kPatchCorrupt)
        r = OldFilesOrCorrupt(r);
    if (r.ok() && (r = CheckContents(true)).ok())
        r = CheckContents(false);
    std::vector<Step> steps;
    Moved moved;
    std::size_t reached = 0;
    bool committing = false;
    if (r.ok())
        r = PlanCommit(&steps);
    if (r.ok()) {
        committing = true;
        r = Commit(steps, &moved, &reached);
    }
    // Removing the journal is the commit point; the old files in the work area go after it.
    if (r.ok())
        r = tree_.Remove(WorkPath(kJournalName));
    if (r.ok()) {
        // Should the removal not reach the disk, a crash brings the journal back and the next run
        // rolls the whole update back: the directory is old or new either way.
        Result cleared = tree_.Sync(kWorkAreaName);
        if (cleared.ok())
            cleared = RemoveWorkArea(tree_, true);
        if (!cleared.ok())
            observer_.Warning("could not clear the work area (" + cleared.message +
                              "); the next update of the directory does");
        return Result::Ok();
    }

    // Rolled back, or the work area keeps what could not be put back, with the journal.
    if (committing) {
        Result undone = RollBack(steps, moved, reached);
        if (!undone.ok())
            return Fail(Status::kInterrupted, r.message + "; the directory could not be restored completely (" +
                                                  undone.message + "), and " + tree_.Describe(kWorkAreaName) +
                                                  " keeps what is needed to finish it");
    }
    Result cleared = RemoveWorkArea(tree_, false);
    if (!cleared.ok())
        observer_.Warning("could not clear the work area (" + cleared.message +
                          "); the next update of the directory does");
    return r;
}

}  // namespace

Result Apply(FileSystem& fs, const std::string& directory, const Patch& patch, ApplyObserver& observer,
             const ApplyOptions& options, ApplySummary* summary)
{
    std::unique_ptr<Tree> tree;
    Result r = OpenLockedTree(fs, directory, options.checkOnly ? LockMode::kShared : LockMode::kExclusive, &tree);
    if (!r.ok())
        return r;
    Update update(*tree, patch, observer);
    return update.Run(options, summary);
}

}  // namespace qvpatch
