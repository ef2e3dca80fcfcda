// Building a patch from two directory trees.
#include "build.h"

#include <algorithm>
#include <map>

#include "codec.h"
#include "sha256.h"

namespace qvpatch {

namespace {

struct TreeEntry {
    bool isDirectory = false;
};

// Every file and directory below root, by relative name with '/'.
Result Walk(FileSystem& fs, const std::string& root, const std::string& relative, std::map<std::string, TreeEntry>* out)
{
    std::vector<DirEntry> entries;
    Result r = fs.List(relative.empty() ? root : fs.Join(root, relative), &entries);
    if (!r.ok())
        return r;
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    for (const DirEntry& e : entries) {
        std::string name = relative.empty() ? e.name : relative + "/" + e.name;
        if (e.isLink)
            return Fail(Status::kBuildFailed, "links are not supported in a tree: " + fs.Join(root, name));
        (*out)[name] = TreeEntry{e.isDirectory};
        if (e.isDirectory && !(r = Walk(fs, root, name, out)).ok())
            return r;
    }
    return Result::Ok();
}

// The smallest encoding of data: a delta against old (when given), zstd alone, or stored. zstd
// alone is tried at full strength only when a quick try says it may beat the delta.
Result Encode(const std::vector<std::uint8_t>& data, const std::vector<std::uint8_t>* old, int level, Codec* codec,
              std::vector<std::uint8_t>* out)
{
    *codec = Codec::kStored;
    *out = data;
    std::vector<std::uint8_t> candidate;
    Result r;
    if (old != nullptr && !old->empty()) {
        if (!(r = EncodeZstd(data.data(), data.size(), old->data(), old->size(), level, &candidate)).ok())
            return r;
        if (candidate.size() < out->size()) {
            *codec = Codec::kZstdDelta;
            out->swap(candidate);
        }
    }
    const int quickLevel = 3;
    if (!(r = EncodeZstd(data.data(), data.size(), nullptr, 0, std::min(level, quickLevel), &candidate)).ok())
        return r;
    if (candidate.size() < out->size() && level > quickLevel &&
        !(r = EncodeZstd(data.data(), data.size(), nullptr, 0, level, &candidate)).ok())
        return r;
    if (candidate.size() < out->size()) {
        *codec = Codec::kZstd;
        out->swap(candidate);
    }
    return Result::Ok();
}

}  // namespace

Result BuildPatch(FileSystem& fs, const std::string& oldDir, const std::string& newDir, const BuildOptions& options,
                  Patch* patch)
{
    std::map<std::string, TreeEntry> oldTree, newTree;
    Result r = Walk(fs, oldDir, "", &oldTree);
    if (!r.ok())
        return r;
    if (!(r = Walk(fs, newDir, "", &newTree)).ok())
        return r;

    Patch out;
    std::vector<std::string> names;
    for (const auto& [name, e] : oldTree)
        names.push_back(name);
    for (const auto& [name, e] : newTree)
        if (!oldTree.count(name))
            names.push_back(name);
    std::sort(names.begin(), names.end());

    // Each entry's encoded data until the data section is laid out; changed files small enough to
    // share a frame with others keep their old and new contents for that.
    std::vector<std::vector<std::uint8_t>> blobs;
    struct Candidate {
        std::size_t entry;
        std::vector<std::uint8_t> oldData, newData;
    };
    std::vector<Candidate> candidates;

    std::size_t index = 0;
    for (const std::string& name : names) {
        ++index;
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
            blobs.emplace_back();
            continue;
        }
        if (options.onFile)
            options.onFile(name, index, names.size());
        std::vector<std::uint8_t> oldData, newData;
        if (inOld && !(r = ReadWholeFile(fs, fs.Join(oldDir, name), kMaxFileSize, &oldData)).ok())
            return r;
        if (inNew && !(r = ReadWholeFile(fs, fs.Join(newDir, name), kMaxFileSize, &newData)).ok())
            return r;
        if (inOld) {
            e.oldSize = oldData.size();
            e.oldHash = Sha256(oldData.data(), oldData.size());
        }
        if (inNew) {
            e.newSize = newData.size();
            e.newHash = Sha256(newData.data(), newData.size());
        }
        if (inOld && inNew && e.oldHash == e.newHash && e.oldSize == e.newSize)
            continue;
        e.kind = inOld && inNew ? EntryKind::kChangedFile : inNew ? EntryKind::kAddedFile : EntryKind::kRemovedFile;
        std::vector<std::uint8_t> encoded;
        if (e.HasNew() && !(r = Encode(newData, inOld ? &oldData : nullptr, options.level, &e.codec, &encoded)).ok())
            return r;
        if (e.kind == EntryKind::kChangedFile && e.oldSize + e.newSize <= kMaxGroupBytes / 2)
            candidates.push_back(Candidate{out.entries.size(), std::move(oldData), std::move(newData)});
        out.entries.push_back(std::move(e));
        blobs.push_back(std::move(encoded));
    }

    // Changed files in runs that fit a group: one frame for the run when it is smaller than the
    // files' own encodings together (matches across files).
    std::vector<std::vector<std::uint8_t>> groupFrames;
    std::vector<int> groupOf(out.entries.size(), -1);
    for (std::size_t start = 0; start < candidates.size();) {
        std::size_t end = start;
        std::uint64_t bytes = 0, own = 0;
        std::vector<std::uint8_t> olds, news;
        while (end < candidates.size()) {
            const Entry& e = out.entries[candidates[end].entry];
            if (bytes + e.oldSize + e.newSize > kMaxGroupBytes)
                break;
            bytes += e.oldSize + e.newSize;
            own += blobs[candidates[end].entry].size();
            olds.insert(olds.end(), candidates[end].oldData.begin(), candidates[end].oldData.end());
            news.insert(news.end(), candidates[end].newData.begin(), candidates[end].newData.end());
            ++end;
        }
        if (end - start >= 2) {
            std::vector<std::uint8_t> frame;
            if (!(r = EncodeZstd(news.data(), news.size(), olds.data(), olds.size(), options.level, &frame)).ok())
                return r;
            if (frame.size() < own) {
                for (std::size_t k = start; k < end; ++k) {
                    out.entries[candidates[k].entry].codec = Codec::kZstdGroupDelta;
                    groupOf[candidates[k].entry] = static_cast<int>(groupFrames.size());
                }
                groupFrames.push_back(std::move(frame));
            }
        }
        start = end;
    }

    // The data section: each entry's data, a group's frame once for all its members.
    std::vector<std::uint64_t> groupOffset(groupFrames.size(), ~0ull);
    for (std::size_t i = 0; i < out.entries.size(); ++i) {
        Entry& e = out.entries[i];
        if (!e.HasNew())
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
