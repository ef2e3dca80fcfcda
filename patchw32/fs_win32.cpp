// The patch engine's file system on Windows: UTF-8 paths turned into wide-character paths for the
// wide-character calls, so that every name of a patch can be written whatever the code page.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "fs.h"

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
    default: break;
    }
    std::string text = what + " " + path + ": " + (*reason ? reason : "error " + std::to_string(error));
    return Fail(Status::kIoError, text);
}

class Win32Input : public InputFile {
public:
    Win32Input(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
    ~Win32Input() override { CloseHandle(h_); }
    Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) override
    {
        DWORD n = 0;
        DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!ReadFile(h_, buffer, want, &n, nullptr))
            return IoError("cannot read", path_, GetLastError());
        *got = n;
        return Result::Ok();
    }

private:
    HANDLE h_;
    std::string path_;
};

class Win32Output : public OutputFile {
public:
    Win32Output(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
    ~Win32Output() override
    {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    Result Write(const std::uint8_t* data, std::size_t size) override
    {
        while (size > 0) {
            DWORD n = 0;
            DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            if (!WriteFile(h_, data, want, &n, nullptr) || n == 0)
                return IoError("cannot write", path_, GetLastError());
            data += n;
            size -= n;
        }
        return Result::Ok();
    }
    Result Sync() override { return FlushFileBuffers(h_) ? Result::Ok() : IoError("cannot flush", path_, GetLastError()); }
    Result Close() override
    {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h == INVALID_HANDLE_VALUE || CloseHandle(h) ? Result::Ok() : IoError("cannot close", path_, GetLastError());
    }

private:
    HANDLE h_;
    std::string path_;
};

class Win32FileSystem : public FileSystem {
public:
    std::string Join(const std::string& dir, const std::string& name) const override
    {
        std::string native = name;
        for (char& c : native)
            if (c == '/')
                c = '\\';
        if (dir.empty())
            return native;
        return dir.back() == '\\' || dir.back() == '/' ? dir + native : dir + "\\" + native;
    }

    Result Stat(const std::string& path, FileInfo* info) override
    {
        *info = FileInfo{};
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return Result::Ok();
            return IoError("cannot look at", path, error);
        }
        info->exists = true;
        info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        info->isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        info->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return Result::Ok();
    }

    Result List(const std::string& dir, std::vector<DirEntry>* entries) override
    {
        entries->clear();
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(Wide(Join(dir, "*")).c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return IoError("cannot list", dir, GetLastError());
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            entries->push_back(DirEntry{Utf8(name), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
        } while (FindNextFileW(find, &data));
        FindClose(find);
        return Result::Ok();
    }

    Result OpenRead(const std::string& path, std::unique_ptr<InputFile>* file) override
    {
        HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return IoError("cannot open", path, GetLastError());
        file->reset(new Win32Input(h, path));
        return Result::Ok();
    }

    Result Create(const std::string& path, std::unique_ptr<OutputFile>* file) override
    {
        HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return IoError("cannot create", path, GetLastError());
        file->reset(new Win32Output(h, path));
        return Result::Ok();
    }

    Result Rename(const std::string& from, const std::string& to) override
    {
        if (!MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_WRITE_THROUGH))
            return IoError("cannot rename", from + " to " + to, GetLastError());
        return Result::Ok();
    }

    Result Remove(const std::string& path) override
    {
        std::wstring wide = Wide(path);
        DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if (!DeleteFileW(wide.c_str()))
            return IoError("cannot remove", path, GetLastError());
        return Result::Ok();
    }

    Result MakeDirectory(const std::string& path) override
    {
        return CreateDirectoryW(Wide(path).c_str(), nullptr) ? Result::Ok()
                                                              : IoError("cannot create the directory", path, GetLastError());
    }

    Result RemoveDirectory(const std::string& path) override
    {
        return RemoveDirectoryW(Wide(path).c_str()) ? Result::Ok()
                                                     : IoError("cannot remove the directory", path, GetLastError());
    }

    Result CopyAttributes(const std::string& from, const std::string& to) override
    {
        DWORD attributes = GetFileAttributesW(Wide(from).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return IoError("cannot look at", from, GetLastError());
        const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        DWORD wanted = attributes & kept;
        if (!SetFileAttributesW(Wide(to).c_str(), wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted))
            return IoError("cannot set the attributes of", to, GetLastError());
        return Result::Ok();
    }

    // Renames with MOVEFILE_WRITE_THROUGH are durable when they return.
    Result SyncDirectory(const std::string&) override { return Result::Ok(); }
};

}  // namespace

FileSystem& NativeFileSystem()
{
    static Win32FileSystem fs;
    return fs;
}

}  // namespace qvpatch
