// qvapply from end to end on Linux: the real program, started as a user would (on a terminal, or
// with stderr elsewhere), against the scripted test library.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

const char kCancelText[] = "CANCEL BUTTON PUSHED.  ABORTING QUORVANE UPDATE!";

using namespace e2e;

// One run of qvapply with the test library's script and record in a temporary directory.
class QvapplyRun {
public:
    enum class Output { Terminal, File };

    QvapplyRun(const TempDir& dir, const std::string& script) : dir_(dir) { WriteFile(dir / "script.txt", script); }

    ~QvapplyRun()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }

    void Start(const std::vector<std::string>& args, Output output = Output::Terminal, const std::string& cwd = "",
               const std::string& program = QVAPPLY_PATH)
    {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string script = dir_ / "script.txt";
        std::string record = dir_ / "record.txt";
        std::string errPath = dir_ / "stderr.txt";
        auto child = [&]() {
            setenv("QVTEST_SCRIPT", script.c_str(), 1);
            setenv("QVTEST_RECORD", record.c_str(), 1);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            std::vector<char*> cargs;
            for (auto& a : argv)
                cargs.push_back(const_cast<char*>(a.c_str()));
            cargs.push_back(nullptr);
            execv(cargs[0], cargs.data());
            _exit(127);
        };
        if (output == Output::Terminal) {
            winsize ws{};
            ws.ws_col = 100;
            ws.ws_row = 30;
            pid_ = forkpty(&master_, nullptr, nullptr, &ws);
            ASSERT_GE(pid_, 0);
            if (pid_ == 0)
                child();
            fcntl(master_, F_SETFL, O_NONBLOCK);
        } else {
            pid_ = fork();
            ASSERT_GE(pid_, 0);
            if (pid_ == 0) {
                int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(fd, 2);
                child();
            }
        }
    }

    // Waits until the predicate holds, reading the terminal meanwhile.
    bool WaitFor(const std::function<bool()>& done, int timeoutMs = 10000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            Drain();
            if (done())
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    bool WaitForFile(const std::string& name)
    {
        std::string path = dir_ / name;
        return WaitFor([&] { return Exists(path); });
    }

    // Waits until the library, pumping until the gate opens, has called back twice more: the
    // window has then handled whatever was sent to it before.
    bool WaitForPumps(const std::string& gate)
    {
        std::string path = dir_ / (gate + ".pumps");
        auto count = [&] {
            std::string text = ReadFile(path);
            return text.empty() ? 0L : std::atol(text.c_str());
        };
        long from = count();
        return WaitFor([&] { return count() >= from + 2; });
    }

    // The last complete frame drawn on the terminal, escape sequences removed.
    std::vector<std::string> Frame()
    {
        Drain();
        std::string plain = std::regex_replace(screen_, std::regex("\x1b\\[[0-9;]*[A-Za-z]"), "");
        plain = std::regex_replace(plain, std::regex("\r"), "");
        std::vector<std::string> lines = Lines(plain);
        for (size_t i = lines.size(); i-- > 0;) {
            if (lines[i].rfind("-- Updating Quorvane", 0) == 0 && i + 5 <= lines.size())
                return std::vector<std::string>(lines.begin() + i, lines.begin() + i + 5);
        }
        return {};
    }

    bool WaitForFrame(const std::function<bool(const std::vector<std::string>&)>& matches)
    {
        return WaitFor([&] {
            auto frame = Frame();
            return frame.size() == 5 && matches(frame);
        });
    }

    void Type(const std::string& keys)
    {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    void Signal(int sig) { kill(pid_, sig); }

    bool Running()
    {
        if (pid_ <= 0)
            return false;
        int status;
        return waitpid(pid_, &status, WNOHANG) == 0 ? true : (Finish(status), false);
    }

    // The exit code, or -1 when the process did not end within the timeout or ended by a signal.
    int ExitCode(int timeoutMs = 15000)
    {
        if (pid_ > 0) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
            int status = 0;
            while (waitpid(pid_, &status, WNOHANG) == 0) {
                Drain();
                if (std::chrono::steady_clock::now() > deadline)
                    return -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            Finish(status);
        }
        Drain();
        return exitCode_;
    }

    std::vector<std::string> Record() { return Lines(ReadFile(dir_ / "record.txt")); }
    bool LibraryCalled() { return Exists(dir_ / "record.txt"); }
    std::string Stderr() { return ReadFile(dir_ / "stderr.txt"); }

private:
    void Drain()
    {
        if (master_ < 0)
            return;
        char buf[4096];
        ssize_t n;
        while ((n = read(master_, buf, sizeof buf)) > 0)
            screen_.append(buf, static_cast<size_t>(n));
    }

    void Finish(int status)
    {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
    }

    const TempDir& dir_;
    pid_t pid_ = -1;
    int master_ = -1;
    std::string screen_;
    int exitCode_ = -1;
};

std::vector<std::string> RepliesTo(const std::vector<std::string>& record, int id)
{
    std::vector<std::string> replies;
    std::string prefix = "reply " + std::to_string(id) + " ";
    for (const auto& line : record)
        if (line.rfind(prefix, 0) == 0)
            replies.push_back(line.substr(prefix.size()));
    return replies;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(QvapplyEndToEnd, ShowsTheDirectoryTheFileAndTheProgress)
{
    TempDir dir;
    mkdir((dir / "sp").c_str(), 0755);
    QvapplyRun run(dir,
                   "callback 7 text APP.EXE\n"
                   "callback 5 value 0x4000\n"
                   "touch " +
                       dir / "s1\npump-until " +
                       dir /
                           "g1\n"
                           "callback 5 value 0x6000\n"
                           "touch " +
                       dir / "s2\npump-until " +
                       dir /
                           "g2\n"
                           "callback 5 value 0x8000\n"
                           "callback 8\n"
                           "callback 5 value 3277\n"
                           "touch " +
                       dir / "s3\npump-until " + dir / "g3\n");
    run.Start({dir / "app", dir / "sp/UPDATE.PAT"});

    ASSERT_TRUE(run.WaitForFile("s1"));
    EXPECT_TRUE(run.WaitForFrame([](const std::vector<std::string>& f) { return Contains(f[3], "  50%"); }));
    std::vector<std::string> frame = run.Frame();
    ASSERT_EQ(frame.size(), 5u);
    EXPECT_EQ(frame[1], "      Updating Quorvane at: " + dir / "app");
    EXPECT_EQ(frame[2], "      File: APP.EXE");
    EXPECT_TRUE(Contains(frame[4], "[ Cancel ]"));
    Touch(dir / "g1");

    ASSERT_TRUE(run.WaitForFile("s2"));
    EXPECT_TRUE(run.WaitForFrame([](const std::vector<std::string>& f) { return Contains(f[3], "  75%"); }));
    Touch(dir / "g2");

    // After the file is done the line holds one blank; 10 % then steps from 0 by -90.
    ASSERT_TRUE(run.WaitForFile("s3"));
    EXPECT_TRUE(run.WaitForFrame([](const std::vector<std::string>& f) {
        return f[2] == "      File:  " && Contains(f[3], "  10%");
    })) << ::testing::PrintToString(run.Frame());
    Touch(dir / "g3");

    EXPECT_EQ(run.ExitCode(), 1);
    std::vector<std::string> record = run.Record();
    ASSERT_GE(record.size(), 2u);
    EXPECT_EQ(record[0], "cmdline " + dir / "app" + " " + dir / "sp/UPDATE.PAT");
    EXPECT_EQ(record[1], "flags 1");
    ASSERT_TRUE(Exists(dir / "sp/qvsp.log"));
    EXPECT_EQ(ReadFile(dir / "sp/qvsp.log"), "");
}

TEST(QvapplyEndToEnd, CtrlCCancelsAtTheNextStopQueryAndTheWindowStays)
{
    TempDir dir;
    QvapplyRun run(dir,
                   "callback 21\n"
                   "touch " +
                       dir / "s1\npump-until " +
                       dir /
                           "g1\n"
                           "callback 21\ncallback 21\ncallback 21\n"
                           "touch " +
                       dir / "s2\npump-until " + dir / "g2\n");
    run.Start({dir / "app", dir / "UPDATE.PAT"});
    ASSERT_TRUE(run.WaitForFile("s1"));
    run.Type("\x03");
    ASSERT_TRUE(run.WaitForPumps("g1"));
    Touch(dir / "g1");

    ASSERT_TRUE(run.WaitForFile("s2"));
    EXPECT_TRUE(run.Running());
    Touch(dir / "g2");

    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_EQ(RepliesTo(run.Record(), 21), (std::vector<std::string>{"empty", "null", "null", "null"}));
    EXPECT_EQ(ReadFile(dir / "qvsp.log"), kCancelText);
}

TEST(QvapplyEndToEnd, TermAndHangupActAsCancelWithoutEndingTheProcess)
{
    TempDir dir;
    QvapplyRun run(dir, "touch " + dir / "s1\npump-until " +
                            dir /
                                "g1\n"
                                "callback 21\ncallback 21\n");
    run.Start({dir / "app", dir / "UPDATE.PAT"}, QvapplyRun::Output::File);
    ASSERT_TRUE(run.WaitForFile("s1"));
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.WaitForPumps("g1"));
    run.Signal(SIGHUP);
    ASSERT_TRUE(run.WaitForPumps("g1"));
    EXPECT_TRUE(run.Running());
    Touch(dir / "g1");

    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_EQ(RepliesTo(run.Record(), 21), (std::vector<std::string>{"null", "null"}));
    // One copy per processed Cancel, back to back.
    EXPECT_EQ(ReadFile(dir / "qvsp.log"), std::string(kCancelText) + kCancelText);
    // Nothing is drawn when stderr is not a terminal.
    EXPECT_EQ(run.Stderr(), "");
}

TEST(QvapplyEndToEnd, ExitCodeIsZeroAfterAFailureOrACancel)
{
    {
        TempDir dir;
        QvapplyRun run(dir, "callback 21\nreturn 3\n");
        run.Start({dir / "app", dir / "UPDATE.PAT"}, QvapplyRun::Output::File);
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_EQ(ReadFile(dir / "qvsp.log"), "");
    }
    {
        // The library completes, but the user cancelled during the call.
        TempDir dir;
        QvapplyRun run(dir, "signal INT\ncallback 0\nreturn 0\n");
        run.Start({dir / "app", dir / "UPDATE.PAT"}, QvapplyRun::Output::File);
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_EQ(ReadFile(dir / "qvsp.log"), kCancelText);
    }
}

TEST(QvapplyEndToEnd, AnOlderLogIsEmptiedAtStart)
{
    TempDir dir;
    WriteFile(dir / "qvsp.log", "an earlier run's text");
    QvapplyRun run(dir, "return 0\n");
    run.Start({dir / "app", dir / "UPDATE.PAT"}, QvapplyRun::Output::File);
    EXPECT_EQ(run.ExitCode(), 1);
    EXPECT_EQ(ReadFile(dir / "qvsp.log"), "");
}

TEST(QvapplyEndToEnd, WithoutAPatchPathNoLibraryIsCalled)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"/opt/q"}, std::vector<std::string>{"/opt/q", ""}}) {
        TempDir dir;
        QvapplyRun run(dir, "return 0\n");
        run.Start(args, QvapplyRun::Output::File, dir.path());
        EXPECT_EQ(run.ExitCode(), 0) << args.size();
        EXPECT_FALSE(run.LibraryCalled()) << args.size();
        EXPECT_FALSE(Exists(dir / "qvsp.log")) << args.size();
    }
}

TEST(QvapplyEndToEnd, LogPathFollowsTheSplit)
{
    {
        // No separator in the patch path: the log goes to the current directory.
        TempDir dir;
        QvapplyRun run(dir, "return 0\n");
        run.Start({"/opt/q", "UPDATE.PAT"}, QvapplyRun::Output::File, dir.path());
        EXPECT_EQ(run.ExitCode(), 1);
        EXPECT_TRUE(Exists(dir / "qvsp.log"));
        EXPECT_EQ(run.Record()[0], "cmdline /opt/q UPDATE.PAT");
    }
    {
        // An empty word makes two blanks: the second stays at the front of the log path.
        TempDir dir;
        mkdir((dir / " sp").c_str(), 0755);
        QvapplyRun run(dir, "return 0\n");
        run.Start({"/opt/q", "", "sp/UPDATE.PAT"}, QvapplyRun::Output::File, dir.path());
        EXPECT_EQ(run.ExitCode(), 1);
        EXPECT_TRUE(Exists(dir / " sp/qvsp.log"));
        EXPECT_EQ(run.Record()[0], "cmdline /opt/q  sp/UPDATE.PAT");
    }
    {
        // Extra words take part in the search for the last separator.
        TempDir dir;
        mkdir((dir / "a b").c_str(), 0755);
        QvapplyRun run(dir, "return 0\n");
        run.Start({"/opt/q", dir / "a", "b/extra"}, QvapplyRun::Output::File);
        EXPECT_EQ(run.ExitCode(), 1);
        EXPECT_TRUE(Exists(dir / "a b/qvsp.log"));
    }
}

TEST(QvapplyEndToEnd, LongCommandLinesArePassedWhole)
{
    TempDir dir;
    std::string deep = dir.path();
    for (int i = 0; i < 4; ++i) {
        deep += "/" + std::string(100, static_cast<char>('a' + i));
        mkdir(deep.c_str(), 0755);
    }
    std::string target = "/opt/" + std::string(200, 't');
    QvapplyRun run(dir, "return 0\n");
    run.Start({target, deep + "/UPDATE.PAT"}, QvapplyRun::Output::File);
    EXPECT_EQ(run.ExitCode(), 1);
    std::string commandLine = target + " " + deep + "/UPDATE.PAT";
    ASSERT_GE(commandLine.size(), 500u);
    EXPECT_EQ(run.Record()[0], "cmdline " + commandLine);
    EXPECT_TRUE(Exists(deep + "/qvsp.log"));
}

TEST(QvapplyEndToEnd, RunsOnWithoutALogWhenItCannotBeOpened)
{
    TempDir dir;
    QvapplyRun run(dir, "signal INT\ncallback 0\ncallback 21\nreturn 0\n");
    run.Start({dir / "app", dir / "missing/UPDATE.PAT"}, QvapplyRun::Output::File);
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_EQ(RepliesTo(run.Record(), 21), std::vector<std::string>{"null"});
    EXPECT_FALSE(Exists(dir / "missing"));
}

TEST(QvapplyEndToEnd, ALogThatIsNotAPlainFileIsLeftAloneAndTheRunGoesOn)
{
    // A link to someone's file, a pipe nobody reads, a directory: none is opened or emptied.
    for (int kind = 0; kind < 3; ++kind) {
        TempDir dir;
        WriteFile(dir / "precious.txt", "not a log");
        std::string log = dir / "qvsp.log";
        if (kind == 0)
            ASSERT_EQ(symlink((dir / "precious.txt").c_str(), log.c_str()), 0);
        else if (kind == 1)
            ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
        else
            ASSERT_EQ(mkdir(log.c_str(), 0755), 0);
        // Someone reading the pipe: a writer that opened it, even for a moment, would show.
        int reader = kind == 1 ? open(log.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        QvapplyRun run(dir, "signal INT\ncallback 0\ncallback 21\nreturn 0\n");
        run.Start({dir / "app", dir / "UPDATE.PAT"}, QvapplyRun::Output::File);
        EXPECT_EQ(run.ExitCode(), 0) << kind;
        if (reader >= 0) {
            pollfd waiting{reader, POLLIN, 0};
            EXPECT_EQ(poll(&waiting, 1, 0), 0) << "the pipe was opened by qvapply";
            close(reader);
        }
        EXPECT_EQ(RepliesTo(run.Record(), 21), std::vector<std::string>{"null"}) << kind;
        EXPECT_EQ(ReadFile(dir / "precious.txt"), "not a log") << kind;
    }
}

TEST(QvapplyEndToEnd, DoesNotStartWithoutTheLibrary)
{
    TempDir dir;
    std::string alone = dir / "qvapply";
    ASSERT_EQ(std::system(("cp '" + std::string(QVAPPLY_PATH) + "' '" + alone + "'").c_str()), 0);
    QvapplyRun run(dir, "return 0\n");
    run.Start({dir / "app", dir / "UPDATE.PAT"}, QvapplyRun::Output::File, "", alone);
    EXPECT_NE(run.ExitCode(), 1);
    EXPECT_FALSE(run.LibraryCalled());
    EXPECT_FALSE(Exists(dir / "qvsp.log"));
    EXPECT_TRUE(Contains(run.Stderr(), "libpatchw32.so")) << run.Stderr();
}

}  // namespace
