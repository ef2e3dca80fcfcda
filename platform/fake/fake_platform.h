// A recording fake of the setup stub's platform, for unit tests: an in-memory file system with
// Windows rules (names match without regard to case, "." and ".." listed, read-only files cannot be
// deleted, the current directory cannot be removed), a registry value, a language identifier and
// profile files, and a record of every call, so that a test can also say what did not happen.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "setup_platform.h"

namespace platform {

class FakePlatform : public SetupPlatform {
public:
    // Paths use this separator; with '\\', '/' separates too, and "X:" starts a drive.
    explicit FakePlatform(char separator = '\\');
    ~FakePlatform() override;

    // ---- the machine ----
    std::string moduleFileName;                // empty: the name is not available
    std::string currentDirectory;              // empty: it cannot be read
    std::optional<std::string> registryValue;  // the Interface Language value; nullopt: none
    std::uint16_t langId = 0;
    unsigned startResult = 33;  // what StartProgram returns
    // Decides whether an allocation of that many bytes succeeds; null: every one does.
    std::function<bool(std::size_t)> allowAllocation;
    // Bytes that writes may still put on the disk; nullopt: no limit.
    std::optional<std::size_t> diskSpace;
    // Files whose reads fail after this many bytes.
    std::map<std::string, std::size_t> readFailsAfter;
    // Fails the file-system operation with this number (counting from 1: opens, reads, writes,
    // closes, listings, profile reads and writes, renames, deletions, directory removals), and
    // with failFromThenOn every one after it too; 0: none fails.
    long failAt = 0;
    bool failFromThenOn = false;
    long operations = 0;

    void AddDirectory(const std::string& path);
    void AddFile(const std::string& path, const std::string& content = "", std::uint32_t attributes = kAttrArchive);
    // A file held open by another program: it cannot be opened, replaced or deleted.
    void Lock(const std::string& path);

    bool Exists(const std::string& path) const;
    bool IsDirectory(const std::string& path) const;
    std::optional<std::string> Content(const std::string& path) const;
    // Every file, by its path as created, with its contents.
    std::map<std::string, std::string> Files() const;

    // Names in a directory, in listing order (without "." and "..").
    std::vector<std::string> Entries(const std::string& directory) const;

    // ---- what happened ----
    std::vector<std::string> calls;  // "Operation argument ...", in order
    int Count(const std::string& operation) const;
    // Index of the first call that starts with the text, -1 when there is none.
    int IndexOf(const std::string& prefix) const;

    struct Box {
        std::string text;
        std::string caption;
        unsigned flags;
    };
    std::vector<Box> messageBoxes;

    struct Start {
        std::string commandLine;
        int show;
        std::string currentDirectory;
    };
    std::vector<Start> started;

    std::size_t liveAllocations = 0;
    int openFiles = 0;

    // ---- the platform ----
    char Separator() const override { return separator_; }
    unsigned ModuleFileName(void* instance, char* buffer, unsigned size) override;
    unsigned GetCurrentDirectory(unsigned size, char* buffer) override;
    bool SetCurrentDirectory(const char* path) override;
    unsigned GetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                              unsigned size, const char* file) override;
    bool WriteProfileString(const char* section, const char* key, const char* value, const char* file) override;
    long QueryUserRegistryValue(const char* subKey, char* buffer, long* size) override;
    std::uint16_t UserDefaultLangID() override;
    FindHandle FindFirst(const char* pattern, FindData* data) override;
    bool FindNext(FindHandle find, FindData* data) override;
    void FindClose(FindHandle find) override;
    FileHandle OpenRead(const char* path) override;
    FileHandle CreateWrite(const char* path) override;
    long Read(FileHandle file, void* buffer, unsigned long count) override;
    long Write(FileHandle file, const void* buffer, unsigned long count) override;
    bool Close(FileHandle file) override;
    void* Allocate(std::size_t bytes) override;
    void Free(void* block) override;
    bool Rename(const char* from, const char* to) override;
    bool DeleteFile(const char* path) override;
    long RemoveDirectory(const char* path) override;
    unsigned StartProgram(const char* commandLine, int show) override;
    int MessageBox(const char* text, const char* caption, unsigned flags) override;

private:
    struct Node {
        std::string name;    // as created
        std::string parent;  // key of the parent directory
        bool directory = false;
        std::uint32_t attributes = 0;
        std::string content;
        bool locked = false;
        long order = 0;
    };

    bool IsSep(char c) const { return c == separator_ || (separator_ == '\\' && c == '/'); }
    // The absolute, normalised path (display form) and its lookup key.
    std::string Absolute(const std::string& path) const;
    static std::string Key(const std::string& absolute);
    std::string ParentOf(const std::string& absolute) const;
    std::string NameOf(const std::string& absolute) const;
    bool IsRoot(const std::string& absolute) const;
    Node* FindAbsolute(const std::string& absolute);
    const Node* Find(const std::string& path) const;
    void AddDirectoryAbsolute(const std::string& absolute);
    void AddFileAbsolute(const std::string& absolute, const std::string& content, std::uint32_t attributes);
    bool DirectoryExists(const std::string& absolute) const;
    void Record(const std::string& call) { calls.push_back(call); }
    // Counts a file-system operation; true when it is to fail.
    bool Fails()
    {
        ++operations;
        return failAt > 0 && (operations == failAt || (failFromThenOn && operations > failAt));
    }

    char separator_;
    std::map<std::string, Node> nodes_;
    long nextOrder_ = 0;
};

// Puts a platform in the stub's place for the life of the object.
class ScopedOs {
public:
    explicit ScopedOs(SetupPlatform& os) { SetOs(&os); }
    ~ScopedOs() { SetOs(nullptr); }
    ScopedOs(const ScopedOs&) = delete;
    ScopedOs& operator=(const ScopedOs&) = delete;
};

}  // namespace platform
