// setup from end to end on Windows (run under Wine): the real stub in real kits, a recording
// installer of our own, the registry value set with reg.exe, and message boxes read and dismissed
// by the window helper.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "winprobe.h"
#include "wine_support.h"

using namespace wine;

namespace {

std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// Runs a program to its end; returns its exit code.
DWORD RunToEnd(const std::string& commandLine)
{
    wine::Process p;
    wine::Start(p, commandLine);
    return p.ExitCode();
}

const char kLanguageKey[] = "HKCU\\Software\\Orvanto\\Quorvane\\Interface Language";

void SetRegistryLanguage(const std::string& value)
{
    ASSERT_EQ(RunToEnd("reg.exe add \"" + std::string(kLanguageKey) + "\" /ve /d " + value + " /f"), 0u);
}

void ClearRegistryLanguage() { RunToEnd("reg.exe delete \"" + std::string(kLanguageKey) + "\" /f"); }

// A kit in a directory whose name holds a blank: kit\ with the stub, its settings, the help file
// and the language directories; work\QVSETUP.TMP with the resting installer.
class Kit {
public:
    Kit()
    {
        static int counter = 0;
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        root_ =
            std::string(base) + "qv setup " + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        kit_ = root_ + "\\kit";
        work_ = root_ + "\\work";
        CreateDirectoryA(root_.c_str(), nullptr);
        CreateDirectoryA(kit_.c_str(), nullptr);
        CreateDirectoryA(work_.c_str(), nullptr);
        CreateDirectoryA(Staging().c_str(), nullptr);
        CopyFileA((ModuleDir() + "\\setup.exe").c_str(), (kit_ + "\\SETUP.EXE").c_str(), FALSE);
        CopyFileA((ModuleDir() + "\\test_installer.exe").c_str(), (Staging() + "\\ISETUP.EXE").c_str(), FALSE);
        WriteFile(kit_ + "\\QVGSW.HLP", "help of the kit");
        SetEnvironmentVariableA("QVTEST_INSTALLER_RECORD", (root_ + "\\installer.txt").c_str());
    }
    ~Kit() { RemoveTree(root_); }

    void Language(const std::string& code)
    {
        std::string dir = kit_ + "\\" + code;
        CreateDirectoryA(dir.c_str(), nullptr);
        for (const char* file : {"_SETUP.DLL", "_SETUP.LIB", "QVSETRES.DLL", "SCN.TXT"})
            WriteFile(dir + "\\" + file, std::string(file) + " " + code);
    }

    void Settings(const std::string& text) { WriteFile(kit_ + "\\SETUP.INI", text); }

    // Starts the stub from the working directory; with glued, the arguments follow the quoted
    // program name without a blank.
    void Start(const std::string& arguments, bool glued = false)
    {
        std::string commandLine =
            "\"" + kit_ + "\\SETUP.EXE\"" + (arguments.empty() ? "" : (glued ? "" : " ") + arguments);
        ASSERT_TRUE(wine::Start(process_, commandLine, work_));
    }

    DWORD ExitCode() { return process_.ExitCode(); }

    DWORD Run(const std::string& arguments = "")
    {
        Start(arguments);
        return ExitCode();
    }

    // Reads the one message box the stub shows, presses OK, and checks that no second one follows.
    void ExpectOneMessage(const std::string& caption, const std::string& text)
    {
        std::string shownCaption, shownText;
        HWND box = winprobe::WaitForMessageBox(process_.info.dwProcessId, 15000, &shownCaption, &shownText);
        ASSERT_NE(box, nullptr) << "no message box";
        EXPECT_EQ(shownCaption, caption);
        EXPECT_EQ(shownText, text);
        EXPECT_TRUE(winprobe::PressButton(box, IDOK));
        EXPECT_EQ(ExitCode(), 1u);
        std::string more, moreText;
        EXPECT_EQ(winprobe::WaitForMessageBox(0, 300, &more, &moreText), nullptr);
    }

    std::map<std::string, std::string> Installer()
    {
        std::string path = root_ + "\\installer.txt";
        for (int i = 0; i < 1000 && !Exists(path); ++i)
            Sleep(10);
        std::map<std::string, std::string> record;
        std::string text = ReadFile(path);
        size_t ini = text.find("ini ");
        record["ini"] = ini == std::string::npos ? "" : text.substr(ini + 4);
        std::istringstream lines(text.substr(0, ini));
        for (std::string line; std::getline(lines, line);)
            record[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
        // Wine's process start puts quotes around a program path that holds blanks; Windows passes
        // the line as it was given.
        std::string& commandLine = record["cmdline"];
        size_t close = commandLine.find('"', 1);
        if (!commandLine.empty() && commandLine[0] == '"' && close != std::string::npos)
            commandLine = commandLine.substr(1, close - 1) + commandLine.substr(close + 1);
        return record;
    }

    // Whether the installer was started: its record appears soon after the stub ends when it
    // was; a run that did not start it is given a while to be sure.
    bool InstallerStarted()
    {
        for (int i = 0; i < 50 && !Exists(root_ + "\\installer.txt"); ++i)
            Sleep(10);
        return Exists(root_ + "\\installer.txt");
    }

    std::string Staging() const { return work_ + "\\QVSETUP.TMP"; }
    std::string Staged(const std::string& name) const { return ReadFile(Staging() + "\\" + name); }
    const std::string& kit() const { return kit_; }
    const std::string& work() const { return work_; }

private:
    std::string root_, kit_, work_;
    wine::Process process_;
};

TEST(SetupWine, StagesHandsOffAndStartsTheInstaller)
{
    ClearRegistryLanguage();
    Kit kit;
    kit.Language("DE");
    kit.Language("US");
    EXPECT_EQ(kit.Run("/l-de -silent"), 1u);
    auto installer = kit.Installer();
    EXPECT_EQ(installer["cmdline"], kit.Staging() + "\\SETUP.EXE /L-DE -SILENT");
    EXPECT_EQ(installer["cwd"], kit.Staging());
    EXPECT_EQ(installer["ini"],
              "[Stub]\r\nCleanup=" + kit.kit() + "\\CLEANUP.EXE\r\nCurrentDirectory=" + kit.kit() + "\r\n");
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL DE");
    EXPECT_EQ(kit.Staged("QVGSW.HLP"), "help of the kit");
    EXPECT_TRUE(Exists(kit.Staging() + "\\ISETUP.EXE"));
    EXPECT_FALSE(Exists(kit.Staging() + "\\SETUP.EXE"));
}

TEST(SetupWine, ArgumentsRightAfterTheQuotedProgramNameAreKept)
{
    // "C:\kit\setup.exe"/l-de /x: the program name ends at its closing quote.
    ClearRegistryLanguage();
    Kit kit;
    kit.Language("DE");
    kit.Language("US");
    kit.Start("/l-de /x", true);
    EXPECT_EQ(kit.ExitCode(), 1u);
    EXPECT_EQ(kit.Installer()["cmdline"], kit.Staging() + "\\SETUP.EXE /L-DE /X");
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL DE");
}

TEST(SetupWine, AnEmptyArgumentStringEndsTheCommandLineWithOneBlank)
{
    ClearRegistryLanguage();
    Kit kit;
    kit.Language("US");
    EXPECT_EQ(kit.Run(), 1u);
    EXPECT_EQ(kit.Installer()["cmdline"], kit.Staging() + "\\SETUP.EXE ");
}

TEST(SetupWine, RegistryValueComesBeforeTheUsersLanguage)
{
    Kit kit;
    kit.Language("US");
    kit.Language("fr");
    SetRegistryLanguage("fr");
    EXPECT_EQ(kit.Run("/L-XX"), 1u);
    ClearRegistryLanguage();
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL fr");
    EXPECT_EQ(kit.Installer()["cmdline"], kit.Staging() + "\\SETUP.EXE /L-XX");
}

TEST(SetupWine, DefaultLangThenTheScan)
{
    ClearRegistryLanguage();
    LANGID user = GetUserDefaultLangID();
    if ((user & 0x3FF) == 0x13 || (user & 0x3FF) == 0x0A)
        GTEST_SKIP() << "the user's language is one of this test's";
    Kit kit;
    kit.Language("NL");
    kit.Language("ES");
    kit.Settings("[Stub]\r\nDefaultLang=nl\r\n");
    EXPECT_EQ(kit.Run(), 1u);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL NL");

    kit.Settings("[Stub]\r\nDefaultLang=\r\n");
    CreateDirectoryA((kit.work() + "\\LANG_ES").c_str(), nullptr);
    EXPECT_EQ(kit.Run(), 1u);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL ES");
}

TEST(SetupWine, NoValidLanguageShowsOneMessageBox)
{
    ClearRegistryLanguage();
    Kit kit;
    CreateDirectoryA((kit.kit() + "\\XX").c_str(), nullptr);
    kit.Settings("[Stub]\r\nDefaultLang=\r\n");
    kit.Start("/L-XX");
    kit.ExpectOneMessage("Setup Error", "Cannot find valid setup language");
    EXPECT_EQ(Names(kit.Staging()), std::vector<std::string>{"ISETUP.EXE"});
}

TEST(SetupWine, CopyFailureShowsTheConfiguredTextAndCaption)
{
    ClearRegistryLanguage();
    Kit kit;
    kit.Language("US");
    DeleteFileA((kit.kit() + "\\US\\SCN.TXT").c_str());
    kit.Settings(
        "[Stub]\r\nDefaultLang=US\r\nERRFileCopy=The setup files could not be staged.\r\n"
        "ERRMsgTitle=Quorvane Setup\r\n");
    kit.Start("/L-US");
    kit.ExpectOneMessage("Quorvane Setup", "The setup files could not be staged.");
    EXPECT_EQ(Names(kit.Staging()),
              (std::vector<std::string>{"ISETUP.EXE", "QVSETRES.DLL", "_SETUP.DLL", "_SETUP.LIB"}));
    EXPECT_FALSE(kit.InstallerStarted());
}

TEST(SetupWine, LaunchFailureShowsItsMessageThenClearsTheStagingDirectory)
{
    ClearRegistryLanguage();
    Kit kit;
    kit.Language("US");
    DeleteFileA((kit.Staging() + "\\ISETUP.EXE").c_str());
    std::string hidden = kit.Staging() + "\\HIDDEN.DAT";
    WriteFile(hidden, "stays");
    SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
    kit.Start("/L-US");
    // While the message is up, nothing has been cleared yet.
    std::string caption, text;
    HWND box = winprobe::WaitForMessageBox(0, 15000, &caption, &text);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(caption, "Setup Error");
    EXPECT_EQ(text, "Error occurred trying to run setup");
    EXPECT_TRUE(Exists(kit.Staging() + "\\_SETUP.DLL"));
    winprobe::PressButton(box, IDOK);
    EXPECT_EQ(kit.ExitCode(), 1u);
    EXPECT_EQ(Names(kit.Staging()), std::vector<std::string>{"HIDDEN.DAT"});
}

TEST(SetupWine, AnEmptyStagingNameIsRefused)
{
    ClearRegistryLanguage();
    Kit kit;
    kit.Language("US");
    WriteFile(kit.work() + "\\SETUP.INI", "[Stub]\r\nTempDirName=\r\n");
    kit.Start("/L-US");
    kit.ExpectOneMessage("Setup Error", "Cannot set up temporary directory");
    EXPECT_TRUE(Exists(kit.work() + "\\SETUP.INI"));
}

// Run by its own test entry, under a German locale (see tests/wine/CMakeLists.txt).
TEST(SetupWineLocale, UsersLanguageComesFromTheLocale)
{
    if (std::getenv("QVTEST_GERMAN_LOCALE") == nullptr)
        GTEST_SKIP() << "runs in the German-locale entry only";
    ASSERT_EQ(GetUserDefaultLangID(), 0x0407);
    ClearRegistryLanguage();
    Kit kit;
    kit.Language("DE");
    kit.Language("US");
    EXPECT_EQ(kit.Run(), 1u);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL DE");
}

}  // namespace
