// The setup stub's platform on Windows: the real calls, with 8-bit text in the system code page.
#include "setup_platform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The seam's operations share their names with Win32's text macros.
#undef GetCurrentDirectory
#undef SetCurrentDirectory
#undef GetProfileString
#undef WriteProfileString
#undef DeleteFile
#undef RemoveDirectory
#undef MessageBox

struct platform::FindState {
    HANDLE handle;
};

struct platform::FileState {
    HANDLE handle;
};

namespace platform {

namespace {

void Fill(const WIN32_FIND_DATAA& from, FindData* to)
{
    to->attributes = from.dwFileAttributes;
    lstrcpynA(to->name, from.cFileName, sizeof to->name);
}

class Win32Platform : public SetupPlatform {
public:
    char Separator() const override { return '\\'; }

    unsigned ModuleFileName(void* instance, char* buffer, unsigned size) override
    {
        if (size == 0)
            return 0;
        // A name that does not fit comes back cut, with the size as the result (and without a
        // terminator on older systems).
        DWORD n = GetModuleFileNameA(static_cast<HMODULE>(instance), buffer, size);
        buffer[size - 1] = '\0';
        return n >= size ? size : n;
    }

    unsigned GetCurrentDirectory(unsigned size, char* buffer) override { return GetCurrentDirectoryA(size, buffer); }

    bool SetCurrentDirectory(const char* path) override { return SetCurrentDirectoryA(path) != 0; }

    unsigned GetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                              unsigned size, const char* file) override
    {
        return GetPrivateProfileStringA(section, key, defaultValue, buffer, size, file);
    }

    bool WriteProfileString(const char* section, const char* key, const char* value, const char* file) override
    {
        return WritePrivateProfileStringA(section, key, value, file) != 0;
    }

    long QueryUserRegistryValue(const char* subKey, char* buffer, long* size) override
    {
        LONG length = *size;
        LONG status = RegQueryValueA(HKEY_CURRENT_USER, subKey, buffer, &length);
        *size = length;
        return status;
    }

    std::uint16_t UserDefaultLangID() override { return GetUserDefaultLangID(); }

    FindHandle FindFirst(const char* pattern, FindData* data) override
    {
        WIN32_FIND_DATAA found;
        HANDLE handle = FindFirstFileA(pattern, &found);
        if (handle == INVALID_HANDLE_VALUE)
            return nullptr;
        Fill(found, data);
        return new FindState{handle};
    }

    bool FindNext(FindHandle find, FindData* data) override
    {
        WIN32_FIND_DATAA found;
        if (find == nullptr || !FindNextFileA(find->handle, &found))
            return false;
        Fill(found, data);
        return true;
    }

    void FindClose(FindHandle find) override
    {
        if (find == nullptr)
            return;
        ::FindClose(find->handle);
        delete find;
    }

    FileHandle OpenRead(const char* path) override
    {
        HANDLE h =
            CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return h == INVALID_HANDLE_VALUE ? nullptr : new FileState{h};
    }

    FileHandle CreateWrite(const char* path) override
    {
        // Windows refuses to write a read-only file; so does this, where the system would not
        // (a Windows layer run by an administrator of another system).
        DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
            return nullptr;
        HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return h == INVALID_HANDLE_VALUE ? nullptr : new FileState{h};
    }

    long Read(FileHandle file, void* buffer, unsigned long count) override
    {
        DWORD n = 0;
        return ReadFile(file->handle, buffer, count, &n, nullptr) ? static_cast<long>(n) : -1;
    }

    long Write(FileHandle file, const void* buffer, unsigned long count) override
    {
        DWORD n = 0;
        if (!WriteFile(file->handle, buffer, count, &n, nullptr))
            return n > 0 ? static_cast<long>(n) : -1;
        return static_cast<long>(n);
    }

    bool Close(FileHandle file) override
    {
        if (file == nullptr)
            return false;
        bool ok = CloseHandle(file->handle) != 0;
        delete file;
        return ok;
    }

    void* Allocate(std::size_t bytes) override { return LocalAlloc(LMEM_FIXED, bytes); }
    void Free(void* block) override { LocalFree(block); }

    bool Rename(const char* from, const char* to) override { return MoveFileA(from, to) != 0; }
    bool DeleteFile(const char* path) override { return DeleteFileA(path) != 0; }

    long RemoveDirectory(const char* path) override
    {
        if (RemoveDirectoryA(path))
            return kErrorSuccess;
        return static_cast<long>(GetLastError());
    }

    unsigned StartProgram(const char* commandLine, int show) override { return WinExec(commandLine, show); }

    int MessageBox(const char* text, const char* caption, unsigned flags) override
    {
        return MessageBoxA(nullptr, text, caption, flags);
    }
};

}  // namespace

SetupPlatform& NativePlatform()
{
    static Win32Platform platform;
    return platform;
}

}  // namespace platform
