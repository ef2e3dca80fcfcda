// The patch engine's file system on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs.h"

namespace qvpatch {

namespace {

Result IoError(const std::string& what, const std::string& path, int err)
{
    return Fail(Status::kIoError, what + " " + path + ": " + std::strerror(err));
}

class PosixInput : public InputFile {
public:
    explicit PosixInput(int fd) : fd_(fd) {}
    ~PosixInput() override { close(fd_); }
    Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        for (;;) {
            ssize_t n = read(fd_, buffer, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return IoError("cannot read", "a file", errno);
            *got = static_cast<std::size_t>(n);
            return Result::Ok();
        }
    }

private:
    int fd_;
};

class PosixOutput : public OutputFile {
public:
    PosixOutput(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~PosixOutput() override
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Result Write(const std::uint8_t* data, std::size_t size) override
    {
        while (size > 0) {
            ssize_t n = write(fd_, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return IoError("cannot write", path_, errno);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return Result::Ok();
    }
    Result Sync() override { return fsync(fd_) == 0 ? Result::Ok() : IoError("cannot flush", path_, errno); }
    Result Close() override
    {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0 ? Result::Ok() : IoError("cannot close", path_, errno);
    }

private:
    int fd_;
    std::string path_;
};

class PosixFileSystem : public FileSystem {
public:
    std::string Join(const std::string& dir, const std::string& name) const override
    {
        if (dir.empty())
            return name;
        return dir.back() == '/' ? dir + name : dir + "/" + name;
    }

    Result Stat(const std::string& path, FileInfo* info) override
    {
        struct stat st;
        *info = FileInfo{};
        if (lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return Result::Ok();
            return IoError("cannot look at", path, errno);
        }
        info->exists = true;
        info->isLink = S_ISLNK(st.st_mode);
        info->isDirectory = S_ISDIR(st.st_mode);
        info->size = static_cast<std::uint64_t>(st.st_size);
        return Result::Ok();
    }

    Result List(const std::string& dir, std::vector<DirEntry>* entries) override
    {
        entries->clear();
        DIR* d = opendir(dir.c_str());
        if (d == nullptr)
            return IoError("cannot list", dir, errno);
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            FileInfo info;
            Stat(Join(dir, name), &info);
            entries->push_back(DirEntry{name, info.isDirectory, info.isLink});
        }
        closedir(d);
        return Result::Ok();
    }

    Result OpenRead(const std::string& path, std::unique_ptr<InputFile>* file) override
    {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return IoError("cannot open", path, errno);
        file->reset(new PosixInput(fd));
        return Result::Ok();
    }

    Result Create(const std::string& path, std::unique_ptr<OutputFile>* file) override
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0)
            return IoError("cannot create", path, errno);
        file->reset(new PosixOutput(fd, path));
        return Result::Ok();
    }

    Result Rename(const std::string& from, const std::string& to) override
    {
        // renameat2 with RENAME_NOREPLACE would do it in one step; a link() pair is not possible
        // for directories, so check, then rename.
        struct stat st;
        if (lstat(to.c_str(), &st) == 0)
            return Fail(Status::kIoError, "cannot rename " + from + ": " + to + " exists");
        if (rename(from.c_str(), to.c_str()) != 0)
            return IoError("cannot rename", from + " to " + to, errno);
        return Result::Ok();
    }

    Result Remove(const std::string& path) override
    {
        return unlink(path.c_str()) == 0 ? Result::Ok() : IoError("cannot remove", path, errno);
    }

    Result MakeDirectory(const std::string& path) override
    {
        return mkdir(path.c_str(), 0755) == 0 ? Result::Ok() : IoError("cannot create the directory", path, errno);
    }

    Result RemoveDirectory(const std::string& path) override
    {
        return rmdir(path.c_str()) == 0 ? Result::Ok() : IoError("cannot remove the directory", path, errno);
    }

    Result CopyAttributes(const std::string& from, const std::string& to) override
    {
        struct stat st;
        if (stat(from.c_str(), &st) != 0)
            return IoError("cannot look at", from, errno);
        return chmod(to.c_str(), st.st_mode & 07777) == 0 ? Result::Ok() : IoError("cannot set the mode of", to, errno);
    }

    Result SyncDirectory(const std::string& dir) override
    {
        int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return IoError("cannot open", dir, errno);
        int rc = fsync(fd);
        close(fd);
        return rc == 0 ? Result::Ok() : IoError("cannot flush", dir, errno);
    }
};

}  // namespace

FileSystem& NativeFileSystem()
{
    static PosixFileSystem fs;
    return fs;
}

}  // namespace qvpatch
