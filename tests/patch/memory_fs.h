// A file system in memory for the patch engine, for fuzzing the whole apply without a disk: paths
// are '/'-separated, names compare exactly, an existing target is refused as on disk.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fs.h"

namespace memfs {

class MemoryFs : public qvpatch::FileSystem {
public:
    MemoryFs() { directories_.insert(""); }

    void AddFile(const std::string& path, const std::string& content)
    {
        files_[path] = content;
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

    std::string Join(const std::string& dir, const std::string& name) const override
    {
        return dir.empty() ? name : dir + "/" + name;
    }

    qvpatch::Result Stat(const std::string& path, qvpatch::FileInfo* info) override
    {
        *info = qvpatch::FileInfo{};
        if (directories_.count(path)) {
            info->exists = info->isDirectory = true;
        } else if (auto it = files_.find(path); it != files_.end()) {
            info->exists = true;
            info->size = it->second.size();
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
        file->reset(new Input(it->second));
        return qvpatch::Result::Ok();
    }

    qvpatch::Result Create(const std::string& path, std::unique_ptr<qvpatch::OutputFile>* file) override
    {
        if (Exists(path) || !directories_.count(Parent(path)))
            return Error("cannot create " + path);
        files_[path];
        file->reset(new Output(files_[path]));
        return qvpatch::Result::Ok();
    }

    qvpatch::Result Rename(const std::string& from, const std::string& to) override
    {
        if (Exists(to) || !directories_.count(Parent(to)))
            return Error("cannot rename to " + to);
        if (auto it = files_.find(from); it != files_.end()) {
            files_[to] = it->second;
            files_.erase(from);
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
        return files_.erase(path) ? qvpatch::Result::Ok() : Error("cannot remove " + path);
    }
    qvpatch::Result MakeDirectory(const std::string& path) override
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
    qvpatch::Result SyncDirectory(const std::string&) override { return qvpatch::Result::Ok(); }

private:
    class Input : public qvpatch::InputFile {
    public:
        explicit Input(const std::string& data) : data_(data) {}
        qvpatch::Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
        {
            *got = data_.copy(reinterpret_cast<char*>(buffer), size, pos_);
            pos_ += *got;
            return qvpatch::Result::Ok();
        }

    private:
        std::string data_;
        std::size_t pos_ = 0;
    };

    class Output : public qvpatch::OutputFile {
    public:
        explicit Output(std::string& data) : data_(data) {}
        qvpatch::Result Write(const std::uint8_t* data, std::size_t size) override
        {
            data_.append(reinterpret_cast<const char*>(data), size);
            return qvpatch::Result::Ok();
        }
        qvpatch::Result Sync() override { return qvpatch::Result::Ok(); }
        qvpatch::Result Close() override { return qvpatch::Result::Ok(); }

    private:
        std::string& data_;
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
};

}  // namespace memfs
