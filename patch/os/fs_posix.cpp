// The patch engine's file system on POSIX systems: a tree is a directory descriptor, and every name
// below it is reached with openat and O_NOFOLLOW from there, one part at a time.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>

#include "qvpatch/file_system.h"

namespace qvpatch {

namespace {

Result IoError(const std::string& what, const std::string& path, int err)
{
    return Fail(Status::kIoError, what + " " + path + ": " + std::strerror(err));
}

// A descriptor, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            (void)close(fd_);  // a read-only descriptor: nothing can be lost
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// The flags of a directory opened only to reach names below it.
#ifdef O_PATH
constexpr int kWalkFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

FileInfo InfoOf(const struct stat& st)
{
    FileInfo info;
    info.exists = true;
    info.isLink = S_ISLNK(st.st_mode);
    info.isDirectory = S_ISDIR(st.st_mode);
    info.isFile = S_ISREG(st.st_mode);
    info.size = static_cast<std::uint64_t>(st.st_size);
    info.id = static_cast<std::uint64_t>(st.st_ino) ^ (static_cast<std::uint64_t>(st.st_dev) << 40);
    info.stamp = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    info.foreign = st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    info.mode = st.st_mode & 07777;
    info.owner = st.st_uid;
    info.group = st.st_gid;
    return info;
}

// Gives an open file or directory the owner and group, where this user may (an administrator
// may; a member may give a group), and the mode. A set-user or set-group bit only goes with the
// owner or group it was given for, so that nothing of the updater's becomes set-user-ID in
// someone else's name.
Result GiveOwnerAndMode(int fd, uid_t owner, gid_t group, mode_t mode, const std::string& path)
{
    struct stat now;
    if (fchown(fd, owner, group) != 0)
        (void)fchown(fd, static_cast<uid_t>(-1), group);  // the group alone; a refusal keeps ours
    if (fstat(fd, &now) != 0)
        return IoError("cannot look at", path, errno);
    if (now.st_uid != owner)
        mode &= ~static_cast<mode_t>(S_ISUID);
    if (now.st_gid != group)
        mode &= ~static_cast<mode_t>(S_ISGID);
    return fchmod(fd, mode) == 0 ? Result::Ok() : IoError("cannot set the mode of", path, errno);
}

// The name of the update lock, beside the work area.
constexpr char kLockName[] = ".qvpatch.tmp.lock";

// Clears O_NONBLOCK, set only so that opening a pipe could not wait.
Result Blocking(int fd, const std::string& path)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return IoError("cannot open", path, errno);
    return Result::Ok();
}

#if defined(__linux__)
// File systems where a file changes only through this system's own calls, which a lease guards:
// local ones. On a network or FUSE file system a file can change behind a lease granted.
bool LeasesHold(int fd)
{
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0xF2F52010:  // F2FS
    case 0x01021994:  // tmpfs
        return true;
    default: return false;
    }
}

// The mappings of old files, guarded: a page of one that faults (its file cut short under it,
// once a lease was broken after the system's lease-break time, the process having been stopped
// that long) is replaced by a page of zeros, and the mapping marked cut, rather than the fault
// ending the process. Whoever reads the mapping then finds it changed. A fault anywhere else goes
// to the handler there was before.
class MapGuard {
public:
    // A slot for [start, start + size), or -1 when none is free (the file is then read).
    static int Add(const void* start, std::size_t size)
    {
        static const bool installed = Install();
        if (!installed)
            return -1;
        const auto from = reinterpret_cast<std::uintptr_t>(start);
        for (int i = 0; i < kSlots; ++i) {
            std::uintptr_t free = 0;
            if (slots_[i].start.compare_exchange_strong(free, from)) {
                slots_[i].cut.store(false);
                slots_[i].end.store(from + size);
                return i;
            }
        }
        return -1;
    }
    static bool Cut(int slot) { return slots_[slot].cut.load(); }
    static void Remove(int slot)
    {
        slots_[slot].end.store(0);
        slots_[slot].start.store(0);
    }

private:
    struct Slot {
        std::atomic<std::uintptr_t> start{0}, end{0};
        std::atomic<bool> cut{false};
    };
    static constexpr int kSlots = 64;

    static bool Install()
    {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        page_ = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        return page_ > 0 && sigaction(SIGBUS, &action, &previous_) == 0;
    }

    static void OnFault(int signal, siginfo_t* info, void* context)
    {
        const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
        const bool fault = info->si_code > 0;  // not sent by a process (kill, sigqueue)
        for (Slot& slot : slots_) {
            if (!fault || at < slot.start.load() || at >= slot.end.load())
                continue;
            void* zeros = mmap(reinterpret_cast<void*>(at & ~(page_ - 1)), page_, PROT_READ,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (zeros != MAP_FAILED) {
                slot.cut.store(true);
                return;  // the read is made again, of zeros
            }
        }
        if ((previous_.sa_flags & SA_SIGINFO) != 0 && previous_.sa_sigaction != nullptr) {
            previous_.sa_sigaction(signal, info, context);
        } else if (previous_.sa_handler != SIG_DFL && previous_.sa_handler != SIG_IGN) {
            previous_.sa_handler(signal);
        } else if (previous_.sa_handler == SIG_IGN && !fault) {
            return;  // sent, and ignored as it was
        } else {
            // What the signal did before: it ends the process (a fault ignored does too).
            struct sigaction fallback;
            std::memset(&fallback, 0, sizeof fallback);
            fallback.sa_handler = SIG_DFL;
            sigemptyset(&fallback.sa_mask);
            sigaction(SIGBUS, &fallback, nullptr);
            raise(SIGBUS);  // delivered once this returns
        }
    }

    static Slot slots_[kSlots];
    static struct sigaction previous_;
    static std::uintptr_t page_;
};

MapGuard::Slot MapGuard::slots_[MapGuard::kSlots];
struct sigaction MapGuard::previous_;
std::uintptr_t MapGuard::page_ = 0;
#endif

// What an open file is, from the file rather than its name.
Result InfoOfOpen(int fd, const std::string& path, FileInfo* info)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return IoError("cannot look at", path, errno);
    *info = InfoOf(st);
    return Result::Ok();
}

class PosixInput : public InputFile {
public:
    PosixInput(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    ~PosixInput() override
    {
#if defined(__linux__)
        if (mapped_ != nullptr) {
            MapGuard::Remove(guard_);
            munmap(mapped_, mappedSize_);
        }
        if (leased_)
            (void)fcntl(fd_.get(), F_SETLEASE, F_UNLCK);
#endif
    }
    PosixInput(const PosixInput&) = delete;
    PosixInput& operator=(const PosixInput&) = delete;
    Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        for (;;) {
            ssize_t n = read(fd_.get(), buffer, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return IoError("cannot read", path_, errno);
            *got = static_cast<std::size_t>(n);
            return Result::Ok();
        }
    }
    Result ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        *got = 0;
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
            return Result::Ok();
        for (;;) {
            ssize_t n = pread(fd_.get(), buffer, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return IoError("cannot read", path_, errno);
            *got = static_cast<std::size_t>(n);
            return Result::Ok();
        }
    }
    Result Info(FileInfo* info) override { return InfoOfOpen(fd_.get(), path_, info); }
    // Mapped only on a local file system and under a read lease (Linux): the lease is refused
    // while anyone has the file open to write, and while it is held, opening the file to write or
    // truncating it waits until it is given back (when this closes) or for the system's
    // lease-break time (45 s by default). The system tells the holder with a signal: SIGURG,
    // ignored unless a program asks for it, and sent to nobody once the owner is cleared. A
    // process stopped for longer than that may find the file changed, or cut short (MapGuard):
    // MappedIntact tells. Elsewhere, and where no lease is had (another user's file, a file system
    // without leases), the file is read.
    Result Map(const std::uint8_t** data, std::uint64_t* size) override
    {
        *data = nullptr;
        *size = 0;
#if defined(__linux__)
        if (mapped_ == nullptr) {
            if (!LeasesHold(fd_.get()) || fcntl(fd_.get(), F_SETSIG, SIGURG) != 0 ||
                fcntl(fd_.get(), F_SETLEASE, F_RDLCK) != 0)
                return Result::Ok();
            leased_ = true;
            (void)fcntl(fd_.get(), F_SETOWN, 0);
            if (fstat(fd_.get(), &mappedStat_) != 0)
                return IoError("cannot look at", path_, errno);
            if (!S_ISREG(mappedStat_.st_mode) || mappedStat_.st_size <= 0 ||
                static_cast<std::uint64_t>(mappedStat_.st_size) > std::numeric_limits<std::size_t>::max())
                return Result::Ok();
            const auto length = static_cast<std::size_t>(mappedStat_.st_size);
            void* p = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_.get(), 0);
            if (p == MAP_FAILED)
                return Result::Ok();  // no room for it, say: it is read
            if ((guard_ = MapGuard::Add(p, length)) < 0) {
                munmap(p, length);
                return Result::Ok();
            }
            mapped_ = p;
            mappedSize_ = length;
        }
        *data = static_cast<const std::uint8_t*>(mapped_);
        *size = mappedSize_;
#endif
        return Result::Ok();
    }
    // Changed since it was mapped: cut short under the mapping, or written (its size, identity or
    // time of status change, which nobody can set, differ).
    bool MappedIntact() override
    {
#if defined(__linux__)
        struct stat now;
        return mapped_ == nullptr ||
               (!MapGuard::Cut(guard_) && fstat(fd_.get(), &now) == 0 && now.st_size == mappedStat_.st_size &&
                now.st_ino == mappedStat_.st_ino && now.st_dev == mappedStat_.st_dev &&
                now.st_ctim.tv_sec == mappedStat_.st_ctim.tv_sec && now.st_ctim.tv_nsec == mappedStat_.st_ctim.tv_nsec);
#else
        return true;
#endif
    }

private:
    Fd fd_;
    std::string path_;
    void* mapped_ = nullptr;
    std::size_t mappedSize_ = 0;
    bool leased_ = false;
#if defined(__linux__)
    struct stat mappedStat_ {};
    int guard_ = -1;
#endif
};

class PosixOutput : public OutputFile {
public:
    PosixOutput(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    Result Write(const std::uint8_t* data, std::size_t size) override
    {
        while (size > 0) {
            ssize_t n = write(fd_.get(), data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return IoError("cannot write", path_, errno);
            data += n;
            size -= static_cast<std::size_t>(n);
            written_ += static_cast<std::uint64_t>(n);
        }
        StartWriteback();
        return Result::Ok();
    }
    bool CanReadBack() const override { return true; }
    Result ReadBack(std::uint64_t at, std::uint8_t* out, std::size_t size) override
    {
        // Only what this file wrote: a file cut short meanwhile by someone else is told as such.
        const std::uint64_t written = written_;
        if (at > written || size > written - at)
            return Fail(Status::kIoError, "cannot read back " + path_ + " past what was written");
        while (size > 0) {
            ssize_t n = pread(fd_.get(), out, size, static_cast<off_t>(at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return IoError("cannot read back", path_, errno);
            if (n == 0)
                return Fail(Status::kIoError, "cannot read back " + path_ + ": it was cut short while it was written");
            out += n;
            at += static_cast<std::uint64_t>(n);
            size -= static_cast<std::size_t>(n);
        }
        return Result::Ok();
    }
    Result Info(FileInfo* info) override { return InfoOfOpen(fd_.get(), path_, info); }
    Result Sync() override { return fsync(fd_.get()) == 0 ? Result::Ok() : IoError("cannot flush", path_, errno); }
    Result Close() override
    {
        int fd = fd_.release();
        return fd < 0 || close(fd) == 0 ? Result::Ok() : IoError("cannot close", path_, errno);
    }

private:
    // A large file's written bytes are sent on to the disk now and then as it is written, so that
    // the flush at its end has little left to wait for. Only a start: the flush is what makes
    // them safe, and a failure here is the flush's to tell.
    void StartWriteback()
    {
#if defined(__linux__) && defined(SYNC_FILE_RANGE_WRITE)
        constexpr std::uint64_t kEvery = 1 << 20;
        if (written_ - sent_ < kEvery)
            return;
        (void)sync_file_range(fd_.get(), static_cast<off_t>(sent_), static_cast<off_t>(written_ - sent_),
                              SYNC_FILE_RANGE_WRITE);  // advice only
        sent_ = written_;
#endif
    }

    Fd fd_;
    std::string path_;
    // Read by ReadBack on another thread while a Write goes on.
    std::atomic<std::uint64_t> written_{0};
    std::uint64_t sent_ = 0;
};

// Opens a plain file at (dir, name) for reading, without following a link there and without
// waiting on a pipe.
Result OpenPlainFile(int dir, const char* name, int extraFlags, const std::string& path, Fd* out)
{
    Fd fd(openat(dir, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags));
    if (fd.get() < 0) {
        if (errno == ELOOP)
            return Fail(Status::kIoError, "cannot open " + path + ": it is a link, which is not followed");
        return IoError("cannot open", path, errno);
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return IoError("cannot look at", path, errno);
    if (!S_ISREG(st.st_mode))
        return Fail(Status::kIoError, "cannot open " + path + ": not a plain file");
    Result r = Blocking(fd.get(), path);
    if (!r.ok())
        return r;
    *out = std::move(fd);
    return Result::Ok();
}

class PosixTree : public Tree {
public:
    PosixTree(Fd root, std::string path) : root_(std::move(root)), path_(std::move(path)) {}

    std::string Describe(const std::string& name) const override
    {
        if (name.empty())
            return path_;
        return !path_.empty() && path_.back() == '/' ? path_ + name : path_ + "/" + name;
    }

    Result Stat(const std::string& name, FileInfo* info) override
    {
        *info = FileInfo{};
        struct stat st;
        if (name.empty()) {
            if (fstat(root_.get(), &st) != 0)
                return IoError("cannot look at", path_, errno);
            *info = InfoOf(st);
            return Result::Ok();
        }
        if (auto held = held_.find(name); held != held_.end()) {
            if (fstat(held->second.get(), &st) != 0)
                return IoError("cannot look at", Describe(name), errno);
            *info = InfoOf(st);
            return Result::Ok();
        }
        Fd dir;
        std::string leaf;
        bool missing = false;
        Result r = Parent(name, &dir, &leaf, &missing);
        if (!r.ok() || missing)
            return r;
        if (fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return Result::Ok();
            return IoError("cannot look at", Describe(name), errno);
        }
        *info = InfoOf(st);
        return Result::Ok();
    }

    Result List(const std::string& name, std::vector<DirEntry>* entries) override
    {
        entries->clear();
        Fd fd;
        Result r = OpenDirectory(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, &fd);
        if (!r.ok())
            return r;
        DIR* d = fdopendir(fd.get());
        if (d == nullptr)
            return IoError("cannot list", Describe(name), errno);
        fd.release();
        errno = 0;
        while (dirent* e = readdir(d)) {
            std::string entry = e->d_name;
            if (entry == "." || entry == "..")
                continue;
            struct stat st;
            DirEntry out{entry, false, false};
            if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                out.isDirectory = S_ISDIR(st.st_mode);
                out.isLink = S_ISLNK(st.st_mode);
            }
            entries->push_back(out);
        }
        int err = errno;
        closedir(d);
        return err == 0 ? Result::Ok() : IoError("cannot list", Describe(name), err);
    }

    Result OpenRead(const std::string& name, std::unique_ptr<InputFile>* file) override
    {
        return AtParent(name, [&](int dir, const char* leaf) {
            Fd fd;
            Result r = OpenPlainFile(dir, leaf, O_NOFOLLOW, Describe(name), &fd);
            if (r.ok())
                file->reset(new PosixInput(std::move(fd), Describe(name)));
            return r;
        });
    }

    Result Create(const std::string& name, std::unique_ptr<OutputFile>* file) override
    {
        return AtParent(name, [&](int dir, const char* leaf) {
            // Each write goes to the file's end: a file another program cuts short while it is
            // written stays shorter than what was written (rather than filled out again past a
            // hole of zeros), which the writer's check of its size then tells.
            Fd fd(openat(dir, leaf, O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644));
            if (fd.get() < 0)
                return IoError("cannot create", Describe(name), errno);
            file->reset(new PosixOutput(std::move(fd), Describe(name)));
            return Result::Ok();
        });
    }

    Result Rename(const std::string& from, const std::string& to) override
    {
        Fd fromDir, toDir;
        std::string fromLeaf, toLeaf;
        Result r = ExistingParent(from, &fromDir, &fromLeaf);
        if (!r.ok() || !(r = ExistingParent(to, &toDir, &toLeaf)).ok())
            return r;
        const std::string what = Describe(from) + " to " + Describe(to);
#ifdef RENAME_NOREPLACE
        if (renameat2(fromDir.get(), fromLeaf.c_str(), toDir.get(), toLeaf.c_str(), RENAME_NOREPLACE) == 0)
            return Result::Ok();
        if (errno != EINVAL && errno != ENOSYS)
            return IoError("cannot rename", what, errno);
#endif
        // A file system that cannot refuse a target itself: look, then rename.
        struct stat st;
        if (fstatat(toDir.get(), toLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return IoError("cannot rename", what, EEXIST);
        if (renameat(fromDir.get(), fromLeaf.c_str(), toDir.get(), toLeaf.c_str()) != 0)
            return IoError("cannot rename", what, errno);
        return Result::Ok();
    }

    Result Remove(const std::string& name) override
    {
        return AtParent(name, [&](int dir, const char* leaf) {
            return unlinkat(dir, leaf, 0) == 0 ? Result::Ok() : IoError("cannot remove", Describe(name), errno);
        });
    }

    Result MakeDirectory(const std::string& name, bool ownerOnly) override
    {
        return AtParent(name, [&](int dir, const char* leaf) {
            return mkdirat(dir, leaf, ownerOnly ? 0700 : 0755) == 0
                       ? Result::Ok()
                       : IoError("cannot create the directory", Describe(name), errno);
        });
    }

    Result RemoveDirectory(const std::string& name) override
    {
        if (auto held = held_.find(name); held != held_.end()) {
            // Only the directory held goes, and only while its name is still its own.
            struct stat mine, named;
            if (fstat(held->second.get(), &mine) != 0 ||
                fstatat(root_.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || mine.st_ino != named.st_ino ||
                mine.st_dev != named.st_dev)
                return Fail(Status::kIoError, Describe(name) + " is no longer the directory the update made");
            if (unlinkat(root_.get(), name.c_str(), AT_REMOVEDIR) != 0)
                return IoError("cannot remove the directory", Describe(name), errno);
            held_.erase(held);
            return Result::Ok();
        }
        // AT_REMOVEDIR refuses a link (ENOTDIR): it removes only a directory itself.
        return AtParent(name, [&](int dir, const char* leaf) {
            return unlinkat(dir, leaf, AT_REMOVEDIR) == 0
                       ? Result::Ok()
                       : IoError("cannot remove the directory", Describe(name), errno);
        });
    }

    Result CopyAttributes(const std::string& from, const std::string& to) override
    {
        Fd fromDir, toDir, target;
        std::string fromLeaf, toLeaf;
        Result r = ExistingParent(from, &fromDir, &fromLeaf);
        if (!r.ok() || !(r = ExistingParent(to, &toDir, &toLeaf)).ok())
            return r;
        struct stat st;
        if (fstatat(fromDir.get(), fromLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return IoError("cannot look at", Describe(from), errno);
        if (!(r = OpenPlainFile(toDir.get(), toLeaf.c_str(), O_NOFOLLOW, Describe(to), &target)).ok())
            return r;
        return GiveOwnerAndMode(target.get(), st.st_uid, st.st_gid, st.st_mode & 07777, Describe(to));
    }

    Result RestoreAttributes(const std::string& name, const FileInfo& like) override
    {
        Fd fd;
        Result r = OpenDirectory(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, &fd);
        if (!r.ok())
            return r;
        return GiveOwnerAndMode(fd.get(), like.owner, like.group, like.mode & 07777, Describe(name));
    }

    Result Hold(const std::string& name) override
    {
        if (name.empty() || name.find('/') != std::string::npos)
            return Fail(Status::kIoError, "not a name at the top of the directory: " + name);
        Fd fd(openat(root_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
            return IoError("cannot open", Describe(name), errno);
        if (InfoOf(st).foreign)
            return Fail(Status::kIoError, Describe(name) + " belongs to another user, or others may write in it");
        held_[name] = std::move(fd);
        return Result::Ok();
    }

    Result Sync(const std::string& name) override
    {
        Fd fd;
        Result r = OpenDirectory(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, &fd);
        if (!r.ok())
            return r;
        return fsync(fd.get()) == 0 ? Result::Ok() : IoError("cannot flush", Describe(name), errno);
    }

    Result Lock(LockMode mode, bool* taken) override
    {
        // A file only this user may open: whoever may only read the directory cannot hold it.
        // Whoever locks first makes it, and the last to let go removes it; a check in a directory
        // it may not write uses the lock when it is there and goes without when it is not.
        *taken = false;
        const bool exclusive = mode == LockMode::kExclusive;
        for (int attempt = 0; attempt < 10; ++attempt) {
            Fd fd(openat(root_.get(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (fd.get() < 0 && !exclusive && (errno == EACCES || errno == EPERM || errno == EROFS)) {
                fd = Fd(openat(root_.get(), kLockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
                if (fd.get() < 0 && (errno == ENOENT || errno == EACCES || errno == EPERM)) {
                    *taken = true;  // no update of this user can run here, or the lock is not ours to take
                    return Result::Ok();
                }
            }
            if (fd.get() < 0 && (errno == ELOOP || errno == EACCES || errno == EPERM))
                return Fail(Status::kInterrupted, Describe(kLockName) +
                                                      " is not a lock this user's update made (a link, or a file of "
                                                      "another user's); remove it by hand");
            if (fd.get() < 0)
                return IoError("cannot open the update's lock", Describe(kLockName), errno);
            struct stat st;
            if (fstat(fd.get(), &st) != 0)
                return IoError("cannot look at", Describe(kLockName), errno);
            if (!S_ISREG(st.st_mode) || InfoOf(st).foreign || (st.st_mode & 077) != 0)
                return Fail(Status::kInterrupted,
                            Describe(kLockName) + " is not a lock this user's update made; remove it by hand");
            int rc;
            while ((rc = flock(fd.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB)) != 0 && errno == EINTR) {
            }
            if (rc != 0) {
                if (errno == EWOULDBLOCK)
                    return Result::Ok();
                return IoError("cannot lock", Describe(kLockName), errno);
            }
            // The lock counts only on the file that has the name now: an update that ended may
            // have removed the one opened, and another begun with a new one.
            if (NamesLock(fd.get())) {
                lock_ = std::move(fd);
                *taken = true;
                return Result::Ok();
            }
        }
        return Fail(Status::kInterrupted, "the update's lock of " + path_ + " keeps changing hands");
    }

    // Whether the lock's name leads to the file open on fd.
    bool NamesLock(int fd) const
    {
        struct stat named, held;
        return fstat(fd, &held) == 0 && fstatat(root_.get(), kLockName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
               named.st_ino == held.st_ino && named.st_dev == held.st_dev;
    }

    ~PosixTree() override
    {
        // The last holder removes the lock while it holds it alone; one left behind (a holder
        // killed, two lookers letting go at once) is taken over by the next.
        if (lock_.get() >= 0 && flock(lock_.get(), LOCK_EX | LOCK_NB) == 0 && NamesLock(lock_.get()))
            (void)unlinkat(root_.get(), kLockName, 0);
    }

    Result FreeSpace(std::uint64_t* bytes) override
    {
        struct statvfs st;
        if (fstatvfs(root_.get(), &st) != 0)
            return IoError("cannot find the free space of", path_, errno);
        *bytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
        return Result::Ok();
    }

private:
    // Opens, part by part from the top, the directory that holds name's last part, and gives that
    // part. A missing part on the way sets *missing; a link or a file on the way is an error.
    Result Parent(const std::string& name, Fd* dir, std::string* leaf, bool* missing)
    {
        *missing = false;
        if (name.empty() || name.front() == '/' || name.back() == '/')
            return Fail(Status::kIoError, "not a name in the directory: " + name);
        // Below a directory held, from what was held, not from what has its name now.
        std::size_t pos = 0;
        int start = root_.get();
        auto held = held_.find(name.substr(0, name.find('/')));
        if (held != held_.end() && name.find('/') != std::string::npos) {
            start = held->second.get();
            pos = name.find('/') + 1;
        }
        Fd current(dup(start));
        if (current.get() < 0)
            return IoError("cannot open", path_, errno);
        for (std::size_t slash = name.find('/', pos); slash != std::string::npos; slash = name.find('/', pos)) {
            std::string part = name.substr(pos, slash - pos);
            if (part.empty() || part == "." || part == "..")
                return Fail(Status::kIoError, "not a name in the directory: " + name);
            Fd next(openat(current.get(), part.c_str(), kWalkFlags));
            if (next.get() < 0) {
                int err = errno;
                std::string reached = Describe(name.substr(0, slash));
                if (err == ENOENT) {
                    *missing = true;
                    return Result::Ok();
                }
                struct stat st;
                if (err == ELOOP ||
                    (err == ENOTDIR && fstatat(current.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISLNK(st.st_mode)))
                    return Fail(Status::kIoError, reached + " is a link, which is not followed");
                if (err == ENOTDIR) {
                    *missing = true;  // a file where a directory would be: nothing below it
                    return Result::Ok();
                }
                return IoError("cannot open", reached, err);
            }
            current = std::move(next);
            pos = slash + 1;
        }
        *leaf = name.substr(pos);
        if (*leaf == "." || *leaf == "..")
            return Fail(Status::kIoError, "not a name in the directory: " + name);
        *dir = std::move(current);
        return Result::Ok();
    }

    // Runs act with the directory that holds name's last part, and that part.
    template <typename Act>
    Result AtParent(const std::string& name, Act act)
    {
        Fd dir;
        std::string leaf;
        Result r = ExistingParent(name, &dir, &leaf);
        return r.ok() ? act(dir.get(), leaf.c_str()) : r;
    }

    // As Parent, for an operation that needs the parent to be there.
    Result ExistingParent(const std::string& name, Fd* dir, std::string* leaf)
    {
        bool missing = false;
        Result r = Parent(name, dir, leaf, &missing);
        if (r.ok() && missing)
            return IoError("cannot reach", Describe(name), ENOENT);
        return r;
    }

    // Opens the directory name itself ("" is the top) with flags, which must hold O_NOFOLLOW.
    Result OpenDirectory(const std::string& name, int flags, Fd* out)
    {
        auto held = held_.find(name);
        if (name.empty() || held != held_.end()) {
            Fd fd(openat(name.empty() ? root_.get() : held->second.get(), ".", flags));
            if (fd.get() < 0)
                return IoError("cannot open", Describe(name), errno);
            *out = std::move(fd);
            return Result::Ok();
        }
        Fd dir;
        std::string leaf;
        Result r = ExistingParent(name, &dir, &leaf);
        if (!r.ok())
            return r;
        Fd fd(openat(dir.get(), leaf.c_str(), flags));
        if (fd.get() < 0) {
            if (errno == ELOOP)
                return Fail(Status::kIoError, Describe(name) + " is a link, which is not followed");
            return IoError("cannot open", Describe(name), errno);
        }
        *out = std::move(fd);
        return Result::Ok();
    }

    Fd root_;
    std::string path_;
    std::map<std::string, Fd> held_;
    Fd lock_;
};

// The directory part of a path ("." when there is none) and its last part.
void SplitPath(const std::string& path, std::string* dir, std::string* leaf)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *leaf = path;
    } else {
        *dir = slash == 0 ? "/" : path.substr(0, slash);
        *leaf = path.substr(slash + 1);
    }
}

class PosixFileSystem : public FileSystem {
public:
    Result OpenTree(const std::string& path, std::unique_ptr<Tree>* tree) override
    {
        Fd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return Fail(Status::kBadCommandLine, "not a directory: " + path);
            return IoError("cannot open", path, errno);
        }
        tree->reset(new PosixTree(std::move(fd), path));
        return Result::Ok();
    }

    Result OpenFile(const std::string& path, std::unique_ptr<InputFile>* file) override
    {
        Fd fd;
        Result r = OpenPlainFile(AT_FDCWD, path.c_str(), 0, path, &fd);
        if (!r.ok())
            return r;
        file->reset(new PosixInput(std::move(fd), path));
        return Result::Ok();
    }

    Result WriteNewFile(const std::string& path, const std::uint8_t* data, std::size_t size, bool ownerOnly,
                        bool* existed) override
    {
        *existed = false;
        std::string dirPath, leaf;
        SplitPath(path, &dirPath, &leaf);
        if (leaf.empty())
            return Fail(Status::kIoError, "not a file name: " + path);
        Fd dir(open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() < 0)
            return IoError("cannot open", dirPath, errno);
        struct stat st;
        if (fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            *existed = true;
            return Fail(Status::kIoError, path + " exists already");
        }
        // A name of its own beside the target, never one that is there already.
        std::string part;
        Fd fd;
        for (int attempt = 0; fd.get() < 0; ++attempt) {
            part = "." + leaf + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".part";
            fd = Fd(openat(dir.get(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           ownerOnly ? 0600 : 0644));
            if (fd.get() < 0 && (errno != EEXIST || attempt > 100))
                return IoError("cannot create", path, errno);
        }
        PosixOutput out(std::move(fd), path);
        Result r = WriteFlushClose(out, data, size);
        // A hard link gives the name only when nothing has it; where the file system has none,
        // a rename that refuses a target does the same.
        if (r.ok() && linkat(dir.get(), part.c_str(), dir.get(), leaf.c_str(), 0) != 0) {
            int err = errno;
            if (err == EEXIST) {
                *existed = true;
                r = Fail(Status::kIoError, path + " exists already");
            } else {
#ifdef RENAME_NOREPLACE
                if (renameat2(dir.get(), part.c_str(), dir.get(), leaf.c_str(), RENAME_NOREPLACE) != 0)
                    r = IoError("cannot name", path, errno == EEXIST ? (*existed = true, EEXIST) : errno);
#else
                r = IoError("cannot name", path, err);
#endif
            }
        }
        // The temporary name goes either way (after a rename it is gone already).
        if (unlinkat(dir.get(), part.c_str(), 0) != 0 && errno != ENOENT && r.ok())
            r = IoError("cannot remove", dirPath + "/" + part, errno);
        if (r.ok() && fsync(dir.get()) != 0)
            r = IoError("cannot flush", dirPath, errno);
        return r;
    }
};

}  // namespace

FileSystem& NativeFileSystem()
{
    static PosixFileSystem fs;
    return fs;
}

}  // namespace qvpatch
