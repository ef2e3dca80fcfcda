// The setup stub's platform on POSIX systems: the Windows semantics that the stub relies on, over
// POSIX calls. Choices where POSIX has no answer:
// - Names match without regard to ASCII case, as on the kit's own platform: each part of a path
//   that does not exist as written is looked up in its directory ignoring case.
// - Profile files follow the Windows rules (profile_text.h); a write replaces the file whole
//   through a temporary file beside it, so a full disk never leaves half a file.
// - The registry value HKCU\Software\X\Y is the first line of the file X/Y under
//   $XDG_CONFIG_HOME (default $HOME/.config).
// - The user default language comes from LC_ALL, LC_MESSAGES or LANG.
// - A name starting with '.' is hidden; a file without the owner's write permission is read-only,
//   and, as on Windows, cannot be deleted; the current directory cannot be removed.
// - A program is started from the longest blank-separated prefix of the command line that names
//   an executable file; the rest, split at blanks, are its arguments. A message box is one line
//   on stderr: the caption, a colon and a blank, then the text.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ascii.h"
#include "locale_langid.h"
#include "profile_text.h"
#include "setup_platform.h"

extern char** environ;

struct platform::FindState {
    DIR* dir;
    std::string directory;
    std::string pattern;
};

struct platform::FileState {
    int fd;
};

namespace platform {

namespace {

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The path as it exists on disk: each part that does not exist as written is replaced by the
// first entry of its directory (in name order) that matches it without regard to ASCII case.
// Parts with no match stay as written.
std::string ResolveCase(const std::string& path)
{
    if (path.empty() || Exists(path))
        return path;
    std::string resolved = path[0] == '/' ? "/" : "";
    size_t pos = path[0] == '/' ? 1 : 0;
    bool matching = true;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        std::string part = path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        std::string base = resolved.empty() ? "." : resolved;
        std::string candidate = part;
        if (matching && !part.empty() && part != "." && part != ".." && !Exists(resolved + part)) {
            std::vector<std::string> matches;
            if (DIR* dir = opendir(base.c_str())) {
                while (dirent* e = readdir(dir))
                    if (SameNameIgnoringCase(e->d_name, part))
                        matches.push_back(e->d_name);
                closedir(dir);
            }
            if (matches.empty()) {
                matching = false;
            } else {
                std::sort(matches.begin(), matches.end());
                candidate = matches.front();
            }
        }
        resolved += candidate;
        if (slash == std::string::npos)
            break;
        resolved += "/";
        pos = slash + 1;
    }
    return resolved;
}

std::optional<std::string> ReadWhole(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file's contents whole: a temporary file beside it, flushed, then renamed over it.
bool ReplaceWhole(const std::string& path, const std::string& text)
{
    std::string temp = path + ".qvtmp" + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 07777);
    bool ok = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool MatchesPattern(const std::string& name, const std::string& pattern)
{
    // "*.*" and "*" match every name, as on Windows.
    if (pattern == "*" || pattern == "*.*")
        return true;
    // Otherwise '*' and '?' wildcards, without regard to case.
    size_t n = 0, p = 0, star = std::string::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || FoldAscii(pattern[p]) == FoldAscii(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::uint32_t Attributes(const std::string& path, const std::string& name)
{
    struct stat st;
    std::uint32_t attributes = 0;
    if (stat(path.c_str(), &st) != 0 && lstat(path.c_str(), &st) != 0)
        return kAttrNormal;
    if (S_ISDIR(st.st_mode))
        attributes |= kAttrDirectory;
    else
        attributes |= kAttrArchive;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= kAttrReadOnly;
    if (name.size() > 1 && name[0] == '.' && name != "..")
        attributes |= kAttrHidden;
    return attributes;
}

bool NextMatch(FindState* find, FindData* data)
{
    while (dirent* e = readdir(find->dir)) {
        std::string name = e->d_name;
        if (!MatchesPattern(name, find->pattern) || name.size() > 255)
            continue;
        std::string full = (find->directory.empty() ? std::string(".") : find->directory) + "/" + name;
        data->attributes = Attributes(full, name);
        std::memset(data->name, 0, sizeof data->name);
        name.copy(data->name, sizeof data->name - 1);
        return true;
    }
    return false;
}

bool IsExecutableFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string ConfigHome()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.config";
}

class PosixPlatform : public SetupPlatform {
public:
    char Separator() const override { return '/'; }

    unsigned ModuleFileName(void*, char* buffer, unsigned size) override
    {
        char path[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0 || size == 0)
            return 0;
        path[n] = '\0';
        unsigned stored = profile::CopyOut(path, buffer, size);
        return static_cast<std::size_t>(n) > stored ? size : stored;
    }

    unsigned GetCurrentDirectory(unsigned size, char* buffer) override
    {
        std::vector<char> cwd(PATH_MAX + 1);
        if (getcwd(cwd.data(), cwd.size()) == nullptr)
            return 0;
        size_t length = std::strlen(cwd.data());
        if (length + 1 > size)
            return static_cast<unsigned>(length + 1);
        std::memcpy(buffer, cwd.data(), length + 1);
        return static_cast<unsigned>(length);
    }

    bool SetCurrentDirectory(const char* path) override { return chdir(ResolveCase(path).c_str()) == 0; }

    unsigned GetProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                              unsigned size, const char* file) override
    {
        return profile::GetString(ReadWhole(ResolveCase(file)), section, key, defaultValue, buffer, size);
    }

    bool WriteProfileString(const char* section, const char* key, const char* value, const char* file) override
    {
        if (section == nullptr || key == nullptr || value == nullptr)
            return false;
        std::string path = ResolveCase(file);
        std::string text = ReadWhole(path).value_or("");
        return ReplaceWhole(path, profile::Set(text, section, key, value));
    }

    long QueryUserRegistryValue(const char* subKey, char* buffer, long* size) override
    {
        std::string key = subKey;
        const std::string software = "Software\\";
        if (key.compare(0, software.size(), software) == 0)
            key = key.substr(software.size());
        std::replace(key.begin(), key.end(), '\\', '/');
        std::optional<std::string> text = ReadWhole(ConfigHome() + "/" + key);
        if (!text)
            return kErrorFileNotFound;
        std::string value = text->substr(0, text->find('\n'));
        if (!value.empty() && value.back() == '\r')
            value.pop_back();
        long needed = static_cast<long>(value.size()) + 1;
        if (needed > *size) {
            *size = needed;
            return kErrorMoreData;
        }
        std::memcpy(buffer, value.c_str(), value.size() + 1);
        *size = needed;
        return kErrorSuccess;
    }

    std::uint16_t UserDefaultLangID() override
    {
        return LangIdFromEnvironment([](const char* name) -> const char* { return std::getenv(name); });
    }

    FindHandle FindFirst(const char* pattern, FindData* data) override
    {
        std::string full = pattern;
        size_t slash = full.rfind('/');
        std::string directory = slash == std::string::npos ? "" : ResolveCase(full.substr(0, slash == 0 ? 1 : slash));
        std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
        DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
        if (dir == nullptr)
            return nullptr;
        auto* find = new FindState{dir, directory, name};
        if (!NextMatch(find, data)) {
            FindClose(find);
            return nullptr;
        }
        return find;
    }

    bool FindNext(FindHandle find, FindData* data) override { return find != nullptr && NextMatch(find, data); }

    void FindClose(FindHandle find) override
    {
        if (find == nullptr)
            return;
        closedir(find->dir);
        delete find;
    }

    FileHandle OpenRead(const char* path) override
    {
        int fd = open(ResolveCase(path).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return nullptr;
        struct stat st;
        if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            close(fd);
            return nullptr;
        }
        return new FileState{fd};
    }

    FileHandle CreateWrite(const char* path) override
    {
        // A read-only file (no write permission for its owner, as the listing reports it) is
        // refused whoever runs the stub, as Windows refuses it to everyone; it is looked at before
        // it is emptied.
        int fd = open(ResolveCase(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return nullptr;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) == 0 || ftruncate(fd, 0) != 0) {
            close(fd);
            return nullptr;
        }
        return new FileState{fd};
    }

    long Read(FileHandle file, void* buffer, unsigned long count) override
    {
        for (;;) {
            ssize_t n = read(file->fd, buffer, count);
            if (n < 0 && errno == EINTR)
                continue;
            return n < 0 ? -1 : static_cast<long>(n);
        }
    }

    long Write(FileHandle file, const void* buffer, unsigned long count) override
    {
        const char* p = static_cast<const char*>(buffer);
        unsigned long done = 0;
        while (done < count) {
            ssize_t n = write(file->fd, p + done, count - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return done > 0 ? static_cast<long>(done) : -1;
            done += static_cast<unsigned long>(n);
        }
        return static_cast<long>(done);
    }

    bool Close(FileHandle file) override
    {
        if (file == nullptr)
            return false;
        bool ok = close(file->fd) == 0;
        delete file;
        return ok;
    }

    void* Allocate(std::size_t bytes) override { return std::malloc(bytes); }
    void Free(void* block) override { std::free(block); }

    bool Rename(const char* from, const char* to) override
    {
        std::string source = ResolveCase(from);
        std::string target = ResolveCase(to);
        // As on Windows, an existing target is not replaced (a change of case only is allowed).
        struct stat a, b;
        if (lstat(target.c_str(), &b) == 0 && !(lstat(source.c_str(), &a) == 0 && a.st_ino == b.st_ino))
            return false;
        // The new name keeps the case it was given; only its directory is looked up.
        std::string name = to;
        size_t slash = name.rfind('/');
        std::string destination =
            slash == std::string::npos ? name : ResolveCase(name.substr(0, slash)) + name.substr(slash);
        return rename(source.c_str(), destination.c_str()) == 0;
    }

    bool DeleteFile(const char* path) override
    {
        std::string resolved = ResolveCase(path);
        struct stat st;
        if (lstat(resolved.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0)
            return false;
        return unlink(resolved.c_str()) == 0;
    }

    long RemoveDirectory(const char* path) override
    {
        std::string resolved = ResolveCase(path);
        struct stat dir, cwd;
        if (stat(resolved.c_str(), &dir) != 0) {
            // Not found: the directory itself, or already the path to it.
            size_t slash = resolved.rfind('/');
            std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : resolved.substr(0, slash);
            struct stat st;
            return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? kErrorFileNotFound : kErrorPathNotFound;
        }
        if (!S_ISDIR(dir.st_mode))
            return kErrorPathNotFound;
        if (stat(".", &cwd) == 0 && cwd.st_ino == dir.st_ino && cwd.st_dev == dir.st_dev)
            return kErrorSharingViolation;
        if (rmdir(resolved.c_str()) == 0)
            return kErrorSuccess;
        switch (errno) {
        case ENOENT: return kErrorFileNotFound;
        case ENOTEMPTY:
        case EEXIST: return kErrorDirNotEmpty;
        case EBUSY: return kErrorSharingViolation;
        default: return kErrorAccessDenied;
        }
    }

    unsigned StartProgram(const char* commandLine, int) override
    {
        std::vector<std::string> words;
        std::string line = commandLine;
        size_t pos = 0;
        while (pos <= line.size()) {
            size_t blank = line.find(' ', pos);
            words.push_back(line.substr(pos, blank == std::string::npos ? std::string::npos : blank - pos));
            if (blank == std::string::npos)
                break;
            pos = blank + 1;
        }
        // The longest prefix that names an executable file is the program, as Windows tries a
        // path with blanks.
        for (size_t count = words.size(); count > 0; --count) {
            std::string program;
            for (size_t i = 0; i < count; ++i)
                program += (i ? " " : "") + words[i];
            if (program.empty())
                continue;
            std::string resolved = ResolveCase(program);
            if (!IsExecutableFile(resolved))
                continue;
            std::vector<std::string> args = {resolved};
            for (size_t i = count; i < words.size(); ++i)
                if (!words[i].empty())
                    args.push_back(words[i]);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            pid_t pid;
            if (posix_spawn(&pid, resolved.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
                return 11;  // ERROR_BAD_FORMAT: it could not be run
            return 33;
        }
        return line.find('/') == std::string::npos ? 2 : 3;  // file or path not found
    }

    int MessageBox(const char* text, const char* caption, unsigned) override
    {
        std::string line = std::string(caption ? caption : "") + ": " + (text ? text : "") + "\n";
        WriteAll(2, line.data(), line.size());
        return 1;
    }
};

}  // namespace

SetupPlatform& NativePlatform()
{
    static PosixPlatform platform;
    return platform;
}

}  // namespace platform
