// Building a patch from two directory trees, in five steps: walk the trees, list the entries, form
// the batches of files encoded together, encode each batch's candidates, lay out the patch.
#include "qvpatch/build.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <new>

#include "codec.h"
#include "codecs.h"
#include "journal.h"
#include "match_delta.h"
#include "memory.h"
#include "qvpatch/sha256.h"
#include "threads.h"

namespace qvpatch {

namespace {

// The hash a patch the builder writes tells its files by.
constexpr FileHash kFileHash = FileHashOf(kFormatVersion);

// How much more than the largest file a group may hold, old and new contents together: applying
// needs about that plus a dozen MiB of its own, so a group stays within the largest file's old and
// new sizes plus 64 MiB.
constexpr std::uint64_t kGroupAllowance = 48ull << 20;
// The largest file (old and new contents together) whose encodings at the full level are tried
// beside others.
constexpr std::uint64_t kSharedRetryBytes = 16ull << 20;
// The largest group (old and new contents together) tried as one zstd frame when it has old files:
// past it, the frame's optimal parse takes many times what the group match delta does.
constexpr std::uint64_t kGroupFrameBytes = 16ull << 20;

// Every file and directory of a tree, by relative name with '/': true for a directory.
using Listing = std::map<std::string, bool>;

// Every file and directory below the top of tree.
Result Walk(Tree& tree, const std::string& relative, Listing* out)
{
    std::vector<DirEntry> entries;
    Result r = tree.List(relative, &entries);
    if (!r.ok())
        return r;
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    for (const DirEntry& e : entries) {
        if (relative.empty() && IsUpdateOwnName(e.name))
            continue;  // an update's lock, or the work area of one that was cut short
        std::string name = relative.empty() ? e.name : relative + "/" + e.name;
        if (e.isLink)
            return Fail(Status::kBuildFailed, "links are not supported in a tree: " + tree.Describe(name));
        (*out)[name] = e.isDirectory;
        if (e.isDirectory && !(r = Walk(tree, name, out)).ok())
            return r;
    }
    return Result::Ok();
}

// Whether approximate matching may pay on data: programs and other binary files, where code that
// moved carries changed addresses. Text changes in whole lines, which exact matching already
// handles; compressed data has no structure for approximate matches to find (and costs the
// search the most, every position of it).
bool Matchable(const std::vector<std::uint8_t>& data)
{
    std::size_t head = std::min<std::size_t>(data.size(), 64 * 1024);
    bool binary = LooksLikeX86Code(data.data(), data.size()) ||
                  std::find(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(head), 0) !=
                      data.begin() + static_cast<std::ptrdiff_t>(head);
    if (!binary)
        return false;
    // A quick compression of a sample from the middle tells compressed data.
    std::size_t sample = std::min<std::size_t>(data.size(), 1 << 20);
    std::size_t from = (data.size() - sample) / 2;
    std::vector<std::uint8_t> packed;
    if (!EncodeZstd(data.data() + from, sample, nullptr, 0, 1, &packed).ok())
        return true;
    return packed.size() < sample - sample / 10;
}

// f(i) for each i below count, side by side on the threads; the first failure in the order of i
// (once one fails, those not begun are left), or success.
Result ForEachOnThreads(std::size_t count, unsigned threads, const std::function<Result(std::size_t)>& f)
{
    std::vector<Result> results(count);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        for (std::size_t i; !failed && (i = next++) < count;) {
            try {
                results[i] = f(i);
            } catch (const std::bad_alloc&) {
                results[i] = Fail(Status::kOutOfMemory, "out of memory reading the trees");
            }
            if (!results[i].ok())
                failed = true;
        }
    };
    RunParallel(std::vector<std::function<void()>>(threads, work), threads);
    for (Result& r : results)
        if (!r.ok())
            return r;
    return Result::Ok();
}

// A task for the threads that puts its result in *result, an allocation failure included (a task
// must not throw).
template <typename F>
std::function<void()> Guarded(Result* result, F f)
{
    return [result, f] {
        try {
            *result = f();
        } catch (const std::bad_alloc&) {
            *result = Fail(Status::kOutOfMemory, "out of memory while encoding");
        }
    };
}

// One candidate encoding of a file: the codec, its result and its data.
struct Candidate {
    const CodecInfo* codec = nullptr;
    int level = 0;
    bool inPlace = false;  // worked on the file's contents in place: tried once only
    Result result;
    std::vector<std::uint8_t> data;
};

// Bytes held in a buffer of someone else's.
struct Bytes {
    const std::uint8_t* ptr = nullptr;
    std::size_t count = 0;
    const std::uint8_t* data() const { return ptr; }
    std::size_t size() const { return count; }
    const std::uint8_t* begin() const { return ptr; }
    const std::uint8_t* end() const { return ptr + count; }
};

// One file of a batch: its contents and the candidates tried for it. The stored bytes are a
// candidate that needs no work: the new contents are its data, taken only when it wins. A file on
// its own holds its contents; a group's files are held once, one after the other, in the group's
// buffers, which its encodings read whole.
struct Member {
    std::size_t entry = 0;
    std::vector<std::uint8_t> ownOld, ownNew;
    Bytes oldData, newData;  // in ownOld and ownNew, or in the group's buffers
    bool hasOld = false, hasNew = false;
    bool large = false;  // beyond what applying holds in memory
    std::vector<Candidate> candidates;
    const CodecInfo* chosen = nullptr;
    std::vector<std::uint8_t> best;
    std::uint64_t bestSize() const
    {
        return chosen != nullptr && chosen->value == Codec::kStored ? newData.size() : best.size();
    }
};

// What one name is in the trees: its entry (not kept when the file is the same in both, or the
// directory is in both) and whether its file is worth approximate matching.
struct Listed {
    bool keep = false;
    bool matchable = false;
    Entry entry;
};

class Builder {
public:
    Builder(FileSystem& fs, const BuildOptions& options)
        : fs_(fs),
          options_(options),
          heldBytes_(std::min(options.heldBytes, kMaxHeldBytes)),
          threads_(options.threads > 0 ? options.threads : DefaultThreads())
    {
    }

    Result Run(const std::string& oldDir, const std::string& newDir, Patch* patch);

private:
    Result WalkTrees(const std::string& oldDir, const std::string& newDir);
    Result ListEntries();
    Result ListName(const std::string& name, Listed* out) const;
    void FormBatches();
    Result EncodeBatch(const std::vector<std::size_t>& batch);
    Result LoadMembers(const std::vector<std::size_t>& batch, std::vector<Member>* members,
                       std::vector<std::uint8_t>* olds, std::vector<std::uint8_t>* news);
    void PlanRetries(Member& m, std::vector<std::function<void()>>* small, std::vector<std::function<void()>>* large);
    Result ChooseOwnEncoding(Member& m);
    EncodeInput InputFor(const Member& m, int level) const;
    void LayOut();

    FileSystem& fs_;
    const BuildOptions& options_;
    const std::uint64_t heldBytes_;
    const unsigned threads_;  // the threads the work is shared among
    std::unique_ptr<Tree> oldFiles_, newFiles_;
    Listing oldListing_, newListing_;
    Patch out_;
    std::vector<bool> matchable_;
    std::vector<std::vector<std::size_t>> batches_;
    std::vector<std::vector<std::uint8_t>> blobs_;  // each entry's own data
    std::vector<int> groupOf_;                      // each entry's group frame, or -1
    std::vector<std::vector<std::uint8_t>> groupFrames_;
    std::size_t done_ = 0, fileCount_ = 0;
};

Result Builder::WalkTrees(const std::string& oldDir, const std::string& newDir)
{
    Result r = fs_.OpenTree(oldDir, &oldFiles_);
    if (!r.ok() || !(r = fs_.OpenTree(newDir, &newFiles_)).ok())
        return Fail(Status::kBuildFailed, r.message);
    if (!(r = Walk(*oldFiles_, "", &oldListing_)).ok())
        return r;
    return Walk(*newFiles_, "", &newListing_);
}

Result Builder::ListEntries()
{
    std::vector<std::string> names;
    for (const auto& [name, isDirectory] : oldListing_)
        names.push_back(name);
    for (const auto& [name, isDirectory] : newListing_)
        if (!oldListing_.count(name))
            names.push_back(name);
    std::sort(names.begin(), names.end());

    // The files are read and hashed on the threads, each name on its own (a tree answers reads
    // from several threads at once), and their entries kept in the names' order; the first
    // failure in that order is told. A thread holds one file at a time.
    std::vector<Listed> listed(names.size());
    Result r = ForEachOnThreads(names.size(), threads_, [&](std::size_t i) { return ListName(names[i], &listed[i]); });
    if (!r.ok())
        return r;
    for (Listed& l : listed) {
        if (!l.keep)
            continue;
        out_.entries.push_back(std::move(l.entry));
        matchable_.push_back(l.matchable);
    }
    return Result::Ok();
}

Result Builder::ListName(const std::string& name, Listed* out) const
{
    auto o = oldListing_.find(name);
    auto n = newListing_.find(name);
    bool inOld = o != oldListing_.end(), inNew = n != newListing_.end();
    bool oldIsDir = inOld && o->second, newIsDir = inNew && n->second;
    if (inOld && inNew && oldIsDir != newIsDir)
        return Fail(Status::kBuildFailed, name + " is a file in one tree and a directory in the other");
    Entry& e = out->entry;
    e.name = name;
    if (oldIsDir || newIsDir) {
        out->keep = !(inOld && inNew);
        e.kind = inNew ? EntryKind::kAddedDirectory : EntryKind::kRemovedDirectory;
        return Result::Ok();
    }
    // Small files are read whole, to be looked at; large ones only hashed, a piece at a time
    // (whether matching pays is not asked of them: only the streamed match delta serves them).
    std::vector<std::uint8_t> data;
    bool large = false;
    Result r;
    auto look = [&](Tree& tree, std::uint64_t* size, Digest* hash) -> Result {
        FileInfo info;
        Result s = tree.Stat(name, &info);
        if (!s.ok())
            return s;
        large = info.size > heldBytes_ / 2;
        if (large) {
            data.clear();
            s = HashFile(tree, name, kFileHash, nullptr, hash, &info);
            *size = info.size;
            return s;
        }
        // Read within the size that made it small: one that grew since is refused, not held.
        if (!(s = ReadWholeFile(tree, name, heldBytes_ / 2, &data)).ok())
            return s;
        *size = data.size();
        *hash = HashBytes(kFileHash, data.data(), data.size());
        return Result::Ok();
    };
    if (inOld && !(r = look(*oldFiles_, &e.oldSize, &e.oldHash)).ok())
        return r;
    if (inNew && !(r = look(*newFiles_, &e.newSize, &e.newHash)).ok())
        return r;
    if (inOld && inNew && e.oldHash == e.newHash && e.oldSize == e.newSize)
        return Result::Ok();
    e.kind = inOld && inNew ? EntryKind::kChangedFile : inNew ? EntryKind::kAddedFile : EntryKind::kRemovedFile;
    out->keep = true;
    out->matchable = large || Matchable(data);  // the new file, or the old one of a removed file
    return Result::Ok();
}

void Builder::FormBatches()
{
    // Small files, in entry order, in runs that may share one frame (a group); files worth matching
    // and larger files each on their own. Removed files join the groups when files are added, as
    // sources for them (a renamed file). A batch's encodings are tried side by side on the threads;
    // only one batch's files are in memory at a time.
    bool addsGroupable = false;
    for (std::size_t i = 0; i < out_.entries.size(); ++i)
        addsGroupable |= out_.entries[i].kind == EntryKind::kAddedFile && !matchable_[i];
    // Applying a group holds its old and new contents in memory at once, as a delta holds its own
    // file's. A group is kept within what the largest file needs plus kGroupAllowance, so that no
    // group needs much more memory than the largest file does on its own.
    std::uint64_t largest = 0;
    for (const Entry& e : out_.entries)
        if (e.HasNew())
            largest = std::max(largest, e.oldSize + e.newSize);
    const std::uint64_t groupLimit = std::min({kMaxGroupBytes, heldBytes_, largest + kGroupAllowance});
    std::size_t openGroup = SIZE_MAX;
    std::uint64_t groupBytes = 0;
    for (std::size_t i = 0; i < out_.entries.size(); ++i) {
        const Entry& e = out_.entries[i];
        bool source = e.kind == EntryKind::kRemovedFile && addsGroupable && !matchable_[i];
        if (!e.HasNew() && !source)
            continue;
        if (source && (e.oldSize > kMaxGroupBytes / 2 || e.oldSize > heldBytes_))
            continue;
        std::uint64_t bytes = e.oldSize + e.newSize;
        if (matchable_[i] || bytes > kMaxGroupBytes / 2 || bytes > heldBytes_) {
            batches_.push_back({i});
            continue;
        }
        if (openGroup == SIZE_MAX || groupBytes + bytes > groupLimit) {
            openGroup = batches_.size();
            batches_.emplace_back();
            groupBytes = 0;
        }
        batches_[openGroup].push_back(i);
        groupBytes += bytes;
    }
    for (const auto& batch : batches_)
        fileCount_ += batch.size();
}

// The files of a batch, read and checked against the hashes they were listed with, side by side on
// the threads. A group's are put one after the other into olds and news (null for a file on its
// own), each at the place its listed sizes give it.
Result Builder::LoadMembers(const std::vector<std::size_t>& batch, std::vector<Member>* members,
                            std::vector<std::uint8_t>* olds, std::vector<std::uint8_t>* news)
{
    members->resize(batch.size());
    std::vector<std::size_t> oldAt(batch.size()), newAt(batch.size());
    std::size_t oldBytes = 0, newBytes = 0;
    for (std::size_t k = 0; k < batch.size(); ++k) {
        const Entry& e = out_.entries[batch[k]];
        oldAt[k] = oldBytes;
        newAt[k] = newBytes;
        oldBytes += static_cast<std::size_t>(e.oldSize);
        newBytes += static_cast<std::size_t>(e.newSize);
        if (options_.onFile)
            options_.onFile(e.name, ++done_, fileCount_);
    }
    if (olds != nullptr) {
        try {
            olds->reserve(oldBytes);
            AdviseLargeBuffer(olds->data(), olds->capacity());
            olds->resize(oldBytes);
            news->resize(newBytes);
        } catch (const std::bad_alloc&) {
            return Fail(Status::kOutOfMemory, "out of memory for a group of files");
        }
    }
    auto load = [&](std::size_t k) -> Result {
        Member& m = (*members)[k];
        m.entry = batch[k];
        const Entry& e = out_.entries[m.entry];
        m.hasOld = e.HasOld();
        m.hasNew = e.HasNew();
        m.large = e.oldSize + e.newSize > heldBytes_;
        // Read within the listed sizes: a file that grew since is refused, not held.
        Result r;
        if (m.hasOld && !(r = ReadWholeFile(*oldFiles_, e.name, e.oldSize, &m.ownOld)).ok())
            return r;
        if (m.hasNew && !(r = ReadWholeFile(*newFiles_, e.name, e.newSize, &m.ownNew)).ok())
            return r;
        if (m.ownOld.size() != e.oldSize || m.ownNew.size() != e.newSize ||
            (m.hasOld && HashBytes(kFileHash, m.ownOld.data(), m.ownOld.size()) != e.oldHash) ||
            (m.hasNew && HashBytes(kFileHash, m.ownNew.data(), m.ownNew.size()) != e.newHash))
            return Fail(Status::kBuildFailed, e.name + " changed while the patch was being built");
        if (olds == nullptr) {
            m.oldData = {m.ownOld.data(), m.ownOld.size()};
            m.newData = {m.ownNew.data(), m.ownNew.size()};
            return Result::Ok();
        }
        // The sizes are the listed ones, which the places were given by.
        std::copy(m.ownOld.begin(), m.ownOld.end(), olds->begin() + static_cast<std::ptrdiff_t>(oldAt[k]));
        std::copy(m.ownNew.begin(), m.ownNew.end(), news->begin() + static_cast<std::ptrdiff_t>(newAt[k]));
        m.oldData = {olds->data() + oldAt[k], m.ownOld.size()};
        m.newData = {news->data() + newAt[k], m.ownNew.size()};
        std::vector<std::uint8_t>().swap(m.ownOld);
        std::vector<std::uint8_t>().swap(m.ownNew);
        return Result::Ok();
    };
    return ForEachOnThreads(batch.size(), threads_, load);
}

EncodeInput Builder::InputFor(const Member& m, int level) const
{
    EncodeInput in{m.oldData.data(), m.oldData.size(), m.newData.data(), m.newData.size(), level};
    if (m.large)
        in.maxWindowLog = kStreamedWindowLog;
    in.threads = threads_;
    return in;
}

// The size of a file's smallest first result; UINT64_MAX / 2 when one of them failed.
std::uint64_t FirstBest(const Member& m)
{
    std::uint64_t best = UINT64_MAX / 2;
    for (const Candidate& c : m.candidates) {
        if (!c.result.ok())
            return UINT64_MAX / 2;
        best = std::min<std::uint64_t>(best, c.codec->value == Codec::kStored ? m.newData.size() : c.data.size());
    }
    return best;
}

// The candidates tried at a quick level that are tried again at the full level: those whose quick
// result comes within a quarter of the file's best first result (a stronger level gains some
// percent on it, seldom a quarter). So a zstd delta that the match delta beats by far costs a
// quick encoding only. They are tried side by side as the first ones were; those of large files
// (whose encoders take hundreds of MiB each) one at a time.
void Builder::PlanRetries(Member& m, std::vector<std::function<void()>>* small,
                          std::vector<std::function<void()>>* large)
{
    const std::uint64_t best = FirstBest(m);
    if (best == UINT64_MAX / 2)
        return;  // a failure, told when the file's encoding is chosen
    for (Candidate& c : m.candidates) {
        const bool quick = c.codec->quickFirst && c.level < options_.level;
        if (!quick || c.inPlace || c.data.size() >= best + best / 4)
            continue;
        auto retry = Guarded(&c.result, [this, &m, &c] {
            c.level = options_.level;
            return c.codec->encode(InputFor(m, c.level), &c.data);
        });
        (m.oldData.size() + m.newData.size() > kSharedRetryBytes ? large : small)->push_back(std::move(retry));
    }
}

// The smallest of a file's own candidates; the stored bytes when none is smaller.
Result Builder::ChooseOwnEncoding(Member& m)
{
    for (const Candidate& c : m.candidates)
        if (!c.result.ok())
            return c.result;
    for (const Candidate& c : m.candidates)
        if (c.codec->value == Codec::kStored)
            m.chosen = c.codec;  // an encoding must be smaller to be kept
    for (Candidate& c : m.candidates) {
        if (c.codec->value == Codec::kStored)
            continue;
        if (m.chosen == nullptr || c.data.size() < m.bestSize()) {
            m.chosen = c.codec;
            m.best.swap(c.data);
        }
    }
    if (m.chosen != nullptr && m.chosen->value == Codec::kStored) {
        // No candidate reads the contents any more.
        if (m.ownNew.empty())
            m.best.assign(m.newData.begin(), m.newData.end());
        else
            m.best = std::move(m.ownNew);
        m.newData = {m.best.data(), m.best.size()};
    }
    return Result::Ok();
}

Result Builder::EncodeBatch(const std::vector<std::size_t>& batch)
{
    std::vector<Member> members;
    std::vector<std::uint8_t> olds, news;
    const bool group = batch.size() >= 2;
    Result r = LoadMembers(batch, &members, group ? &olds : nullptr, group ? &news : nullptr);
    if (!r.ok())
        return r;

    // The tasks: each file's own candidates (from the table of codecs), and the group's encodings
    // when there is a group. A candidate's weight is the bytes it works on, so that the longest go first
    // and the threads finish together.
    const int quickLevel = std::min(options_.level, 3);
    std::vector<std::pair<std::uint64_t, std::function<void()>>> work;
    for (Member& m : members) {
        if (!m.hasNew)
            continue;  // a removed file, only a source for the group
        const Entry& e = out_.entries[m.entry];
        FileFacts facts{m.hasOld, m.oldData.size(), m.newData.size(), matchable_[m.entry], m.large};
        for (const CodecInfo& codec : Codecs()) {
            if (codec.encode == nullptr || !Serves(codec, e.kind, kFormatVersion) || !codec.tries(facts))
                continue;
            Candidate& c = m.candidates.emplace_back();
            c.codec = &codec;
            c.level = codec.quickFirst ? quickLevel : options_.level;
        }
        // A file too large to hold is read by one candidate only (the others need no work), which
        // may then work on its contents in place rather than on copies.
        std::size_t working = 0;
        for (const Candidate& c : m.candidates)
            working += c.codec->value != Codec::kStored ? 1 : 0;
        for (Candidate& c : m.candidates) {
            if (c.codec->value == Codec::kStored)
                continue;
            std::uint64_t weight = c.codec->usesOld ? m.oldData.size() + m.newData.size() : m.newData.size() / 4;
            c.inPlace = m.large && working == 1;
            work.emplace_back(weight, Guarded(&c.result, [this, &m, &c] {
                                  EncodeInput in = InputFor(m, c.level);
                                  if (c.inPlace) {
                                      in.writableOld = m.ownOld.data();
                                      in.writableData = m.ownNew.data();
                                  }
                                  return c.codec->encode(in, &c.data);
                              }));
        }
    }
    // The group's encodings, all of its new files one after the other against its old ones: a match
    // delta (not for a group of added files only, which has no old), and one zstd frame. The
    // frame's optimal parse costs about a second for every few MiB of content where long pieces
    // repeat (text bundles, several copies of one library), many times what the match delta
    // takes; it is tried where the content is small, or where there is no old to match, and at the
    // full level only where its quick result comes within a quarter of the best (as the files'
    // own candidates are).
    Result groupResult, groupMatchResult;
    std::vector<std::uint8_t> groupFrame, groupMatch;
    bool framed = false, matched = false;
    int frameLevel = quickLevel;
    std::function<void()> frame;
    if (group) {
        const std::uint64_t groupBytes = olds.size() + news.size();
        framed = olds.empty() || groupBytes <= kGroupFrameBytes;
        matched = !olds.empty();
        frame = Guarded(&groupResult, [&olds, &news, &frameLevel, &groupFrame] {
            return EncodeZstd(news.data(), news.size(), olds.empty() ? nullptr : olds.data(), olds.size(), frameLevel,
                              &groupFrame);
        });
        if (framed)
            work.emplace_back(groupBytes, frame);
        // Its frames are compressed side by side, most often once the files' own tries are done.
        if (matched)
            work.emplace_back(groupBytes / 2, Guarded(&groupMatchResult, [&olds, &news, this, &groupMatch] {
                                  MatchFilter filter = ProgramFilter(news.data(), news.size());
                                  return EncodeSplitMatchDelta(olds.data(), olds.size(), news.data(), news.size(),
                                                               filter, options_.level, &groupMatch, threads_, true);
                              }));
    }
    std::stable_sort(work.begin(), work.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::function<void()>> tasks;
    for (auto& w : work)
        tasks.push_back(std::move(w.second));
    RunParallel(tasks, threads_);
    // The files' second tries, unless the group wins whatever they give: a stronger level seldom
    // gains a quarter, so a group smaller than three quarters of its files' first results together
    // is kept over anything they may come to.
    std::uint64_t groupBest = UINT64_MAX, ownFirst = 0;
    if (framed && groupResult.ok())
        groupBest = groupFrame.size();
    if (matched && groupMatchResult.ok())
        groupBest = std::min<std::uint64_t>(groupBest, groupMatch.size());
    for (const Member& m : members)
        if (m.hasNew)
            ownFirst = std::min(ownFirst + FirstBest(m), UINT64_MAX / 2);
    std::vector<std::function<void()>> small, large;
    if (groupBest >= ownFirst - ownFirst / 4)
        for (Member& m : members)
            PlanRetries(m, &small, &large);
    if (framed && groupResult.ok() && frameLevel < options_.level) {
        std::uint64_t rival = ownFirst;
        if (matched && groupMatchResult.ok())
            rival = std::min<std::uint64_t>(rival, groupMatch.size());
        if (groupFrame.size() - groupFrame.size() / 4 < rival) {
            frameLevel = options_.level;
            small.push_back(frame);
        }
    }
    RunParallel(small, threads_);
    RunParallel(large, 1);

    std::uint64_t own = 0;
    for (Member& m : members) {
        if (!m.hasNew)
            continue;
        if (!(r = ChooseOwnEncoding(m)).ok())
            return r;
        own += m.best.size();
    }
    if (!groupResult.ok())
        return groupResult;
    if (!groupMatchResult.ok())
        return groupMatchResult;
    // The smaller of the group's encodings, when it is smaller than its files' own together.
    Codec groupCodec = Codec::kZstdGroupDelta;
    if (matched && (!framed || groupMatch.size() < groupFrame.size())) {
        groupFrame.swap(groupMatch);
        groupCodec = Codec::kGroupMatchDelta;
    }
    bool grouped = group && groupFrame.size() < own;
    for (Member& m : members) {
        if (grouped) {
            out_.entries[m.entry].codec = groupCodec;
            groupOf_[m.entry] = static_cast<int>(groupFrames_.size());
        } else if (m.hasNew) {
            out_.entries[m.entry].codec = m.chosen->value;
            blobs_[m.entry] = std::move(m.best);
        }
    }
    if (grouped)
        groupFrames_.push_back(std::move(groupFrame));
    return Result::Ok();
}

void Builder::LayOut()
{
    // The data section: each entry's data, a group's frame once for all its members.
    std::vector<std::uint64_t> groupOffset(groupFrames_.size(), ~0ull);
    for (std::size_t i = 0; i < out_.entries.size(); ++i) {
        Entry& e = out_.entries[i];
        if (!e.HasData())
            continue;
        const std::vector<std::uint8_t>& data = groupOf_[i] >= 0 ? groupFrames_[groupOf_[i]] : blobs_[i];
        if (groupOf_[i] >= 0 && groupOffset[groupOf_[i]] != ~0ull) {
            e.dataOffset = groupOffset[groupOf_[i]];
        } else {
            e.dataOffset = out_.data.size();
            if (groupOf_[i] >= 0)
                groupOffset[groupOf_[i]] = e.dataOffset;
            out_.data.insert(out_.data.end(), data.begin(), data.end());
        }
        e.dataLength = data.size();
    }
}

Result Builder::Run(const std::string& oldDir, const std::string& newDir, Patch* patch)
{
    Result r = WalkTrees(oldDir, newDir);
    if (!r.ok() || !(r = ListEntries()).ok())
        return r;
    FormBatches();
    out_.version = kFormatVersion;
    blobs_.resize(out_.entries.size());
    groupOf_.assign(out_.entries.size(), -1);
    for (const std::vector<std::size_t>& batch : batches_)
        if (!(r = EncodeBatch(batch)).ok())
            return r;
    LayOut();
    SetContentsChecks(&out_);
    if (!(r = CheckNames(out_.entries)).ok())
        return Fail(Status::kBuildFailed, "the trees hold a name a patch cannot carry: " + r.message);
    *patch = std::move(out_);
    return Result::Ok();
}

}  // namespace

Result BuildPatch(FileSystem& fs, const std::string& oldDir, const std::string& newDir, const BuildOptions& options,
                  Patch* patch)
{
    Builder builder(fs, options);
    return builder.Run(oldDir, newDir, patch);
}

}  // namespace qvpatch
