// The patch engine's file system on Windows: UTF-8 names turned into wide-character paths below the
// tree's final path (\\?\ form, so long paths work), for the wide-character calls.
//
// A tree holds its top open without FILE_SHARE_DELETE, so that it cannot be renamed or removed
// while the tree is open. Each operation opens every directory on the way to its name the same
// way, checking each for a reparse point, and holds them until it is done: nobody can then rename
// one of them or put a junction in its place, and the path resolves to what was checked.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <aclapi.h>

#include <atomic>
#include <map>
#include <string>

#include "qvpatch/file_system.h"

namespace qvpatch {

namespace {

std::wstring Wide(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

Result IoError(const std::string& what, const std::string& path, DWORD error)
{
    const char* reason = "";
    switch (error) {
    case ERROR_ACCESS_DENIED: reason = "access denied"; break;
    case ERROR_SHARING_VIOLATION: reason = "the file is in use"; break;
    case ERROR_LOCK_VIOLATION: reason = "the file is locked"; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: reason = "the disk is full"; break;
    case ERROR_FILE_NOT_FOUND: reason = "file not found"; break;
    case ERROR_PATH_NOT_FOUND: reason = "path not found"; break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: reason = "it exists already"; break;
    case ERROR_DIR_NOT_EMPTY: reason = "the directory is not empty"; break;
    case ERROR_DIRECTORY: reason = "not a directory"; break;
    default: break;
    }
    std::string text = what + " " + path + ": " + (*reason ? reason : "error " + std::to_string(error));
    return Fail(Status::kIoError, text);
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// A handle, closed when it goes.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& other) noexcept : h_(other.release()) {}
    Handle& operator=(Handle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        if (h_ != INVALID_HANDLE_VALUE)
            (void)CloseHandle(h_);  // nothing is written through these handles but by Close()
        h_ = h;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// What an open handle is. Reparse points are told by the handle's attribute and tag, and by the
// path's attributes too: some systems report a link through one of them only.
Result InfoOfHandle(HANDLE h, const std::string& path, FileInfo* info)
{
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle(h, &data))
        return IoError("cannot look at", path, GetLastError());
    *info = FileInfo{};
    info->exists = true;
    info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        info->isLink = true;
    info->isFile = !info->isDirectory && !info->isLink && GetFileType(h) == FILE_TYPE_DISK;
    info->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    info->id = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    info->id ^= static_cast<std::uint64_t>(data.dwVolumeSerialNumber) << 32;
    info->stamp = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                            data.ftLastWriteTime.dwLowDateTime);
    info->mode = data.dwFileAttributes;
    return Result::Ok();
}

// Whether the process's user (or the owner it gives what it creates, an administrators' group for
// an elevated process) owns what the handle (opened with READ_CONTROL) is. A system that cannot
// tell counts as owning it.
bool OwnedByThisUser(HANDLE h)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return true;
    bool ours = true;
    HANDLE token = nullptr;
    if (owner != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        union {
            TOKEN_USER user;
            TOKEN_OWNER tokenOwner;
            BYTE space[256];
        } buffer;
        DWORD size = 0;
        ours = false;
        if (GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &size) &&
            EqualSid(buffer.user.User.Sid, owner))
            ours = true;
        if (!ours && GetTokenInformation(token, TokenOwner, &buffer, sizeof buffer, &size) &&
            EqualSid(buffer.tokenOwner.Owner, owner))
            ours = true;
        CloseHandle(token);
    }
    LocalFree(descriptor);
    return ours;
}

// The attributes a replaced file or a directory made again keeps.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Those of attributes, as a value to set (none of them is FILE_ATTRIBUTE_NORMAL).
DWORD KeptAttributes(DWORD attributes)
{
    return (attributes & kKeptAttributes) == 0 ? FILE_ATTRIBUTE_NORMAL : (attributes & kKeptAttributes);
}

bool PathIsReparsePoint(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

class Win32Input : public InputFile {
public:
    Win32Input(Handle h, std::string path) : h_(std::move(h)), path_(std::move(path)) {}
    Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        DWORD n = 0;
        DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!ReadFile(h_.get(), buffer, want, &n, nullptr))
            return IoError("cannot read", path_, GetLastError());
        *got = n;
        return Result::Ok();
    }
    Result ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        // On a handle opened for synchronous use the offset is where this read starts; the file
        // pointer is left after it.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD n = 0;
        DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        *got = 0;
        if (!ReadFile(h_.get(), buffer, want, &n, &at)) {
            DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF)
                return Result::Ok();
            return IoError("cannot read", path_, error);
        }
        *got = n;
        return Result::Ok();
    }
    Result Info(FileInfo* info) override { return InfoOfHandle(h_.get(), path_, info); }

private:
    Handle h_;
    std::string path_;
};

class Win32Output : public OutputFile {
public:
    Win32Output(Handle h, std::string path, bool readable = false)
        : h_(std::move(h)), path_(std::move(path)), readable_(readable)
    {
    }
    // Each write says where it goes, as each read back does, so that neither depends on the
    // handle's own position.
    Result Write(const std::uint8_t* data, std::size_t size) override
    {
        while (size > 0) {
            DWORD n = 0;
            DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            OVERLAPPED at = At(written_);
            if (!WriteFile(h_.get(), data, want, &n, &at) || n == 0)
                return IoError("cannot write", path_, GetLastError());
            data += n;
            size -= n;
            written_ += n;
        }
        return Result::Ok();
    }
    bool CanReadBack() const override { return readable_; }
    Result Info(FileInfo* info) override { return InfoOfHandle(h_.get(), path_, info); }
    Result ReadBack(std::uint64_t offset, std::uint8_t* out, std::size_t size) override
    {
        const std::uint64_t written = written_;
        if (offset > written || size > written - offset)
            return Fail(Status::kIoError, "cannot read back " + path_ + " past what was written");
        while (size > 0) {
            DWORD n = 0;
            DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            OVERLAPPED at = At(offset);
            if (!ReadFile(h_.get(), out, want, &n, &at))
                return IoError("cannot read back", path_, GetLastError());
            if (n == 0)
                return Fail(Status::kIoError, "cannot read back " + path_ + ": it was cut short while it was written");
            out += n;
            offset += n;
            size -= n;
        }
        return Result::Ok();
    }
    Result Sync() override
    {
        return FlushFileBuffers(h_.get()) ? Result::Ok() : IoError("cannot flush", path_, GetLastError());
    }
    Result Close() override
    {
        HANDLE h = h_.release();
        return h == INVALID_HANDLE_VALUE || CloseHandle(h) ? Result::Ok()
                                                           : IoError("cannot close", path_, GetLastError());
    }

private:
    static OVERLAPPED At(std::uint64_t offset)
    {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        return at;
    }

    Handle h_;
    std::string path_;
    bool readable_;
    std::atomic<std::uint64_t> written_{0};  // read by ReadBack on another thread while a Write goes on
};

// Opens a plain file for reading; a directory, link, pipe or device is refused.
Result OpenPlainFile(const std::wstring& path, DWORD flags, const std::string& shown, Handle* out)
{
    Handle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN | flags, nullptr));
    if (!h.valid())
        return IoError("cannot open", shown, GetLastError());
    FileInfo info;
    Result r = InfoOfHandle(h.get(), shown, &info);
    if (!r.ok())
        return r;
    if (info.isLink)
        return Fail(Status::kIoError, "cannot open " + shown + ": it is a link, which is not followed");
    if (!info.isFile)
        return Fail(Status::kIoError, "cannot open " + shown + ": not a plain file");
    *out = std::move(h);
    return Result::Ok();
}

// The directories on the way to a name, held open for one operation.
using Pins = std::vector<Handle>;

class Win32Tree : public Tree {
public:
    Win32Tree(Handle root, std::wstring base, std::string shown)
        : root_(std::move(root)), base_(std::move(base)), shown_(std::move(shown))
    {
    }

    std::string Describe(const std::string& name) const override
    {
        if (name.empty())
            return shown_;
        std::string native = name;
        for (char& c : native)
            if (c == '/')
                c = '\\';
        return !shown_.empty() && (shown_.back() == '\\' || shown_.back() == '/') ? shown_ + native
                                                                                  : shown_ + "\\" + native;
    }

    Result Stat(const std::string& name, FileInfo* info) override
    {
        *info = FileInfo{};
        if (name.empty())
            return InfoOfHandle(root_.get(), shown_, info);
        Pins pins;
        bool missing = false;
        Result r = Walk(name, &pins, &missing);
        if (!r.ok() || missing)
            return r;
        std::wstring path = Full(name);
        Handle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!h.valid()) {
            DWORD error = GetLastError();
            if (IsMissing(error))
                return Result::Ok();
            return IoError("cannot look at", Describe(name), error);
        }
        if (!(r = InfoOfHandle(h.get(), Describe(name), info)).ok())
            return r;
        info->foreign = !OwnedByThisUser(h.get());
        if (PathIsReparsePoint(path)) {
            info->isLink = true;
            info->isFile = false;
        }
        return Result::Ok();
    }

    Result List(const std::string& name, std::vector<DirEntry>* entries) override
    {
        entries->clear();
        Pins pins;
        Result r = name.empty() ? Result::Ok() : WalkAll(name, &pins);
        if (!r.ok())
            return r;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((name.empty() ? base_ + L"\\*" : Full(name) + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return IoError("cannot list", Describe(name), GetLastError());
        do {
            std::wstring entry = data.cFileName;
            if (entry == L"." || entry == L"..")
                continue;
            entries->push_back(DirEntry{Utf8(entry), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
        } while (FindNextFileW(find, &data));
        DWORD error = GetLastError();
        FindClose(find);
        return error == ERROR_NO_MORE_FILES ? Result::Ok() : IoError("cannot list", Describe(name), error);
    }

    Result OpenRead(const std::string& name, std::unique_ptr<InputFile>* file) override
    {
        return AtPinned(name, [&](const std::wstring& path) {
            Handle h;
            Result r = OpenPlainFile(path, FILE_FLAG_OPEN_REPARSE_POINT, Describe(name), &h);
            if (r.ok())
                file->reset(new Win32Input(std::move(h), Describe(name)));
            return r;
        });
    }

    Result Create(const std::string& name, std::unique_ptr<OutputFile>* file) override
    {
        return AtPinned(name, [&](const std::wstring& path) {
            Handle h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!h.valid())
                return IoError("cannot create", Describe(name), GetLastError());
            file->reset(new Win32Output(std::move(h), Describe(name), true));
            return Result::Ok();
        });
    }

    Result Rename(const std::string& from, const std::string& to) override
    {
        Pins pins;
        Result r = WalkToParent(from, &pins);
        if (!r.ok() || !(r = WalkToParent(to, &pins)).ok())
            return r;
        // Without MOVEFILE_REPLACE_EXISTING an existing target is refused; a link at from is
        // moved itself.
        if (!MoveFileExW(Full(from).c_str(), Full(to).c_str(), MOVEFILE_WRITE_THROUGH))
            return IoError("cannot rename", Describe(from) + " to " + Describe(to), GetLastError());
        return Result::Ok();
    }

    Result Remove(const std::string& name) override
    {
        return AtPinned(name, [&](const std::wstring& path) {
            DWORD attributes = GetFileAttributesW(path.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
                !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                (void)SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);  // DeleteFileW tells
            // DeleteFileW removes a link itself, never what it points at.
            return DeleteFileW(path.c_str()) ? Result::Ok() : IoError("cannot remove", Describe(name), GetLastError());
        });
    }

    // The work area inherits the directory's permissions: whoever may write there may anyway.
    Result MakeDirectory(const std::string& name, bool) override
    {
        return AtPinned(name, [&](const std::wstring& path) {
            return CreateDirectoryW(path.c_str(), nullptr)
                       ? Result::Ok()
                       : IoError("cannot create the directory", Describe(name), GetLastError());
        });
    }

    Result RemoveDirectory(const std::string& name) override
    {
        held_.erase(name);  // a directory held is let go to be removed
        return AtPinned(name, [&](const std::wstring& path) {
            if (PathIsReparsePoint(path))
                return Fail(Status::kIoError, "cannot remove the directory " + Describe(name) + ": it is a link");
            return RemoveDirectoryW(path.c_str())
                       ? Result::Ok()
                       : IoError("cannot remove the directory", Describe(name), GetLastError());
        });
    }

    Result CopyAttributes(const std::string& from, const std::string& to) override
    {
        Pins pins;
        Result r = WalkToParent(from, &pins);
        if (!r.ok() || !(r = WalkToParent(to, &pins)).ok())
            return r;
        DWORD attributes = GetFileAttributesW(Full(from).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return IoError("cannot look at", Describe(from), GetLastError());
        Handle target(CreateFileW(Full(to).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!target.valid())
            return IoError("cannot open", Describe(to), GetLastError());
        FileInfo info;
        if (!(r = InfoOfHandle(target.get(), Describe(to), &info)).ok())
            return r;
        if (!info.isFile)
            return Fail(Status::kIoError, "cannot set the attributes of " + Describe(to) + ": not a plain file");
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = KeptAttributes(attributes);
        if (!SetFileInformationByHandle(target.get(), FileBasicInfo, &basic, sizeof basic))
            return IoError("cannot set the attributes of", Describe(to), GetLastError());
        return Result::Ok();
    }

    Result RestoreAttributes(const std::string& name, const FileInfo& like) override
    {
        return AtPinned(name, [&](const std::wstring& path) {
            return SetFileAttributesW(path.c_str(), KeptAttributes(like.mode))
                       ? Result::Ok()
                       : IoError("cannot set the attributes of", Describe(name), GetLastError());
        });
    }

    Result Hold(const std::string& name) override
    {
        // Held open without FILE_SHARE_DELETE, nobody can rename or remove it meanwhile, so its
        // name keeps reaching it.
        if (name.empty() || name.find('/') != std::string::npos)
            return Fail(Status::kIoError, "not a name at the top of the directory: " + name);
        std::wstring path = Full(name);
        Handle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
        if (!h.valid())
            return IoError("cannot open", Describe(name), GetLastError());
        FileInfo info;
        Result r = InfoOfHandle(h.get(), Describe(name), &info);
        if (!r.ok())
            return r;
        if (!info.isDirectory || info.isLink || PathIsReparsePoint(path) || !OwnedByThisUser(h.get()))
            return Fail(Status::kIoError, Describe(name) + " is not a directory of this user's");
        held_[name] = std::move(h);
        return Result::Ok();
    }

    // Renames with MOVEFILE_WRITE_THROUGH are durable when they return.
    Result Sync(const std::string&) override { return Result::Ok(); }

    Result Lock(LockMode mode, bool* taken) override
    {
        // A file in the tree, held open, that goes when its last holder ends, however it ends.
        // Lookers open it for reading and share it with other lookers; an update opens it for
        // writing too and shares it with nobody, so the two exclude each other.
        *taken = false;
        if (lock_.valid()) {
            *taken = true;
            return Result::Ok();
        }
        const bool exclusive = mode == LockMode::kExclusive;
        Handle h(CreateFileW((base_ + L"\\.qvpatch.tmp.lock").c_str(),
                             exclusive ? GENERIC_READ | GENERIC_WRITE | DELETE : GENERIC_READ | DELETE,
                             exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr));
        if (!h.valid()) {
            DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
                return Result::Ok();
            // A tree that cannot be written can still be looked at.
            if (mode == LockMode::kShared && (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT)) {
                *taken = true;
                return Result::Ok();
            }
            return IoError("cannot lock", shown_, error);
        }
        lock_ = std::move(h);
        *taken = true;
        return Result::Ok();
    }

    Result FreeSpace(std::uint64_t* bytes) override
    {
        ULARGE_INTEGER available;
        if (!GetDiskFreeSpaceExW((base_ + L"\\").c_str(), &available, nullptr, nullptr))
            return IoError("cannot find the free space of", shown_, GetLastError());
        *bytes = available.QuadPart;
        return Result::Ok();
    }

private:
    std::wstring Full(const std::string& name) const
    {
        std::wstring wide = Wide(name);
        for (wchar_t& c : wide)
            if (c == L'/')
                c = L'\\';
        return base_ + L"\\" + wide;
    }

    // Opens and checks each directory on the way to name's last part, holding them in pins. A
    // missing one sets *missing (when missing is given; otherwise it is an error).
    Result Walk(const std::string& name, Pins* pins, bool* missing)
    {
        if (missing)
            *missing = false;
        if (name.empty() || name.front() == '/' || name.back() == '/')
            return Fail(Status::kIoError, "not a name in the directory: " + name);
        for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            std::string part = name.substr(0, slash);
            Result r = PinDirectory(part, pins, missing);
            if (!r.ok() || (missing && *missing))
                return r;
        }
        return Result::Ok();
    }

    Result WalkToParent(const std::string& name, Pins* pins) { return Walk(name, pins, nullptr); }

    // Runs act with name's full path while the directories on the way to it are held.
    template <typename Act>
    Result AtPinned(const std::string& name, Act act)
    {
        Pins pins;
        Result r = WalkToParent(name, &pins);
        return r.ok() ? act(Full(name)) : r;
    }

    // The parents and the directory name itself.
    Result WalkAll(const std::string& name, Pins* pins)
    {
        Result r = Walk(name, pins, nullptr);
        return r.ok() ? PinDirectory(name, pins, nullptr) : r;
    }

    Result PinDirectory(const std::string& part, Pins* pins, bool* missing)
    {
        std::wstring path = Full(part);
        Handle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!h.valid()) {
            DWORD error = GetLastError();
            if (missing && (IsMissing(error) || error == ERROR_DIRECTORY)) {
                *missing = true;
                return Result::Ok();
            }
            return IoError("cannot open", Describe(part), error);
        }
        FileInfo info;
        Result r = InfoOfHandle(h.get(), Describe(part), &info);
        if (!r.ok())
            return r;
        if (info.isLink || PathIsReparsePoint(path))
            return Fail(Status::kIoError, Describe(part) + " is a link, which is not followed");
        if (!info.isDirectory) {
            if (missing) {
                *missing = true;  // a file where a directory would be: nothing below it
                return Result::Ok();
            }
            return IoError("cannot open", Describe(part), ERROR_DIRECTORY);
        }
        pins->push_back(std::move(h));
        return Result::Ok();
    }

    Handle root_;
    std::wstring base_;  // the top's final path, \\?\ form
    std::string shown_;  // the top as the user named it
    Handle lock_;
    std::map<std::string, Handle> held_;
};

class Win32FileSystem : public FileSystem {
public:
    Result OpenTree(const std::string& path, std::unique_ptr<Tree>* tree) override
    {
        std::wstring wide = Wide(path);
        Handle root(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!root.valid()) {
            DWORD error = GetLastError();
            if (IsMissing(error) || error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY)
                return Fail(Status::kBadCommandLine, "not a directory: " + path);
            return IoError("cannot open", path, error);
        }
        FileInfo info;
        Result r = InfoOfHandle(root.get(), path, &info);
        if (!r.ok())
            return r;
        if (!info.isDirectory)
            return Fail(Status::kBadCommandLine, "not a directory: " + path);
        // The path of what was opened, links given in path resolved.
        std::wstring base(32768, L'\0');
        DWORD n = GetFinalPathNameByHandleW(root.get(), base.data(), static_cast<DWORD>(base.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0 || n >= base.size()) {
            n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(base.size()), base.data(), nullptr);
            if (n == 0 || n >= base.size())
                return IoError("cannot find the path of", path, GetLastError());
            base.resize(n);
            if (base.compare(0, 4, L"\\\\?\\") != 0)
                base = (base.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC" + base.substr(1) : L"\\\\?\\" + base);
        } else {
            base.resize(n);
        }
        while (base.size() > 7 && base.back() == L'\\')
            base.pop_back();
        tree->reset(new Win32Tree(std::move(root), std::move(base), path));
        return Result::Ok();
    }

    Result OpenFile(const std::string& path, std::unique_ptr<InputFile>* file) override
    {
        Handle h;
        Result r = OpenPlainFile(Wide(path), 0, path, &h);
        if (!r.ok())
            return r;
        file->reset(new Win32Input(std::move(h), path));
        return Result::Ok();
    }

    Result WriteNewFile(const std::string& path, const std::uint8_t* data, std::size_t size, bool ownerOnly,
                        bool* existed) override
    {
        (void)ownerOnly;  // a new file takes the directory's inherited permissions
        *existed = GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
        if (*existed)
            return Fail(Status::kIoError, path + " exists already");
        std::wstring part;
        Handle h;
        for (int attempt = 0; !h.valid(); ++attempt) {
            part =
                Wide(path) + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".part";
            h = Handle(CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!h.valid() && (GetLastError() != ERROR_FILE_EXISTS || attempt > 100))
                return IoError("cannot create", path, GetLastError());
        }
        Win32Output out(std::move(h), path);
        Result r = WriteFlushClose(out, data, size);
        if (r.ok() && !MoveFileExW(part.c_str(), Wide(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
            DWORD error = GetLastError();
            *existed = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
            r = IoError("cannot name", path, error);
        }
        if (!r.ok())
            (void)DeleteFileW(part.c_str());  // the half-written file only; the failure is reported
        return r;
    }
};

}  // namespace

FileSystem& NativeFileSystem()
{
    static Win32FileSystem fs;
    return fs;
}

}  // namespace qvpatch
