// The one seam between the setup stub's logic and the operating system. Every call the stub makes
// goes through it, with the Win32 semantics the stub relies on; each implementation (Win32, POSIX,
// and the recording fake of the tests) states its own choices where Win32 has no answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Attribute bits of a directory entry, with the Win32 values.
enum : std::uint32_t {
    kAttrReadOnly = 0x01,
    kAttrHidden = 0x02,
    kAttrSystem = 0x04,
    kAttrDirectory = 0x10,
    kAttrArchive = 0x20,
    kAttrNormal = 0x80,
};

// Error codes of RemoveDirectory and the registry query, with the Win32 values.
enum : long {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,
    kErrorPathNotFound = 3,
    kErrorAccessDenied = 5,
    kErrorMoreData = 234,
    kErrorDirNotEmpty = 145,
    kErrorSharingViolation = 32,
    kErrorOther = 31,
};

// A directory entry as a listing reports it.
struct FindData {
    std::uint32_t attributes = 0;
    char name[256] = {};
};

// Opaque handles; null means none.
struct FindState;
struct FileState;
using FindHandle = FindState*;
using FileHandle = FileState*;

// The lowest result of a start that succeeded (WinExec's results below it are its errors).
constexpr unsigned kFirstStarted = 32;

// Show mode of a started program: shown normally.
constexpr int kShowNormal = 1;
// Message box flags: OK button, error icon.
constexpr unsigned kMbIconErrorOk = 0x10;

class SetupPlatform {
public:
    virtual ~SetupPlatform() = default;

    // The separator between a directory and a name in this platform's paths ('\\' on Windows,
    // '/' elsewhere). Wherever the stub inserts or looks for a backslash, it uses this.
    virtual char Separator() const = 0;

    // GetModuleFileNameA: the full file name of the running program, cut to size - 1 characters
    // and terminated. Returns the number of characters stored when the name fits, size when it
    // was cut (the stored text is then not the name), 0 when the name is not available.
    virtual unsigned ModuleFileName(void* instance, char* buffer, unsigned size) = 0;

    // GetCurrentDirectoryA: the current directory, without a trailing separator except at a
    // root. Returns its length when it fits (with its terminator) in size bytes; otherwise the
    // size needed, including the terminator, and the buffer is left alone; 0 on failure.
    virtual unsigned GetCurrentDirectory(unsigned size, char* buffer) = 0;
    // SetCurrentDirectoryA: true on success.
    virtual bool SetCurrentDirectory(const char* path) = 0;

    // GetPrivateProfileStringA with a section and a key: the value, or the default when the file,
    // the section or the key is missing; cut to size - 1 characters and terminated. Returns the
    // number of characters stored. Names match without regard to case.
    virtual unsigned GetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                                      unsigned size, const char* file) = 0;
    // WritePrivateProfileStringA with a section, a key and a value: creates the file, section or
    // key where missing, replaces an existing value and keeps every other line. True on success.
    virtual bool WriteProfileString(const char* section, const char* key, const char* value, const char* file) = 0;

    // RegQueryValueA under HKEY_CURRENT_USER: the default value of the key, as text. *size is the
    // buffer's size in bytes on entry and the value's size (with its terminator) on return.
    // Returns kErrorSuccess, kErrorFileNotFound (no key or no value) or kErrorMoreData (the value
    // does not fit; the buffer's contents are then unspecified).
    virtual long QueryUserRegistryValue(const char* subKey, char* buffer, long* size) = 0;

    // GetUserDefaultLangID: the user's default language identifier, 0 when there is none.
    virtual std::uint16_t UserDefaultLangID() = 0;

    // FindFirstFileA / FindNextFileA / FindClose over a pattern "DIR<sep>*.*" (or "DIR<sep>*"):
    // every entry of DIR, "." and ".." included where the platform lists them.
    virtual FindHandle FindFirst(const char* pattern, FindData* data) = 0;
    virtual bool FindNext(FindHandle find, FindData* data) = 0;
    virtual void FindClose(FindHandle find) = 0;

    // Files. OpenRead opens an existing file (not a directory) for reading; CreateWrite creates a
    // file or empties an existing one, for writing. Both return null on failure. Read returns the
    // bytes read (0 at the end), or -1 on failure; Write returns the bytes written, or -1.
    virtual FileHandle OpenRead(const char* path) = 0;
    virtual FileHandle CreateWrite(const char* path) = 0;
    virtual long Read(FileHandle file, void* buffer, unsigned long count) = 0;
    virtual long Write(FileHandle file, const void* buffer, unsigned long count) = 0;
    virtual bool Close(FileHandle file) = 0;

    // LocalAlloc / LocalFree of a buffer; null when the memory is refused.
    virtual void* Allocate(std::size_t bytes) = 0;
    virtual void Free(void* block) = 0;

    // MoveFileA, DeleteFileA: true on success.
    virtual bool Rename(const char* from, const char* to) = 0;
    virtual bool DeleteFile(const char* path) = 0;
    // RemoveDirectoryA: kErrorSuccess, or the reason it failed (kErrorFileNotFound or
    // kErrorPathNotFound when there is no such directory).
    virtual long RemoveDirectory(const char* path) = 0;

    // WinExec: starts a program from its command line, without waiting. Returns kFirstStarted or
    // more on success, less on failure.
    virtual unsigned StartProgram(const char* commandLine, int show) = 0;

    // MessageBoxA with no owner window. Returns the button pressed.
    virtual int MessageBox(const char* text, const char* caption, unsigned flags) = 0;
};

// The platform the stub runs on; tests put a fake in its place.
SetupPlatform& Os();
void SetOs(SetupPlatform* os);

// Owners of the platform's handles and blocks: each is given back when its owner goes, on every
// path. Close() gives a file back at once and tells whether it closed (a file written to that
// does not close may not hold what was written).
class OwnedFile {
public:
    explicit OwnedFile(FileHandle file = nullptr) : file_(file) {}
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;
    ~OwnedFile() { (void)Close(); }  // on a path that failed already; its result adds nothing
    FileHandle get() const { return file_; }
    bool Close()
    {
        FileHandle file = file_;
        file_ = nullptr;
        return file == nullptr || Os().Close(file);
    }

private:
    FileHandle file_;
};

class OwnedFind {
public:
    explicit OwnedFind(FindHandle find = nullptr) : find_(find) {}
    OwnedFind(const OwnedFind&) = delete;
    OwnedFind& operator=(const OwnedFind&) = delete;
    ~OwnedFind()
    {
        if (find_ != nullptr)
            Os().FindClose(find_);
    }
    FindHandle get() const { return find_; }

private:
    FindHandle find_;
};

class OwnedBlock {
public:
    explicit OwnedBlock(void* block = nullptr) : block_(block) {}
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;
    ~OwnedBlock()
    {
        if (block_ != nullptr)
            Os().Free(block_);
    }
    void* get() const { return block_; }

private:
    void* block_;
};

// The real platform of this build (Win32 or POSIX).
SetupPlatform& NativePlatform();

}  // namespace platform
