// setup from end to end on Linux: the real program in real kits made in temporary directories,
// starting a recording installer of our own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

using namespace e2e;

namespace {

// A kit beside a working directory: root/kit holds the stub, its settings, the help file and the
// language directories; root/work holds the staging directory with the resting installer.
class Kit {
public:
    explicit Kit(const std::string& name = "kit") : kit_(dir_ / name), work_(dir_ / "work")
    {
        mkdir(kit_.c_str(), 0755);
        mkdir(work_.c_str(), 0755);
        mkdir(Staging().c_str(), 0755);
        Copy(SETUP_PATH, kit_ + "/setup");
        Copy(INSTALLER_PATH, Staging() + "/ISETUP.EXE");
        WriteFile(kit_ + "/QVGSW.HLP", "help of the kit");
        env_["XDG_CONFIG_HOME"] = dir_ / "config";
        env_["LANG"] = "C";
        env_["QVTEST_INSTALLER_RECORD"] = dir_ / "installer.txt";
    }

    void Language(const std::string& code)
    {
        std::string dir = kit_ + "/" + code;
        mkdir(dir.c_str(), 0755);
        for (const char* file : {"_SETUP.DLL", "_SETUP.LIB", "QVSETRES.DLL", "SCN.TXT"})
            WriteFile(dir + "/" + file, std::string(file) + " " + code);
    }

    void Registry(const std::string& value)
    {
        std::system(("mkdir -p '" + dir_ / "config/Orvanto/Quorvane" + "'").c_str());
        WriteFile(dir_ / "config/Orvanto/Quorvane/Interface Language", value + "\n");
    }

    void Settings(const std::string& text) { WriteFile(kit_ + "/SETUP.INI", text); }
    // Runs another copy of the stub, or from another working directory.
    void Program(const std::string& path) { program_ = path; }
    void WorkingDirectory(const std::string& path) { cwd_ = path; }
    std::string Root() const { return dir_.path(); }
    void Env(const std::string& name, const std::string& value) { env_[name] = value; }

    // Runs the stub from the working directory; returns its exit code.
    int Run(const std::vector<std::string>& args = {})
    {
        pid_t pid = fork();
        if (pid == 0) {
            for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG"})
                unsetenv(v);
            for (const auto& [name, value] : env_)
                setenv(name.c_str(), value.c_str(), 1);
            int err = open((dir_ / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            if (chdir((cwd_.empty() ? work_ : cwd_).c_str()) != 0)
                _exit(126);
            std::vector<char*> argv;
            std::string program = program_.empty() ? kit_ + "/setup" : program_;
            argv.push_back(program.data());
            std::vector<std::string> copies = args;
            for (auto& a : copies)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // What the installer recorded, once it has run (it runs on after the stub has ended).
    std::map<std::string, std::string> Installer()
    {
        std::string path = dir_ / "installer.txt";
        for (int i = 0; i < 500 && !Exists(path); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::map<std::string, std::string> record;
        std::string text = ReadFile(path);
        size_t ini = text.find("ini ");
        record["ini"] = ini == std::string::npos ? "" : text.substr(ini + 4);
        for (const std::string& line : Lines(text.substr(0, ini)))
            record[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
        return record;
    }

    // Whether the installer was started: its record appears soon after the stub ends when it
    // was; a run that did not start it is given a while to be sure.
    bool InstallerStarted()
    {
        std::string path = dir_ / "installer.txt";
        for (int i = 0; i < 30 && !Exists(path); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return Exists(path);
    }

    std::string Messages() { return ReadFile(dir_ / "stderr.txt"); }
    std::string Staging() const { return work_ + "/QVSETUP.TMP"; }
    std::string Staged(const std::string& name) const { return ReadFile(Staging() + "/" + name); }
    std::vector<std::string> StagedNames() const
    {
        std::string list = dir_ / "list.txt";
        std::system(("ls -A '" + Staging() + "' > '" + list + "'").c_str());
        return Lines(ReadFile(list));
    }
    const std::string& kit() const { return kit_; }
    const std::string& work() const { return work_; }

private:
    static void Copy(const std::string& from, const std::string& to)
    {
        std::system(("cp '" + from + "' '" + to + "'").c_str());
    }

    TempDir dir_;
    std::string kit_;
    std::string work_;
    std::string program_, cwd_;
    std::map<std::string, std::string> env_;
};

TEST(SetupEndToEnd, AKitWithoutSettingsRunsOnTheDefaults)
{
    Kit kit;
    kit.Language("US");
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Messages(), "");
    auto installer = kit.Installer();
    EXPECT_EQ(installer["cmdline"], kit.Staging() + "/SETUP.EXE");
    EXPECT_EQ(installer["cwd"], kit.Staging());
    EXPECT_EQ(installer["ini"],
              "[Stub]\r\nCleanup=" + kit.kit() + "/CLEANUP.EXE\r\nCurrentDirectory=" + kit.kit() + "\r\n");
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL US");
    EXPECT_EQ(kit.Staged("QVSETRES.DLL"), "QVSETRES.DLL US");
    EXPECT_EQ(kit.Staged("QVGSW.HLP"), "help of the kit");
    // The installer rests under its resting name again.
    EXPECT_TRUE(Exists(kit.Staging() + "/ISETUP.EXE"));
    EXPECT_FALSE(Exists(kit.Staging() + "/SETUP.EXE"));
}

TEST(SetupEndToEnd, EachLanguageSourceWinsInItsTurn)
{
    struct Turn {
        const char* source;
        std::vector<std::string> args;
        std::string expected;
    };
    // Each turn takes away the source that won the turn before.
    Kit kit;
    for (const char* code : {"DE", "FR", "IT", "NL", "ES"})
        kit.Language(code);
    kit.Registry("FR");
    kit.Env("LANG", "it_IT.UTF-8");
    kit.Settings("[Stub]\r\nDefaultLang=NL\r\n");
    mkdir((kit.work() + "/LANG_ES").c_str(), 0755);

    EXPECT_EQ(kit.Run({"/l-de"}), 1);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL DE") << "switch";
    EXPECT_EQ(kit.Installer()["cmdline"], kit.Staging() + "/SETUP.EXE /L-DE");

    EXPECT_EQ(kit.Run({"/l-xx"}), 1);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL FR") << "registry";

    kit.Registry("DEU");  // too long: no value
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL IT") << "user language";

    kit.Env("LANG", "el_GR.UTF-8");  // Greek has no setup language
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL NL") << "DefaultLang";

    kit.Settings("[Stub]\r\nDefaultLang=\r\n");
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL ES") << "scan";
    EXPECT_EQ(kit.Messages(), "");
}

TEST(SetupEndToEnd, ArgumentsReachTheInstallerUpperCasedWithTheSwitch)
{
    Kit kit("kit with blanks");
    kit.Language("de");
    EXPECT_EQ(kit.Run({"/l-DE", "-silent", "mode=quiet"}), 1);
    auto installer = kit.Installer();
    EXPECT_EQ(installer["cmdline"], kit.Staging() + "/SETUP.EXE /L-DE -SILENT MODE=QUIET");
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL de");
    EXPECT_NE(installer["ini"].find("CurrentDirectory=" + kit.kit() + "\r\n"), std::string::npos);
}

TEST(SetupEndToEnd, NoValidLanguageShowsOneMessageAndWritesNothing)
{
    Kit kit;
    mkdir((kit.kit() + "/XX").c_str(), 0755);
    kit.Settings("[Stub]\r\nDefaultLang=\r\n");
    EXPECT_EQ(kit.Run({"/L-XX"}), 1);
    EXPECT_EQ(kit.Messages(), "Setup Error: Cannot find valid setup language\n");
    EXPECT_EQ(kit.StagedNames(), std::vector<std::string>{"ISETUP.EXE"});
    EXPECT_FALSE(kit.InstallerStarted());
}

TEST(SetupEndToEnd, CopyFailuresShowTheConfiguredTextAndLeaveTheCopies)
{
    Kit kit;
    kit.Language("US");
    unlink((kit.kit() + "/US/SCN.TXT").c_str());
    kit.Settings("[Stub]\r\nERRFileCopy=The setup files could not be staged.\r\nERRMsgTitle=Quorvane Setup\r\n");
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Messages(), "Quorvane Setup: The setup files could not be staged.\n");
    EXPECT_EQ(kit.StagedNames(), (std::vector<std::string>{"ISETUP.EXE", "QVSETRES.DLL", "_SETUP.DLL", "_SETUP.LIB"}));
    EXPECT_FALSE(kit.InstallerStarted());
}

TEST(SetupEndToEnd, AMissingStagingDirectoryIsACopyFailure)
{
    Kit kit;
    kit.Language("US");
    std::system(("rm -rf '" + kit.Staging() + "'").c_str());
    kit.Settings("[Stub]\r\nERRMsgTitle=\r\n");
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Messages(), ": Error occurred copying file to temporary directory\n");
}

TEST(SetupEndToEnd, AnEmptyStagingNameIsRefused)
{
    Kit kit;
    kit.Language("US");
    WriteFile(kit.work() + "/SETUP.INI", "[Stub]\r\nTempDirName=\r\n");
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Messages(), "Setup Error: Cannot set up temporary directory\n");
    EXPECT_TRUE(Exists(kit.work() + "/SETUP.INI"));
}

TEST(SetupEndToEnd, ALaunchFailureClearsTheStagingDirectorysPlainFiles)
{
    Kit kit;
    kit.Language("US");
    unlink((kit.Staging() + "/ISETUP.EXE").c_str());
    WriteFile(kit.Staging() + "/.hidden", "stays");
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Messages(), "Setup Error: Error occurred trying to run setup\n");
    // The staging directory was current, so it stays, emptied of its plain files.
    EXPECT_EQ(kit.StagedNames(), std::vector<std::string>{".hidden"});
    EXPECT_TRUE(Exists(kit.kit() + "/US/_SETUP.DLL"));
    EXPECT_FALSE(kit.InstallerStarted());
}

TEST(SetupEndToEnd, AStubDeeperThanTheBufferUsesTheCurrentDirectoryNotACutPath)
{
    // The stub's path is longer than 259 characters; cut, it would name a directory above the
    // stub's. The current directory (the working directory, with the kit's files) stands in.
    Kit kit;
    std::string deep = kit.Root() + "/" + std::string(120, 'a') + "/" + std::string(120, 'b');
    ASSERT_EQ(std::system(("mkdir -p '" + deep + "' && cp '" + kit.kit() + "/setup' '" + deep + "/setup'").c_str()), 0);
    WriteFile(kit.Root() + "/" + std::string(120, 'a') + "/SETUP.INI", "[Stub]\r\nERRNoValLang=from above\r\n");
    kit.Program(deep + "/setup");
    ASSERT_EQ(
        std::system(
            ("mkdir -p '" + kit.work() + "/US' && cp -r '" + kit.kit() + "/QVGSW.HLP' '" + kit.work() + "/'").c_str()),
        0);
    for (const char* file : {"_SETUP.DLL", "_SETUP.LIB", "QVSETRES.DLL", "SCN.TXT"})
        WriteFile(kit.work() + "/US/" + file, std::string(file) + " here");
    EXPECT_EQ(kit.Run(), 1);
    EXPECT_EQ(kit.Messages(), "");
    auto installer = kit.Installer();
    EXPECT_NE(installer["ini"].find("CurrentDirectory=" + kit.work() + "\r\n"), std::string::npos) << installer["ini"];
    EXPECT_EQ(kit.Staged("_SETUP.DLL"), "_SETUP.DLL here");
}

TEST(SetupEndToEnd, AWorkingDirectoryDeeperThanTheBufferStagesNothingAtTheRoot)
{
    Kit kit;
    kit.Language("US");
    std::string deep = kit.Root() + "/" + std::string(150, 'x') + "/" + std::string(150, 'y');
    ASSERT_EQ(
        std::system(("mkdir -p '" + deep + "/QVSETUP.TMP' && touch '" + deep + "/QVSETUP.TMP/ISETUP.EXE'").c_str()), 0);
    kit.WorkingDirectory(deep);
    bool rootHadOne = Exists("/QVSETUP.TMP");
    EXPECT_EQ(kit.Run({"/l-us"}), 1);
    EXPECT_EQ(kit.Messages(), "Setup Error: Cannot set up temporary directory\n");
    EXPECT_FALSE(kit.InstallerStarted());
    if (!rootHadOne) {
        EXPECT_FALSE(Exists("/QVSETUP.TMP"));
    }
}

}  // namespace
