// The file system as the patch engine sees it.
//
// A directory being updated or compared is opened once as a Tree; every name below it is relative,
// UTF-8, with '/' between its parts, and is reached from the tree's top at the moment of each
// operation without following a link, junction or other reparse point on the way: a link planted
// or swapped in while the engine works makes the operation fail, never act outside the tree. The
// top itself is found as the user named it (a link given as the directory is followed once, when the
// tree is opened), and stays the same directory for as long as the tree is open.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvpatch/status.h"

namespace qvpatch {

struct FileInfo {
    bool exists = false;
    bool isDirectory = false;
    bool isLink = false;  // a symbolic link, junction or other reparse point: never followed
    bool isFile = false;  // a plain file (not a device, pipe or socket), not a link
    std::uint64_t size = 0;
    // Which file it is on its volume (inode, file index), and a stamp that changes when its
    // contents do (the time of the last change): together with the size they tell whether a file
    // is still the one that was looked at.
    std::uint64_t id = 0;
    std::int64_t stamp = 0;
    // Owned by another user than the one running, or open to writing by other users: not
    // something this user's update made for itself.
    bool foreign = false;
    // What a directory made again must have to be the same (on POSIX systems its permission
    // bits, owner and group; on Windows its attributes).
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
};

// Whether two looks at a name saw the same file, unchanged.
inline bool SameFile(const FileInfo& a, const FileInfo& b)
{
    return a.exists == b.exists && a.isFile == b.isFile && a.size == b.size && a.id == b.id && a.stamp == b.stamp;
}

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
    // Reads up to size bytes at offset (wherever Read has got to, which it leaves alone or not);
    // *got is 0 at or past the end of the file.
    virtual Result ReadAt(std::uint64_t offset, std::uint8_t* buffer, std::size_t size, std::size_t* got) = 0;
    // What the open file is (its identity and size now).
    virtual Result Info(FileInfo* info) = 0;
    // The whole file mapped into memory, read-only, for as long as this stays open; *data is null
    // where it is not (the file is then read). A file is mapped only where nobody can change or
    // shorten it meanwhile, so that the bytes mapped stay as they were when they were checked.
    virtual Result Map(const std::uint8_t** data, std::uint64_t* size)
    {
        *data = nullptr;
        *size = 0;
        return Result::Ok();
    }
    // Whether a file mapped is still as it was when mapped. Where a process was stopped for long
    // enough, another may have changed it even so: what was made from it is then thrown away.
    virtual bool MappedIntact() { return true; }
};

class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual Result Write(const std::uint8_t* data, std::size_t size) = 0;
    // Reads back exactly size bytes of what was written, from offset at (all within what was
    // written), where the file can: a decoder that reads the new file made so far then holds only
    // its last few MiB. Where it cannot, CanReadBack is false, and this is not called. It may be
    // called on one thread while a Write goes on on another, for bytes an earlier Write wrote.
    virtual bool CanReadBack() const { return false; }
    virtual Result ReadBack(std::uint64_t at, std::uint8_t* out, std::size_t size);
    // What the file is (its identity and size), from the file open rather than its name, which
    // someone else may have given another file meanwhile. Where it cannot tell, info->exists is
    // false.
    virtual Result Info(FileInfo* info);
    // Flushes to the disk, so that the file survives a crash.
    virtual Result Sync() = 0;
    virtual Result Close() = 0;
};

enum class LockMode {
    kShared,     // looking, changing nothing: other lookers may look too
    kExclusive,  // changing the tree: nobody else may look or change
};

// A directory opened once; see the top of this file. Names are relative ("" is the top itself, for
// Stat, List and Sync). An intermediate part of a name that is a link, or not a directory, fails
// the operation (status kIoError, saying so).
class Tree {
public:
    virtual ~Tree() = default;

    // The name as a path of this platform, for messages.
    virtual std::string Describe(const std::string& name) const = 0;

    // What is at the name, without following a link there; a missing name (or a missing parent)
    // is not an error: info->exists is false.
    virtual Result Stat(const std::string& name, FileInfo* info) = 0;
    virtual Result List(const std::string& name, std::vector<DirEntry>* entries) = 0;
    // Opens a plain file for reading; a link, directory, pipe or device is refused.
    virtual Result OpenRead(const std::string& name, std::unique_ptr<InputFile>* file) = 0;
    // Creates a new file; anything existing at the name is refused.
    virtual Result Create(const std::string& name, std::unique_ptr<OutputFile>* file) = 0;
    // Renames a file or directory (a link at from is moved itself); an existing target is refused.
    virtual Result Rename(const std::string& from, const std::string& to) = 0;
    // Removes a file, read-only or not (a link at the name is removed itself).
    virtual Result Remove(const std::string& name) = 0;
    // ownerOnly: a directory only its owner may enter (the work area).
    virtual Result MakeDirectory(const std::string& name, bool ownerOnly) = 0;
    // Removes an empty directory.
    virtual Result RemoveDirectory(const std::string& name) = 0;
    // Gives the attributes of from (read-only, permissions) to the plain file to.
    virtual Result CopyAttributes(const std::string& from, const std::string& to) = 0;
    // Gives the directory name the mode, owner and group of like (each as far as this user may).
    virtual Result RestoreAttributes(const std::string& name, const FileInfo& like) = 0;
    // Holds the directory name (a name at the top) open: every later operation on it or below it
    // reaches the directory held, whatever is put at its name since, until it is released or
    // removed. Refused unless it is a directory of this user's that others may not write in.
    virtual Result Hold(const std::string& name) = 0;
    // Makes the directory's entries (renames, creations) durable.
    virtual Result Sync(const std::string& name) = 0;
    // Takes the tree's update lock for as long as the tree is open, without waiting: *taken is
    // false when another holder has it. The lock is a file only this user may open, so that
    // someone who may only read the tree cannot hold it. On a tree that cannot be written, a
    // shared lock that cannot be made is taken as held.
    virtual Result Lock(LockMode mode, bool* taken) = 0;
    // The bytes that may still be written on the tree's volume.
    virtual Result FreeSpace(std::uint64_t* bytes) = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Opens the directory at path (a link given as path is followed); a path that is not a
    // directory gives kBadCommandLine.
    virtual Result OpenTree(const std::string& path, std::unique_ptr<Tree>* tree) = 0;
    // Opens a plain file named by the user for reading (a link given as path is followed); a
    // directory, pipe or device is refused, without waiting on it.
    virtual Result OpenFile(const std::string& path, std::unique_ptr<InputFile>* file) = 0;
    // Writes a new file whole under path: beside it first, flushed, then given its name; an
    // existing file at path is never replaced (*existed tells that case). ownerOnly: readable by
    // the owner alone.
    virtual Result WriteNewFile(const std::string& path, const std::uint8_t* data, std::size_t size, bool ownerOnly,
                                bool* existed) = 0;
};

// Writes data, flushes it to the disk and closes the file: the first failure is the result, and the
// file is closed either way.
Result WriteFlushClose(OutputFile& out, const std::uint8_t* data, std::size_t size);

// Reads the whole of an open file, refusing one larger than maxSize or one that changes while it
// is read. Each piece read is told to read as it comes (it stays where it is in out).
Result ReadAll(InputFile& in, const std::string& what, std::uint64_t maxSize, std::vector<std::uint8_t>* out);
Result ReadAll(InputFile& in, const std::string& what, std::uint64_t maxSize, std::vector<std::uint8_t>* out,
               const std::function<void(const std::uint8_t* piece, std::size_t size)>& read);
Result ReadWholeFile(Tree& tree, const std::string& name, std::uint64_t maxSize, std::vector<std::uint8_t>* out);

// The real file system of this build.
FileSystem& NativeFileSystem();

}  // namespace qvpatch
