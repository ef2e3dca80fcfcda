// A stand-in for the patch library, for tests only. It records the command line it received and
// then follows a script of callbacks, recording every reply, and returns the scripted result.
//
//   QVTEST_SCRIPT  the script, one step a line:
//     callback ID [text TEXT | value N | null]   call back with that parameter (N may be 0x...)
//     query [RESULT]                             stop query (21); a null reply ends the script
//                                                with RESULT (default 1), as the library stops
//     pump-until PATH [TIMEOUT_MS]               call back with id 0 every 10 ms until PATH exists,
//                                                counting the calls in PATH.pumps
//     touch PATH                                 create PATH (empty)
//     sleep MS
//     signal INT|TERM|HUP                        send the signal to this process (POSIX only)
//     return N                                   the result (default 0)
//   QVTEST_RECORD  the record, one line a fact:
//     cmdline TEXT / flags N / reply ID empty|null|text TEXT / pumped PATH ok|timeout / error TEXT
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <unistd.h>
#endif

#include "patchw32.h"

namespace {

class Record {
public:
    Record()
    {
        const char* path = std::getenv("QVTEST_RECORD");
        if (path != nullptr && *path != '\0')
            file_ = std::fopen(path, "wb");
    }
    ~Record()
    {
        if (file_ != nullptr)
            std::fclose(file_);
    }
    void Line(const std::string& text)
    {
        if (file_ == nullptr)
            return;
        std::fputs(text.c_str(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }

private:
    std::FILE* file_ = nullptr;
};

bool Exists(const std::string& path)
{
    std::ifstream f(path);
    return f.good();
}

void SleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string Describe(const void* reply)
{
    if (reply == nullptr)
        return "null";
    const char* text = static_cast<const char*>(reply);
    return *text == '\0' ? "empty" : std::string("text ") + text;
}

void SendSignal(const std::string& name, Record& record)
{
#ifdef _WIN32
    record.Line("error signals are not available on Windows: " + name);
#else
    int sig = name == "INT" ? SIGINT : name == "TERM" ? SIGTERM : name == "HUP" ? SIGHUP : 0;
    if (sig == 0) {
        record.Line("error unknown signal " + name);
        return;
    }
    kill(getpid(), sig);
#endif
}

}  // namespace

extern "C" int PATCHW32_API PatchApply(const char* commandLine, PATCH_CALLBACK callback, int flags)
{
    Record record;
    record.Line(std::string("cmdline ") + (commandLine ? commandLine : "(null)"));
    record.Line("flags " + std::to_string(flags));

    const char* scriptPath = std::getenv("QVTEST_SCRIPT");
    if (scriptPath == nullptr || *scriptPath == '\0')
        return 0;
    std::ifstream script(scriptPath);
    if (!script) {
        record.Line(std::string("error cannot read script ") + scriptPath);
        return 99;
    }

    int result = 0;
    std::string line;
    while (std::getline(script, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream in(line);
        std::string verb;
        if (!(in >> verb) || verb[0] == '#')
            continue;
        if (verb == "callback") {
            int id = 0;
            std::string kind;
            in >> id >> kind;
            std::string text;
            std::uint32_t value = 0;
            void* param = nullptr;
            if (kind == "text") {
                std::getline(in >> std::ws, text);
                param = const_cast<char*>(text.c_str());
            } else if (kind == "value") {
                std::string number;
                in >> number;
                value = static_cast<std::uint32_t>(std::stoul(number, nullptr, 0));
                param = &value;
            }
            void* reply = callback(id, param);
            record.Line("reply " + std::to_string(id) + " " + Describe(reply));
        } else if (verb == "query") {
            int stopped = 1;
            in >> stopped;
            void* reply = callback(PATCH_MSG_CONTINUE, nullptr);
            record.Line("reply 21 " + Describe(reply));
            if (reply == nullptr) {
                record.Line("stopped");
                result = stopped;
                break;
            }
        } else if (verb == "pump-until") {
            std::string path;
            long timeoutMs = 30000;
            in >> path >> timeoutMs;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
            bool found = false;
            // The pumps so far, in PATH.pumps: a test waits on them to know that the window has
            // handled what it was sent.
            long pumps = 0;
            while (!(found = Exists(path)) && std::chrono::steady_clock::now() < deadline) {
                callback(0, nullptr);
                std::ofstream(path + ".pumps") << ++pumps << "\n";
                SleepMs(10);
            }
            record.Line("pumped " + path + (found ? " ok" : " timeout"));
        } else if (verb == "touch") {
            std::string path;
            in >> path;
            std::ofstream(path).flush();
        } else if (verb == "sleep") {
            long ms = 0;
            in >> ms;
            SleepMs(ms);
        } else if (verb == "signal") {
            std::string name;
            in >> name;
            SendSignal(name, record);
        } else if (verb == "return") {
            in >> result;
        } else {
            record.Line("error unknown step " + verb);
        }
    }
    record.Line("return " + std::to_string(result));
    return result;
}
