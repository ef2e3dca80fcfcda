// Helpers of the tests that run under Wine: the test's own directory, whole files, temporary trees.
#pragma once

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace wine {

inline std::string ModuleDir()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir = path;
    return dir.substr(0, dir.rfind('\\'));
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Deletes a directory and everything below it, read-only files included.
inline void RemoveTree(const std::string& dir)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string path = dir + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(dir.c_str());
}

// A started program; its handles are closed (and the program ended, if it still runs) when the
// object goes or starts another.
struct Process {
    PROCESS_INFORMATION info = {};
    bool started = false;

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { Release(); }

    void Release()
    {
        if (!started)
            return;
        if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(info.hProcess, 99);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
        started = false;
    }

    // The exit code, or 0xDEAD when the program did not end in time (or never started).
    DWORD ExitCode(int timeoutMs = 30000)
    {
        if (!started || WaitForSingleObject(info.hProcess, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
            return 0xDEAD;
        DWORD code = 0xDEAD;
        GetExitCodeProcess(info.hProcess, &code);
        return code;
    }

    bool Running() { return started && WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT; }
};

// Starts a command line (the program first, quoted where it holds blanks) in cwd, with its standard
// output and error going to the file output when one is given. False when it could not start.
inline bool Start(Process& p, const std::string& commandLine, const std::string& cwd = "",
                  const std::string& output = "")
{
    p.Release();
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!output.empty()) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        out = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out;
        si.hStdError = out;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    p.started = CreateProcessA(nullptr, buffer.data(), nullptr, nullptr, !output.empty(), 0, nullptr,
                               cwd.empty() ? nullptr : cwd.c_str(), &si, &p.info) != 0;
    if (out != INVALID_HANDLE_VALUE)
        CloseHandle(out);
    return p.started;
}

}  // namespace wine
