// Building a patch from two directory trees.
#include "qvpatch/build.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <new>

#include "codec.h"
#include "match_delta.h"
#include "threads.h"
#include "qvpatch/sha256.h"

namespace qvpatch {

namespace {

struct TreeEntry {
    bool isDirectory = false;
};

// Every file and directory below the top, by relative name with '/'.
Result Walk(Tree& tree, const std::string& relative, std::map<std::string, TreeEntry>* out)
{
    std::vector<DirEntry> entries;
    Result r = tree.List(relative, &entries);
    if (!r.ok())
        return r;
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    for (const DirEntry& e : entries) {
        std::string name = relative.empty() ? e.name : relative + "/" + e.name;
        if (e.isLink)
            return Fail(Status::kBuildFailed, "links are not supported in a tree: " + tree.Describe(name));
        (*out)[name] = TreeEntry{e.isDirectory};
        if (e.isDirectory && !(r = Walk(tree, name, out)).ok())
            return r;
    }
    return Result::Ok();
}

// Whether trying the match delta on data may pay: programs and other binary files, where code
// that moved carries changed addresses. Text changes in whole lines, which exact matching
// already handles; compressed data has no structure for approximate matches to find (and costs
// the search the most, every position of it).
bool WorthMatching(const std::vector<std::uint8_t>& data)
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

// How much more than the largest file a group may hold, old and new contents together: applying
// needs about that plus a dozen MiB of its own, so a group stays within the largest file's old and
// new sizes plus 64 MiB.
constexpr std::uint64_t kGroupAllowance = 48ull << 20;

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

// One file's contents and the encodings tried for it.
struct Member {
    std::size_t entry = 0;
    std::vector<std::uint8_t> oldData, newData;
    bool hasOld = false, hasNew = false;
    Codec codec = Codec::kStored;
    std::vector<std::uint8_t> best;
    // Filled by the tasks, each in its own slot.
    Result deltaResult, matchResult, aloneResult;
    std::vector<std::uint8_t> delta, match, alone;
    bool triedDelta = false, triedMatch = false;
};

}  // namespace

Result BuildPatch(FileSystem& fs, const std::string& oldDir, const std::string& newDir, const BuildOptions& options,
                  Patch* patch)
{
    std::unique_ptr<Tree> oldFiles, newFiles;
    Result r = fs.OpenTree(oldDir, &oldFiles);
    if (!r.ok() || !(r = fs.OpenTree(newDir, &newFiles)).ok())
        return Fail(Status::kBuildFailed, r.message);
    std::map<std::string, TreeEntry> oldTree, newTree;
    if (!(r = Walk(*oldFiles, "", &oldTree)).ok() || !(r = Walk(*newFiles, "", &newTree)).ok())
        return r;

    Patch out;
    std::vector<std::string> names;
    for (const auto& [name, e] : oldTree)
        names.push_back(name);
    for (const auto& [name, e] : newTree)
        if (!oldTree.count(name))
            names.push_back(name);
    std::sort(names.begin(), names.end());

    // The entries, with the sizes and hashes of their files; unchanged files drop out. Files worth
    // approximate matching are noted: they are encoded on their own, where the match delta can
    // be tried.
    std::vector<bool> matchable;
    for (const std::string& name : names) {
        auto o = oldTree.find(name);
        auto n = newTree.find(name);
        bool inOld = o != oldTree.end(), inNew = n != newTree.end();
        bool oldIsDir = inOld && o->second.isDirectory, newIsDir = inNew && n->second.isDirectory;
        if (inOld && inNew && oldIsDir != newIsDir)
            return Fail(Status::kBuildFailed, name + " is a file in one tree and a directory in the other");
        Entry e;
        e.name = name;
        if (oldIsDir || newIsDir) {
            if (inOld && inNew)
                continue;
            e.kind = inNew ? EntryKind::kAddedDirectory : EntryKind::kRemovedDirectory;
            out.entries.push_back(e);
            matchable.push_back(false);
            continue;
        }
        std::vector<std::uint8_t> data;
        if (inOld) {
            if (!(r = ReadWholeFile(*oldFiles, name, kMaxFileSize, &data)).ok())
                return r;
            e.oldSize = data.size();
            e.oldHash = Sha256(data.data(), data.size());
        }
        if (inNew) {
            if (!(r = ReadWholeFile(*newFiles, name, kMaxFileSize, &data)).ok())
                return r;
            e.newSize = data.size();
            e.newHash = Sha256(data.data(), data.size());
        }
        if (inOld && inNew && e.oldHash == e.newHash && e.oldSize == e.newSize)
            continue;
        e.kind = inOld && inNew ? EntryKind::kChangedFile : inNew ? EntryKind::kAddedFile : EntryKind::kRemovedFile;
        matchable.push_back(WorthMatching(data));  // the new file, or the old one of a removed file
        out.entries.push_back(std::move(e));
    }

    // The files to encode, in batches: small files, in entry order, in runs that may share one
    // frame (a group); files worth matching and larger files each on their own. Removed files join
    // the groups when files are added, as sources for them (a renamed file). A batch's encodings
    // are tried side by side on the threads; only one batch's files are in memory at a time.
    bool addsGroupable = false;
    for (std::size_t i = 0; i < out.entries.size(); ++i)
        addsGroupable |= out.entries[i].kind == EntryKind::kAddedFile && !matchable[i];
    // Applying a group holds its old and new contents in memory at once, as a delta holds its own
    // file's. A group is kept within what the largest file needs plus kGroupAllowance, so that no
    // group needs much more memory than the largest file does on its own.
    std::uint64_t largest = 0;
    for (const Entry& e : out.entries)
        if (e.HasNew())
            largest = std::max(largest, e.oldSize + e.newSize);
    const std::uint64_t groupLimit = std::min(kMaxGroupBytes, largest + kGroupAllowance);
    std::vector<std::vector<std::size_t>> batches;
    std::size_t openGroup = SIZE_MAX;
    std::uint64_t groupBytes = 0;
    for (std::size_t i = 0; i < out.entries.size(); ++i) {
        const Entry& e = out.entries[i];
        bool source = e.kind == EntryKind::kRemovedFile && addsGroupable && !matchable[i];
        if (!e.HasNew() && !source)
            continue;
        if (source && e.oldSize > kMaxGroupBytes / 2)
            continue;
        std::uint64_t bytes = e.oldSize + e.newSize;
        if (matchable[i] || bytes > kMaxGroupBytes / 2) {
            batches.push_back({i});
            continue;
        }
        if (openGroup == SIZE_MAX || groupBytes + bytes > groupLimit) {
            openGroup = batches.size();
            batches.emplace_back();
            groupBytes = 0;
        }
        batches[openGroup].push_back(i);
        groupBytes += bytes;
    }

    const unsigned threads = options.threads > 0 ? options.threads : DefaultThreads();
    const int quickLevel = std::min(options.level, 3);
    std::vector<std::vector<std::uint8_t>> blobs(out.entries.size());
    std::vector<int> groupOf(out.entries.size(), -1);
    std::vector<std::vector<std::uint8_t>> groupFrames;
    std::size_t done = 0, fileCount = 0;
    for (const auto& batch : batches)
        fileCount += batch.size();
    for (const std::vector<std::size_t>& batch : batches) {
        std::vector<Member> members(batch.size());
        for (std::size_t k = 0; k < batch.size(); ++k) {
            Member& m = members[k];
            m.entry = batch[k];
            const Entry& e = out.entries[m.entry];
            if (options.onFile)
                options.onFile(e.name, ++done, fileCount);
            m.hasOld = e.HasOld();
            m.hasNew = e.HasNew();
            if (m.hasOld && !(r = ReadWholeFile(*oldFiles, e.name, kMaxFileSize, &m.oldData)).ok())
                return r;
            if (m.hasNew && !(r = ReadWholeFile(*newFiles, e.name, kMaxFileSize, &m.newData)).ok())
                return r;
            if (m.oldData.size() != e.oldSize || m.newData.size() != e.newSize ||
                (m.hasOld && Sha256(m.oldData.data(), m.oldData.size()) != e.oldHash) ||
                (m.hasNew && Sha256(m.newData.data(), m.newData.size()) != e.newHash))
                return Fail(Status::kBuildFailed, e.name + " changed while the patch was being built");
        }

        // The tasks: each file's own encodings, and the group's frame when there is a group.
        std::vector<std::pair<std::uint64_t, std::function<void()>>> work;
        for (Member& m : members) {
            if (!m.hasNew)
                continue;  // a removed file, only a source for the group
            const std::uint64_t bytes = m.oldData.size() + m.newData.size();
            if (m.hasOld && !m.oldData.empty()) {
                m.triedDelta = true;
                work.emplace_back(bytes, Guarded(&m.deltaResult, [&m, &options] {
                    return EncodeZstd(m.newData.data(), m.newData.size(), m.oldData.data(), m.oldData.size(),
                                      options.level, &m.delta);
                }));
                if (m.oldData.size() <= kMaxMatchOldSize && matchable[m.entry]) {
                    m.triedMatch = true;
                    work.emplace_back(bytes, Guarded(&m.matchResult, [&m, &options] {
                        MatchFilter filter = LooksLikeX86Code(m.newData.data(), m.newData.size())
                                                 ? MatchFilter::kX86Branches
                                                 : MatchFilter::kNone;
                        return EncodeMatchDelta(m.oldData.data(), m.oldData.size(), m.newData.data(), m.newData.size(),
                                                filter, options.level, &m.match);
                    }));
                }
            }
            work.emplace_back(m.newData.size() / 4, Guarded(&m.aloneResult, [&m, quickLevel] {
                return EncodeZstd(m.newData.data(), m.newData.size(), nullptr, 0, quickLevel, &m.alone);
            }));
        }
        Result groupResult;
        std::vector<std::uint8_t> groupFrame;
        if (members.size() >= 2) {
            std::uint64_t bytes = 0;
            for (const Member& m : members)
                bytes += m.oldData.size() + m.newData.size();
            work.emplace_back(bytes, Guarded(&groupResult, [&members, &options, &groupFrame] {
                std::vector<std::uint8_t> olds, news;
                for (const Member& m : members) {
                    olds.insert(olds.end(), m.oldData.begin(), m.oldData.end());
                    news.insert(news.end(), m.newData.begin(), m.newData.end());
                }
                return EncodeZstd(news.data(), news.size(), olds.empty() ? nullptr : olds.data(), olds.size(),
                                  options.level, &groupFrame);
            }));
        }
        // The longest tasks first (by the bytes they work on), so that the threads finish together.
        std::stable_sort(work.begin(), work.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<std::function<void()>> tasks;
        for (auto& w : work)
            tasks.push_back(std::move(w.second));
        RunParallel(tasks, threads);

        // Each file's smallest own encoding: stored, zstd delta, match delta, or zstd alone (at
        // full strength when the quick try says it may win).
        std::uint64_t own = 0;
        for (Member& m : members) {
            if (!m.hasNew)
                continue;
            for (const Result* res : {&m.deltaResult, &m.matchResult, &m.aloneResult})
                if (!res->ok())
                    return *res;
            m.codec = Codec::kStored;
            m.best = m.newData;
            auto consider = [&m](Codec codec, std::vector<std::uint8_t>& candidate) {
                if (candidate.size() < m.best.size()) {
                    m.codec = codec;
                    m.best.swap(candidate);
                }
            };
            if (m.triedDelta)
                consider(Codec::kZstdDelta, m.delta);
            if (m.triedMatch)
                consider(Codec::kMatchDelta, m.match);
            if (m.alone.size() < m.best.size() && options.level > quickLevel &&
                !(r = EncodeZstd(m.newData.data(), m.newData.size(), nullptr, 0, options.level, &m.alone)).ok())
                return r;
            consider(Codec::kZstd, m.alone);
            own += m.best.size();
        }
        if (!groupResult.ok())
            return groupResult;
        bool grouped = members.size() >= 2 && groupFrame.size() < own;
        for (Member& m : members) {
            if (grouped) {
                out.entries[m.entry].codec = Codec::kZstdGroupDelta;
                groupOf[m.entry] = static_cast<int>(groupFrames.size());
            } else if (m.hasNew) {
                out.entries[m.entry].codec = m.codec;
                blobs[m.entry] = std::move(m.best);
            }
        }
        if (grouped)
            groupFrames.push_back(std::move(groupFrame));
    }

    // The data section: each entry's data, a group's frame once for all its members.
    std::vector<std::uint64_t> groupOffset(groupFrames.size(), ~0ull);
    for (std::size_t i = 0; i < out.entries.size(); ++i) {
        Entry& e = out.entries[i];
        if (!e.HasData())
            continue;
        const std::vector<std::uint8_t>& data = groupOf[i] >= 0 ? groupFrames[groupOf[i]] : blobs[i];
        if (groupOf[i] >= 0 && groupOffset[groupOf[i]] != ~0ull) {
            e.dataOffset = groupOffset[groupOf[i]];
        } else {
            e.dataOffset = out.data.size();
            if (groupOf[i] >= 0)
                groupOffset[groupOf[i]] = e.dataOffset;
            out.data.insert(out.data.end(), data.begin(), data.end());
        }
        e.dataLength = data.size();
    }
    if (!(r = CheckNames(out.entries)).ok())
        return Fail(Status::kBuildFailed, "the trees hold a name a patch cannot carry: " + r.message);
    *patch = std::move(out);
    return Result::Ok();
}

}  // namespace qvpatch
