// A file system in memory for the patch engine, for fuzzing the whole apply without a disk: one
// tree whose names are '/'-separated and compare exactly, an existing target refused as on disk.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qvpatch/file_system.h"

namespace memfs {

class MemoryFs : public qvpatch::FileSystem, public qvpatch::Tree {
public:
    MemoryFs() { directories_.insert(""); }

    void AddFile(const std::string& path, const std::string& content)
    {
        files_[path] = content;
        meta_[path] = Meta{++nextId_, 0};
        for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            directories_.insert(path.substr(0, slash));
    }
    void AddDirectory(const std::string& path)
    {
        AddFile(path + "/x", "");
        files_.erase(path + "/x");
    }

    // Everything, for comparing before and after.
    std::map<std::string, std::string> Snapshot() const
    {
        std::map<std::string, std::string> all = files_;
        for (const std::string& d : directories_)
            all[d + "/"] = "";
        return all;
    }

    // The file system: one tree, whatever the path ("" is its top).
    qvpatch::Result OpenTree(const std::string&, std::unique_ptr<qvpatch::Tree>* tree) override
    {
        tree->reset(new Borrowed(*this));
        return qvpatch::Result::Ok();
    }
    qvpatch::Result OpenFile(const std::string& path, std::unique_ptr<qvpatch::InputFile>* file) override
    {
        return OpenRead(path, file);
    }
    qvpatch::Result WriteNewFile(const std::string& path, const std::uint8_t* data, std::size_t size, bool,
                                 bool* existed) override
    {
        *existed = Exists(path);
        if (*existed)
            return Error("exists " + path);
        files_[path] = std::string(reinterpret_cast<const char*>(data), size);
        meta_[path] = Meta{++nextId_, 0};
        return qvpatch::Result::Ok();
    }

    std::string Describe(const std::string& name) const override { return name; }

    qvpatch::Result Stat(const std::string& path, qvpatch::FileInfo* info) override
    {
        *info = qvpatch::FileInfo{};
        if (directories_.count(path)) {
            info->exists = info->isDirectory = true;
        } else if (auto it = files_.find(path); it != files_.end()) {
            info->exists = info->isFile = true;
            info->size = it->second.size();
            info->id = meta_[path].id;
            info->stamp = meta_[path].stamp;
        }
        return qvpatch::Result::Ok();
    }

    qvpatch::Result List(const std::string& dir, std::vector<qvpatch::DirEntry>* entries) override
    {
        entries->clear();
        if (!directories_.count(dir))
            return Error("cannot list " + dir);
        std::string prefix = dir.empty() ? "" : dir + "/";
        for (const auto& [name, content] : files_)
            if (name.compare(0, prefix.size(), prefix) == 0 && name.find('/', prefix.size()) == std::string::npos)
                entries->push_back(qvpatch::DirEntry{name.substr(prefix.size()), false, false});
        for (const std::string& d : directories_)
            if (!d.empty() && d.compare(0, prefix.size(), prefix) == 0 && d.size() > prefix.size() &&
                d.find('/', prefix.size()) == std::string::npos)
                entries->push_back(qvpatch::DirEntry{d.substr(prefix.size()), true, false});
        return qvpatch::Result::Ok();
    }

    qvpatch::Result OpenRead(const std::string& path, std::unique_ptr<qvpatch::InputFile>* file) override
    {
        auto it = files_.find(path);
        if (it == files_.end())
            return Error("cannot open " + path);
        qvpatch::FileInfo info;
        (void)Stat(path, &info);  // it is there: nothing can fail
        file->reset(new Input(it->second, info));
        return qvpatch::Result::Ok();
    }

    qvpatch::Result Create(const std::string& path, std::unique_ptr<qvpatch::OutputFile>* file) override
    {
        if (Exists(path) || !directories_.count(Parent(path)))
            return Error("cannot create " + path);
        meta_[path] = Meta{++nextId_, 0};
        file->reset(new Output(files_[path], meta_[path]));
        return qvpatch::Result::Ok();
    }

    qvpatch::Result Rename(const std::string& from, const std::string& to) override
    {
        if (Exists(to) || !directories_.count(Parent(to)))
            return Error("cannot rename to " + to);
        if (auto it = files_.find(from); it != files_.end()) {
            files_[to] = it->second;
            files_.erase(from);
            meta_[to] = meta_[from];
            meta_.erase(from);
            return qvpatch::Result::Ok();
        }
        if (directories_.count(from) && !HasChildren(from)) {
            directories_.erase(from);
            directories_.insert(to);
            return qvpatch::Result::Ok();
        }
        return Error("cannot rename " + from);
    }

    qvpatch::Result Remove(const std::string& path) override
    {
        meta_.erase(path);
        return files_.erase(path) ? qvpatch::Result::Ok() : Error("cannot remove " + path);
    }
    qvpatch::Result MakeDirectory(const std::string& path, bool) override
    {
        if (Exists(path) || !directories_.count(Parent(path)))
            return Error("cannot create " + path);
        directories_.insert(path);
        return qvpatch::Result::Ok();
    }
    qvpatch::Result RemoveDirectory(const std::string& path) override
    {
        if (path.empty() || !directories_.count(path) || HasChildren(path))
            return Error("cannot remove " + path);
        directories_.erase(path);
        return qvpatch::Result::Ok();
    }
    qvpatch::Result CopyAttributes(const std::string&, const std::string&) override { return qvpatch::Result::Ok(); }
    qvpatch::Result RestoreAttributes(const std::string&, const qvpatch::FileInfo&) override
    {
        return qvpatch::Result::Ok();
    }
    qvpatch::Result Hold(const std::string& path) override
    {
        return directories_.count(path) ? qvpatch::Result::Ok() : Error("cannot hold " + path);
    }
    qvpatch::Result Sync(const std::string&) override { return qvpatch::Result::Ok(); }
    qvpatch::Result Lock(qvpatch::LockMode, bool* taken) override
    {
        *taken = true;
        return qvpatch::Result::Ok();
    }
    qvpatch::Result FreeSpace(std::uint64_t* bytes) override
    {
        *bytes = 1ull << 30;
        return qvpatch::Result::Ok();
    }

private:
    // The tree handed out by OpenTree: the file system itself, not owned.
    class Borrowed : public qvpatch::Tree {
    public:
        explicit Borrowed(MemoryFs& fs) : fs_(fs) {}
        std::string Describe(const std::string& name) const override { return fs_.Describe(name); }
        qvpatch::Result Stat(const std::string& n, qvpatch::FileInfo* i) override { return fs_.Stat(n, i); }
        qvpatch::Result List(const std::string& n, std::vector<qvpatch::DirEntry>* e) override
        {
            return fs_.List(n, e);
        }
        qvpatch::Result OpenRead(const std::string& n, std::unique_ptr<qvpatch::InputFile>* f) override
        {
            return fs_.OpenRead(n, f);
        }
        qvpatch::Result Create(const std::string& n, std::unique_ptr<qvpatch::OutputFile>* f) override
        {
            return fs_.Create(n, f);
        }
        qvpatch::Result Rename(const std::string& a, const std::string& b) override { return fs_.Rename(a, b); }
        qvpatch::Result Remove(const std::string& n) override { return fs_.Remove(n); }
        qvpatch::Result MakeDirectory(const std::string& n, bool o) override { return fs_.MakeDirectory(n, o); }
        qvpatch::Result RemoveDirectory(const std::string& n) override { return fs_.RemoveDirectory(n); }
        qvpatch::Result CopyAttributes(const std::string& a, const std::string& b) override
        {
            return fs_.CopyAttributes(a, b);
        }
        qvpatch::Result RestoreAttributes(const std::string& n, const qvpatch::FileInfo& l) override
        {
            return fs_.RestoreAttributes(n, l);
        }
        qvpatch::Result Hold(const std::string& n) override { return fs_.Hold(n); }
        qvpatch::Result Sync(const std::string& n) override { return fs_.Sync(n); }
        qvpatch::Result Lock(qvpatch::LockMode m, bool* t) override { return fs_.Lock(m, t); }
        qvpatch::Result FreeSpace(std::uint64_t* b) override { return fs_.FreeSpace(b); }

    private:
        MemoryFs& fs_;
    };

    class Input : public qvpatch::InputFile {
    public:
        Input(const std::string& data, const qvpatch::FileInfo& info) : data_(data), info_(info) {}
        qvpatch::Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
        {
            *got = data_.copy(reinterpret_cast<char*>(buffer), size, pos_);
            pos_ += *got;
            return qvpatch::Result::Ok();
        }
        qvpatch::Result ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got) override
        {
            *got = offset >= data_.size() ? 0 : data_.copy(reinterpret_cast<char*>(buffer), size, offset);
            return qvpatch::Result::Ok();
        }
        qvpatch::Result Info(qvpatch::FileInfo* info) override
        {
            *info = info_;
            return qvpatch::Result::Ok();
        }

    private:
        std::string data_;
        qvpatch::FileInfo info_;
        std::size_t pos_ = 0;
    };

    // Which file a name holds, and how often it was written to.
    struct Meta {
        std::uint64_t id = 0;
        std::int64_t stamp = 0;
    };

    class Output : public qvpatch::OutputFile {
    public:
        Output(std::string& data, Meta& meta) : data_(data), meta_(meta) {}
        qvpatch::Result Write(const std::uint8_t* data, std::size_t size) override
        {
            data_.append(reinterpret_cast<const char*>(data), size);
            ++meta_.stamp;
            return qvpatch::Result::Ok();
        }
        qvpatch::Result Sync() override { return qvpatch::Result::Ok(); }
        qvpatch::Result Close() override { return qvpatch::Result::Ok(); }

    private:
        std::string& data_;
        Meta& meta_;
    };

    static qvpatch::Result Error(const std::string& what) { return qvpatch::Fail(qvpatch::Status::kIoError, what); }
    static std::string Parent(const std::string& path)
    {
        std::size_t slash = path.rfind('/');
        return slash == std::string::npos ? "" : path.substr(0, slash);
    }
    bool Exists(const std::string& path) const { return files_.count(path) || directories_.count(path); }
    bool HasChildren(const std::string& dir) const
    {
        std::string prefix = dir + "/";
        auto f = files_.lower_bound(prefix);
        if (f != files_.end() && f->first.compare(0, prefix.size(), prefix) == 0)
            return true;
        auto d = directories_.lower_bound(prefix);
        return d != directories_.end() && d->compare(0, prefix.size(), prefix) == 0;
    }

    std::map<std::string, std::string> files_;
    std::set<std::string> directories_;
    std::map<std::string, Meta> meta_;
    std::uint64_t nextId_ = 0;
};

}  // namespace memfs
