// The file system as the patch engine sees it. Paths are UTF-8 with '/' inside the directory being
// updated; each implementation turns them into its platform's paths (wide-character on Windows).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "status.h"

namespace qvpatch {

struct FileInfo {
    bool exists = false;
    bool isDirectory = false;
    bool isLink = false;  // a symbolic link, junction or other reparse point: never followed
    std::uint64_t size = 0;
};

struct DirEntry {
    std::string name;
    bool isDirectory = false;
    bool isLink = false;
};

class InputFile {
public:
    virtual ~InputFile() = default;
    // Reads up to size bytes; *got is 0 at the end of the file.
    virtual Result Read(std::uint8_t* buffer, std::size_t size, std::size_t* got) = 0;
};

class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual Result Write(const std::uint8_t* data, std::size_t size) = 0;
    // Flushes to the disk, so that the file survives a crash.
    virtual Result Sync() = 0;
    virtual Result Close() = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // "dir/name" in this platform's form; name is relative, UTF-8, with '/'.
    virtual std::string Join(const std::string& dir, const std::string& name) const = 0;

    // What is at the path, without following a link there.
    virtual Result Stat(const std::string& path, FileInfo* info) = 0;
    virtual Result List(const std::string& dir, std::vector<DirEntry>* entries) = 0;
    virtual Result OpenRead(const std::string& path, std::unique_ptr<InputFile>* file) = 0;
    // Creates a new file; an existing one is refused.
    virtual Result Create(const std::string& path, std::unique_ptr<OutputFile>* file) = 0;
    // Renames a file or directory; an existing target is refused.
    virtual Result Rename(const std::string& from, const std::string& to) = 0;
    // Removes a file, read-only or not.
    virtual Result Remove(const std::string& path) = 0;
    virtual Result MakeDirectory(const std::string& path) = 0;
    // Removes an empty directory.
    virtual Result RemoveDirectory(const std::string& path) = 0;
    // Gives to the attributes of from (read-only, permissions) to to.
    virtual Result CopyAttributes(const std::string& from, const std::string& to) = 0;
    // Makes the directory's entries (renames, creations) durable.
    virtual Result SyncDirectory(const std::string& dir) = 0;
};

// Reads a whole file, refusing one larger than maxSize.
Result ReadWholeFile(FileSystem& fs, const std::string& path, std::uint64_t maxSize, std::vector<std::uint8_t>* out);

// The real file system of this build.
FileSystem& NativeFileSystem();

}  // namespace qvpatch
