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

// The smallest encoding of data: a delta against old (when given), zstd alone, or stored.
Result Encode(const std::vector<std::uint8_t>& data, const std::vector<std::uint8_t>* old, int level, Codec* codec,
              std::vector<std::uint8_t>* out)
{
    *codec = Codec::kStored;
    *out = data;
    std::vector<std::uint8_t> candidate;
    Result r = EncodeZstd(data.data(), data.size(), nullptr, 0, level, &candidate);
    if (!r.ok())
        return r;
    if (candidate.size() < out->size()) {
        *codec = Codec::kZstd;
        out->swap(candidate);
    }
    if (old != nullptr && !old->empty()) {
        r = EncodeZstd(data.data(), data.size(), old->data(), old->size(), level, &candidate);
        if (!r.ok())
            return r;
        if (candidate.size() < out->size()) {
            *codec = Codec::kZstdDelta;
            out->swap(candidate);
        }
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

    std::size_t index = 0;
    for (const std::string& name : names) {
        ++index;
        auto o = oldTree.find(name);
        auto n = newTree.find(name);
        bool inOld = o != oldTree.end(), inNew = n != newTree.end();
        bool oldDir2 = inOld && o->second.isDirectory, newDir2 = inNew && n->second.isDirectory;
        if (inOld && inNew && oldDir2 != newDir2)
            return Fail(Status::kBuildFailed, name + " is a file in one tree and a directory in the other");
        Entry e;
        e.name = name;
        if (oldDir2 || newDir2) {
            if (inOld && inNew)
                continue;
            e.kind = inNew ? EntryKind::kAddedDirectory : EntryKind::kRemovedDirectory;
            out.entries.push_back(e);
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
        if (e.HasNew()) {
            std::vector<std::uint8_t> encoded;
            if (!(r = Encode(newData, inOld ? &oldData : nullptr, options.level, &e.codec, &encoded)).ok())
                return r;
            e.dataOffset = out.data.size();
            e.dataLength = encoded.size();
            out.data.insert(out.data.end(), encoded.begin(), encoded.end());
        }
        out.entries.push_back(std::move(e));
    }
    if (!(r = CheckNames(out.entries)).ok())
        return Fail(Status::kBuildFailed, "the trees hold a name a patch cannot carry: " + r.message);
    *patch = std::move(out);
    return Result::Ok();
}

}  // namespace qvpatch
