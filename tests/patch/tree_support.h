// Directory trees for the patch engine's tests: made, read back whole, and removed, through the
// engine's own file system so that the same tests run natively and under Wine.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "qvpatch/build.h"
#include "qvpatch/file_system.h"
#include "qvpatch/patch_file.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace treetest {

// Every file and directory below the top: "name/" for a directory, "name" with its bytes for a file.
inline std::map<std::string, std::string> Snapshot(qvpatch::Tree& tree, const std::string& relative = "")
{
    std::map<std::string, std::string> out;
    std::vector<qvpatch::DirEntry> entries;
    if (!tree.List(relative, &entries).ok())
        out["<cannot list " + relative + ">"] = "";
    for (const auto& e : entries) {
        std::string name = relative.empty() ? e.name : relative + "/" + e.name;
        if (e.isDirectory && !e.isLink) {
            out[name + "/"] = "";
            auto inner = Snapshot(tree, name);
            out.insert(inner.begin(), inner.end());
        } else {
            std::vector<std::uint8_t> bytes;
            if (!qvpatch::ReadWholeFile(tree, name, 1ull << 32, &bytes).ok())
                out[name + " <cannot read>"] = "";
            out[name] = std::string(bytes.begin(), bytes.end());
        }
    }
    return out;
}

inline std::map<std::string, std::string> Snapshot(qvpatch::FileSystem& fs, const std::string& root)
{
    std::unique_ptr<qvpatch::Tree> tree;
    if (!fs.OpenTree(root, &tree).ok())
        return {{"<cannot open " + root + ">", ""}};
    return Snapshot(*tree);
}

// Bytes that compress badly, the same for the same seed.
inline std::string Noise(std::size_t size, unsigned seed)
{
    std::string s(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

// The names whose contents differ between two snapshots, for a short failure message.
inline std::string Differences(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b)
{
    std::string out;
    for (const auto& [name, content] : a) {
        auto it = b.find(name);
        if (it == b.end())
            out += " +" + name;
        else if (it->second != content)
            out += " ~" + name;
    }
    for (const auto& [name, content] : b)
        if (!a.count(name))
            out += " -" + name;
    return out.empty() ? " none" : out;
}

#ifdef _WIN32
// Under Wine: the Unix path of a path, and a Unix program run on Unix paths (what a Windows
// program cannot do there, such as making a symbolic link). Then waits, a while at most, until
// done() holds: the handle of a Unix program may tell its end before the program is done.
inline std::string UnixPath(const std::wstring& path)
{
    using UnixName = char* (*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
    if (name == nullptr)
        return std::string();
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

template <typename Done>
bool RunUnixCommand(std::string command, Done done)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (int wait = 0; wait < 500 && !done(); ++wait)
        Sleep(10);
    return done();
}
#endif

// Makes link a symbolic link to the directory target. Under Wine, whose CreateSymbolicLinkW makes
// nothing, the link is made by the system's own ln on the Unix paths of the two. False when no link
// could be made.
inline bool MakeDirectoryLink(const std::string& target, const std::string& link)
{
#ifdef _WIN32
    std::wstring wideTarget = std::filesystem::u8path(target).wstring();
    std::wstring wideLink = std::filesystem::u8path(link).wstring();
    auto isLink = [&] {
        DWORD attributes = GetFileAttributesW(wideLink.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    };
    CreateSymbolicLinkW(wideLink.c_str(), wideTarget.c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (isLink())
        return true;
    std::string unixTarget = UnixPath(wideTarget), unixLink = UnixPath(wideLink);
    if (unixTarget.empty() || unixLink.empty())
        return false;
    return RunUnixCommand("/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"", isLink);
#else
    std::error_code error;
    std::filesystem::create_directory_symlink(std::filesystem::u8path(target), std::filesystem::u8path(link), error);
    return !error;
#endif
}

// Removes a link made by MakeDirectoryLink (the link, never what it points at).
inline bool RemoveLink(const std::string& link)
{
#ifdef _WIN32
    std::wstring wide = std::filesystem::u8path(link).wstring();
    auto gone = [&] { return GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES; };
    if (!RemoveDirectoryW(wide.c_str()))
        DeleteFileW(wide.c_str());
    if (gone())
        return true;
    std::string unixLink = UnixPath(wide);
    return !unixLink.empty() && RunUnixCommand("/bin/rm -f \"" + unixLink + "\"", gone);
#else
    std::error_code error;
    return std::filesystem::remove(std::filesystem::u8path(link), error);
#endif
}

// Removes every link below dir (the links themselves), so that removing dir cannot go through one.
inline void RemoveLinksBelow(const std::filesystem::path& dir)
{
#ifdef _WIN32
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir / L"*").wstring().c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            RemoveLink((dir / name).u8string());
        else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveLinksBelow(dir / name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
#else
    (void)dir;  // remove_all does not follow links here
#endif
}

// A temporary directory, removed with everything in it.
class TempTree {
public:
    TempTree()
    {
        static int counter = 0;
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() /
                ("qvpatch-test-" + std::to_string(stamp) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~TempTree()
    {
        RemoveLinksBelow(path_);
        std::error_code ignored;
        for (auto& p : std::filesystem::recursive_directory_iterator(path_, ignored))
            std::filesystem::permissions(p.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path() const { return path_.string(); }
    std::string Sub(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Writes the files and directories of a snapshot under root.
inline void Make(const std::string& root, const std::map<std::string, std::string>& tree)
{
    for (const auto& [name, content] : tree) {
        std::filesystem::path p = std::filesystem::u8path(root + "/" + name);
        if (!name.empty() && name.back() == '/') {
            std::filesystem::create_directories(p);
            continue;
        }
        std::filesystem::create_directories(p.parent_path());
        std::FILE* f = nullptr;
#ifdef _WIN32
        f = _wfopen(p.wstring().c_str(), L"wb");
#else
        f = std::fopen(p.string().c_str(), "wb");
#endif
        if (f != nullptr) {
            std::fwrite(content.data(), 1, content.size(), f);
            std::fclose(f);
        }
    }
}

// Two snapshots compared, naming only the differences when they differ.
inline ::testing::AssertionResult SameTree(const std::map<std::string, std::string>& actual,
                                           const std::map<std::string, std::string>& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "differences:" << Differences(actual, expected);
}

// The patch from tmp's "old" tree to its "new" one, built at a quick level and read back as a patch
// file holds it (each file's short check only); its bytes into *bytes when given.
inline void BuildAndRead(qvpatch::FileSystem& fs, const TempTree& tmp, qvpatch::Patch* patch,
                         std::vector<std::uint8_t>* bytes = nullptr)
{
    qvpatch::BuildOptions options;
    options.level = 3;
    qvpatch::Patch built;
    ASSERT_TRUE(qvpatch::BuildPatch(fs, tmp.Sub("old"), tmp.Sub("new"), options, &built).ok());
    std::vector<std::uint8_t> written = qvpatch::Serialize(built);
    ASSERT_TRUE(qvpatch::Parse(written.data(), written.size(), patch).ok());
    if (bytes != nullptr)
        *bytes = std::move(written);
}

}  // namespace treetest
