// qvapply from end to end on Windows (run under Wine): the real program with its real progress
// window, against the scripted test library, driven by the window helper.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <fstream>
#include <sstream>
#include <functional>
#include <string>
#include <vector>

#include "winprobe.h"
#include "wine_support.h"

using namespace wine;

namespace {

const char kCaption[] = "Updating Quorvane";
const char kCancelText[] = "CANCEL BUTTON PUSHED.  ABORTING QUORVANE UPDATE!";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs = 15000)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (static_cast<int>(GetTickCount() - start) > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

bool WaitForFile(const std::string& path, int timeoutMs = 15000)
{
    return WaitFor([&] { return Exists(path); }, timeoutMs);
}

// Waits until the library, pumping until the gate opens, has called back twice more: the window
// has then handled whatever was sent to it before.
bool WaitForPumps(const std::string& gate)
{
    auto count = [&] {
        std::string text = ReadFile(gate + ".pumps");
        return text.empty() ? 0L : std::atol(text.c_str());
    };
    long from = count();
    return WaitFor([&] { return count() >= from + 2; });
}

class TempDir {
public:
    TempDir()
    {
        static int counter = 0;
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        path_ = std::string(base) + "qvwine-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~TempDir() { RemoveTree(path_); }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// One run of qvapply against the test library's script, in a temporary directory.
class QvapplyRun {
public:
    QvapplyRun(const TempDir& dir, const std::string& script) : dir_(dir)
    {
        WriteFile(dir / "script.txt", script);
        SetEnvironmentVariableA("QVTEST_SCRIPT", (dir / "script.txt").c_str());
        SetEnvironmentVariableA("QVTEST_RECORD", (dir / "record.txt").c_str());
    }

    void Start(const std::string& arguments, const std::string& program = ModuleDir() + "\\qvapply.exe")
    {
        wine::Start(process_, "\"" + program + "\" " + arguments, dir_.path());
        ASSERT_TRUE(process_.started) << GetLastError();
    }

    HWND Window() { return winprobe::WaitForWindow(kCaption, process_.info.dwProcessId, 10000); }
    DWORD ExitCode() { return process_.ExitCode(); }
    bool Running() { return process_.Running(); }
    std::vector<std::string> Record() { return Lines(ReadFile(dir_ / "record.txt")); }
    bool LibraryCalled() { return Exists(dir_ / "record.txt"); }
    DWORD ProcessId() const { return process_.info.dwProcessId; }

private:
    const TempDir& dir_;
    Process process_;
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

std::string Pause(const TempDir& dir, const std::string& name)
{
    return "touch " + dir / ("s" + name) + "\npump-until " + dir / ("g" + name) + "\n";
}

// Runs the window helper program and returns what it printed.
std::string Winprobe(const TempDir& dir, const std::string& arguments, DWORD* exitCode)
{
    Process p;
    std::string output = dir / "winprobe.out";
    Start(p, "\"" + ModuleDir() + "\\winprobe.exe\" " + arguments, "", output);
    *exitCode = p.started ? p.ExitCode() : 0xDEAD;
    std::string text = ReadFile(output);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

TEST(QvapplyWine, WindowShowsDirectoryFileAndProgress)
{
    TempDir dir;
    CreateDirectoryA((dir / "SP").c_str(), nullptr);
    QvapplyRun run(dir, "callback 7 text APP.EXE\ncallback 5 value 0x4000\n" + Pause(dir, "1") +
                            "callback 5 value 0x6000\n" + Pause(dir, "2") +
                            "callback 5 value 0x8000\ncallback 8\ncallback 5 value 3277\n" + Pause(dir, "3"));
    std::string patch = dir / "SP\\UPDATE.PAT";
    run.Start("C:\\APP " + patch);

    ASSERT_TRUE(WaitForFile(dir / "s1"));
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    DWORD rc = 0;
    EXPECT_EQ(Winprobe(dir, "text \"Updating Quorvane\" 1004", &rc), "C:\\APP");
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(Winprobe(dir, "text \"Updating Quorvane\" 1002", &rc), "APP.EXE");
    EXPECT_EQ(Winprobe(dir, "pos \"Updating Quorvane\" 1000", &rc), "50");
    int pos = -1;
    ASSERT_TRUE(winprobe::ProgressPos(window, 1000, &pos, 5000));
    EXPECT_EQ(pos, 50);

    // The window opens centred in the work area, with the focus on Cancel and its own taskbar
    // button.
    RECT rect, work;
    GetWindowRect(window, &rect);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_NEAR((rect.left + rect.right) / 2, (work.left + work.right) / 2, 1);
    EXPECT_NEAR((rect.top + rect.bottom) / 2, (work.top + work.bottom) / 2, 1);
    EXPECT_TRUE(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui));
    EXPECT_EQ(gui.hwndFocus, GetDlgItem(window, IDCANCEL));

    // Let the window paint itself (nothing left to paint after the callbacks), then keep its
    // picture.
    EXPECT_TRUE(WaitFor([&] { return WaitForPumps(dir / "g1") && !GetUpdateRect(window, nullptr, FALSE); }));
    std::string shot = std::string(QV_ARTIFACTS_DIR) + "\\qvapply-progress.bmp";
    EXPECT_EQ(Winprobe(dir, "shot \"Updating Quorvane\" \"" + shot + "\"", &rc), "");
    EXPECT_EQ(rc, 0u);
    EXPECT_TRUE(Exists(shot));
    WriteFile(dir / "g1", "");

    ASSERT_TRUE(WaitForFile(dir / "s2"));
    ASSERT_TRUE(winprobe::ProgressPos(window, 1000, &pos, 5000));
    EXPECT_EQ(pos, 75);
    WriteFile(dir / "g2", "");

    ASSERT_TRUE(WaitForFile(dir / "s3"));
    EXPECT_EQ(winprobe::ControlText(window, 1002), " ");
    ASSERT_TRUE(winprobe::ProgressPos(window, 1000, &pos, 5000));
    EXPECT_EQ(pos, 10);
    WriteFile(dir / "g3", "");

    EXPECT_EQ(run.ExitCode(), 1u);
    std::vector<std::string> record = run.Record();
    ASSERT_GE(record.size(), 2u);
    EXPECT_EQ(record[0], "cmdline C:\\APP " + patch);
    EXPECT_EQ(record[1], "flags 1");
    EXPECT_TRUE(Exists(dir / "SP\\qvsp.log"));
    EXPECT_EQ(ReadFile(dir / "SP\\qvsp.log"), "");
}

TEST(QvapplyWine, CancelButtonStopsTheLibraryAtItsNextQuery)
{
    TempDir dir;
    QvapplyRun run(dir,
                   "callback 21\n" + Pause(dir, "1") + "callback 21\ncallback 21\ncallback 21\n" + Pause(dir, "2"));
    run.Start("C:\\APP " + dir / "UPDATE.PAT");
    ASSERT_TRUE(WaitForFile(dir / "s1"));
    DWORD rc = 1;
    Winprobe(dir, "press \"Updating Quorvane\" 2", &rc);
    EXPECT_EQ(rc, 0u);
    ASSERT_TRUE(WaitForPumps(dir / "g1"));
    WriteFile(dir / "g1", "");

    // The window stays, and its button stays enabled.
    ASSERT_TRUE(WaitForFile(dir / "s2"));
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, IDCANCEL)));
    WriteFile(dir / "g2", "");

    EXPECT_EQ(run.ExitCode(), 0u);
    EXPECT_EQ(RepliesTo(run.Record(), 21), (std::vector<std::string>{"empty", "null", "null", "null"}));
    EXPECT_EQ(ReadFile(dir / "qvsp.log"), kCancelText);
}

TEST(QvapplyWine, EachClickWritesTheCancelTextOnce)
{
    TempDir dir;
    QvapplyRun run(dir, Pause(dir, "1") + "callback 21\n");
    run.Start("C:\\APP " + dir / "UPDATE.PAT");
    ASSERT_TRUE(WaitForFile(dir / "s1"));
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(winprobe::PressButton(window, IDCANCEL));
    EXPECT_TRUE(winprobe::PressButton(window, IDCANCEL));
    ASSERT_TRUE(WaitForPumps(dir / "g1"));
    WriteFile(dir / "g1", "");
    EXPECT_EQ(run.ExitCode(), 0u);
    EXPECT_EQ(RepliesTo(run.Record(), 21), std::vector<std::string>{"null"});
    EXPECT_EQ(ReadFile(dir / "qvsp.log"), std::string(kCancelText) + kCancelText);
}

TEST(QvapplyWine, CloseBoxActsAsCancelAndTheWindowStays)
{
    TempDir dir;
    QvapplyRun run(dir,
                   Pause(dir, "1") + "callback 21\ncallback 21\ncallback 21\n" + Pause(dir, "2") + "callback 21\n");
    run.Start("C:\\APP " + dir / "UPDATE.PAT");
    ASSERT_TRUE(WaitForFile(dir / "s1"));
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    DWORD rc = 1;
    Winprobe(dir, "close \"Updating Quorvane\"", &rc);
    EXPECT_EQ(rc, 0u);
    ASSERT_TRUE(WaitForPumps(dir / "g1"));
    WriteFile(dir / "g1", "");

    ASSERT_TRUE(WaitForFile(dir / "s2"));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(IsWindowVisible(window));
    WriteFile(dir / "g2", "");

    EXPECT_EQ(run.ExitCode(), 0u);
    EXPECT_EQ(RepliesTo(run.Record(), 21), (std::vector<std::string>{"null", "null", "null", "null"}));
    EXPECT_EQ(ReadFile(dir / "qvsp.log"), kCancelText);
}

TEST(QvapplyWine, ExitCodeAndLogFollowTheRun)
{
    {
        TempDir dir;
        QvapplyRun run(dir, "return 3\n");
        run.Start("C:\\APP " + dir / "UPDATE.PAT");
        EXPECT_EQ(run.ExitCode(), 0u);
        EXPECT_EQ(ReadFile(dir / "qvsp.log"), "");
    }
    {
        // Deeper directories, and an older log emptied.
        TempDir dir;
        CreateDirectoryA((dir / "A").c_str(), nullptr);
        CreateDirectoryA((dir / "A\\B").c_str(), nullptr);
        WriteFile(dir / "A\\B\\qvsp.log", "an earlier run's text");
        QvapplyRun run(dir, "return 0\n");
        run.Start("C:\\APP " + dir / "A\\B\\C.PAT");
        EXPECT_EQ(run.ExitCode(), 1u);
        EXPECT_EQ(ReadFile(dir / "A\\B\\qvsp.log"), "");
    }
    {
        // A second item ending in a backslash.
        TempDir dir;
        CreateDirectoryA((dir / "KIT").c_str(), nullptr);
        QvapplyRun run(dir, "return 0\n");
        run.Start("C:\\APP " + dir / "KIT\\");
        EXPECT_EQ(run.ExitCode(), 1u);
        EXPECT_TRUE(Exists(dir / "KIT\\qvsp.log"));
        EXPECT_EQ(run.Record()[0], "cmdline C:\\APP " + dir / "KIT\\");
    }
    {
        // No patch path: no library call, no log, exit code 0.
        TempDir dir;
        QvapplyRun run(dir, "return 0\n");
        run.Start("C:\\APP");
        EXPECT_EQ(run.ExitCode(), 0u);
        EXPECT_FALSE(run.LibraryCalled());
        EXPECT_FALSE(Exists(dir / "qvsp.log"));
    }
}

TEST(QvapplyWine, DoesNotStartWithoutTheLibrary)
{
    // The loader's failure is reported to us, not in a system dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    TempDir dir;
    std::string alone = dir / "qvapply.exe";
    ASSERT_TRUE(CopyFileA((ModuleDir() + "\\qvapply.exe").c_str(), alone.c_str(), FALSE));
    QvapplyRun run(dir, "return 0\n");
    Process p;
    Start(p, "\"" + alone + "\" C:\\APP " + dir / "UPDATE.PAT", dir.path());
    if (p.started) {
        DWORD code = p.ExitCode();
        EXPECT_NE(code, 1u);
        EXPECT_NE(code, 0u);
    }
    EXPECT_FALSE(run.LibraryCalled());
    EXPECT_FALSE(Exists(dir / "qvsp.log"));
}

}  // namespace
