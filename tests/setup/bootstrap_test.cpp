// The stub's whole run on the fake machine: what it stages, writes and starts, and the one message
// box of each failure.
#include <string>
#include <vector>

#include "bootstrap.h"
#include "setup_test_support.h"

namespace {

class BootstrapTest : public SetupTest {
protected:
    BootstrapTest()
    {
        os.moduleFileName = "C:\\KIT\\SETUP.EXE";
        os.AddDirectory("C:\\WORK\\QVSETUP.TMP");
        os.currentDirectory = "C:\\WORK";
    }

    void Kit(const std::string& language)
    {
        for (const char* file : {"_SETUP.DLL", "_SETUP.LIB", "QVSETRES.DLL", "SCN.TXT"})
            os.AddFile("C:\\KIT\\" + language + "\\" + file, file);
        os.AddFile("C:\\KIT\\QVGSW.HLP", "help");
        os.AddFile("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE", "installer");
    }

    int Run(std::string arguments = "")
    {
        arguments_ = arguments;
        return RunBootstrap(nullptr, arguments_.data());
    }

    void ExpectOneMessage(const std::string& text, const std::string& caption = "Setup Error")
    {
        ASSERT_EQ(os.messageBoxes.size(), 1u);
        EXPECT_EQ(os.messageBoxes[0].text, text);
        EXPECT_EQ(os.messageBoxes[0].caption, caption);
        EXPECT_EQ(os.messageBoxes[0].flags, 0x10u);
    }

    std::string arguments_;
};

TEST_F(BootstrapTest, StagesWritesTheHandOffStartsAndRestsTheInstaller)
{
    Kit("DE");
    EXPECT_EQ(Run("/l-de -silent"), 1);
    EXPECT_TRUE(os.messageBoxes.empty());
    ASSERT_EQ(os.started.size(), 1u);
    EXPECT_EQ(os.started[0].commandLine, "C:\\WORK\\QVSETUP.TMP\\SETUP.EXE /L-DE -SILENT");
    EXPECT_EQ(os.started[0].show, 1);
    EXPECT_EQ(os.started[0].currentDirectory, "C:\\WORK\\QVSETUP.TMP");
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\SETUP.INI"),
              "[Stub]\r\nCleanup=C:\\KIT\\CLEANUP.EXE\r\nCurrentDirectory=C:\\KIT\r\n");
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE"), "installer");
    EXPECT_FALSE(os.Exists("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE"));
    // The keys are written before the start, the rename back comes after it.
    EXPECT_LT(os.IndexOf("WriteProfileString Stub Cleanup"), os.IndexOf("WriteProfileString Stub CurrentDirectory"));
    EXPECT_LT(os.IndexOf("WriteProfileString Stub CurrentDirectory"), os.IndexOf("SetCurrentDirectory"));
    EXPECT_LT(os.IndexOf("StartProgram"), os.IndexOf("Rename C:\\WORK\\QVSETUP.TMP\\SETUP.EXE"));
}

TEST_F(BootstrapTest, AnEmptyArgumentStringLeavesOneBlank)
{
    Kit("US");
    EXPECT_EQ(Run(), 1);
    ASSERT_EQ(os.started.size(), 1u);
    EXPECT_EQ(os.started[0].commandLine, "C:\\WORK\\QVSETUP.TMP\\SETUP.EXE ");
}

TEST_F(BootstrapTest, LongArgumentStringsArePassedWhole)
{
    Kit("US");
    std::string arguments(400, 'a');
    EXPECT_EQ(Run(arguments), 1);
    ASSERT_EQ(os.started.size(), 1u);
    EXPECT_EQ(os.started[0].commandLine, "C:\\WORK\\QVSETUP.TMP\\SETUP.EXE " + std::string(400, 'A'));
}

TEST_F(BootstrapTest, AnExistingStagedSettingsFileKeepsItsOtherLines)
{
    Kit("US");
    os.AddFile("C:\\WORK\\QVSETUP.TMP\\SETUP.INI", "[Setup]\r\nProduct=Quorvane\r\n[Stub]\r\nCleanup=old\r\n");
    Run();
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\SETUP.INI"),
              "[Setup]\r\nProduct=Quorvane\r\n[Stub]\r\nCleanup=C:\\KIT\\CLEANUP.EXE\r\nCurrentDirectory=C:\\KIT\r\n");
}

TEST_F(BootstrapTest, NoLanguageShowsOneMessageAndWritesNothing)
{
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nDefaultLang=\r\nERRMsgTitle=Quorvane Setup\r\n");
    EXPECT_EQ(Run("/L-XX"), 1);
    ExpectOneMessage("Cannot find valid setup language", "Quorvane Setup");
    EXPECT_EQ(os.Count("CreateWrite") + os.Count("WriteProfileString") + os.Count("Rename") + os.Count("StartProgram"),
              0);
}

TEST_F(BootstrapTest, EmptyStagingNameShowsTheDirectoryMessage)
{
    Kit("US");
    os.AddFile("C:\\WORK\\SETUP.INI", "[Stub]\r\nTempDirName=\r\n");
    EXPECT_EQ(Run(), 1);
    ExpectOneMessage("Cannot set up temporary directory");
    EXPECT_EQ(os.Count("CreateWrite"), 0);
}

TEST_F(BootstrapTest, CopyFailureShowsTheConfiguredMessageAndLeavesTheCopies)
{
    Kit("US");
    os.DeleteFile("C:\\KIT\\US\\SCN.TXT");
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nERRFileCopy=Could not stage the setup files\r\nERRMsgTitle=\r\n");
    EXPECT_EQ(Run(), 1);
    ExpectOneMessage("Could not stage the setup files", "");
    EXPECT_TRUE(os.Exists("C:\\WORK\\QVSETUP.TMP\\_SETUP.DLL"));
    EXPECT_TRUE(os.Exists("C:\\WORK\\QVSETUP.TMP\\QVSETRES.DLL"));
    EXPECT_EQ(os.Count("StartProgram"), 0);
}

TEST_F(BootstrapTest, MissingStagingDirectoryFailsTheFirstCopy)
{
    Kit("US");
    os.currentDirectory = "D:\\";
    EXPECT_EQ(Run(), 1);
    ExpectOneMessage("Error occurred copying file to temporary directory");
}

TEST_F(BootstrapTest, LaunchFailureShowsTheMessageThenClearsTheStagingDirectory)
{
    Kit("US");
    os.startResult = 2;
    os.AddFile("C:\\WORK\\QVSETUP.TMP\\HIDDEN.DAT", "", platform::kAttrHidden);
    EXPECT_EQ(Run(), 1);
    ExpectOneMessage("Error occurred trying to run setup");
    // The message comes first; the staging directory is still current while it is cleared, so
    // its own SETUP.INI gives the name check.
    int message = os.IndexOf("MessageBox");
    EXPECT_LT(message, os.IndexOf("GetProfileString Stub TempDirName C:\\WORK\\QVSETUP.TMP\\SETUP.INI"));
    EXPECT_LT(message, os.IndexOf("DeleteFile"));
    EXPECT_EQ(os.currentDirectory, "C:\\WORK\\QVSETUP.TMP");
    EXPECT_EQ(os.Entries("C:\\WORK\\QVSETUP.TMP"), std::vector<std::string>{"HIDDEN.DAT"});
    EXPECT_TRUE(os.Exists("C:\\KIT\\US\\_SETUP.DLL"));
    EXPECT_TRUE(os.Exists("C:\\KIT\\QVGSW.HLP"));
}

TEST_F(BootstrapTest, NoInstallerInTheStagingDirectoryFailsTheStart)
{
    Kit("US");
    os.DeleteFile("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE");
    os.startResult = 2;  // nothing to start
    EXPECT_EQ(Run(), 1);
    ExpectOneMessage("Error occurred trying to run setup");
    EXPECT_EQ(os.Count("RemoveDirectory C:\\WORK\\QVSETUP.TMP"), 1);
}

// Whether any call reached a path at the top of a drive, formed from an empty directory.
bool TouchedTheRoot(const platform::FakePlatform& os)
{
    for (const std::string& call : os.calls)
        if (call.find(" \\") != std::string::npos || call.find(" C:\\SETUP.INI") != std::string::npos)
            return true;
    return false;
}

TEST_F(BootstrapTest, AStubPathTooLongForTheBufferIsNeverUsedCut)
{
    // The stub lies deeper than 259 characters; the cut name would be its grandparent, which
    // holds a kit of its own. The current directory stands in for the stub's.
    std::string deep = "C:\\" + std::string(120, 'a') + "\\" + std::string(120, 'b');
    os.moduleFileName = deep + "\\" + std::string(30, 'c') + "\\SETUP.EXE";
    os.AddFile(deep + "\\SETUP.INI", "[Stub]\r\nERRNoValLang=read from the wrong directory\r\n");
    os.AddFile(deep + "\\US\\_SETUP.DLL");
    os.currentDirectory = "C:\\KIT";
    os.AddDirectory("C:\\KIT\\QVSETUP.TMP");
    Kit("US");
    os.AddFile("C:\\KIT\\QVSETUP.TMP\\ISETUP.EXE", "installer");
    EXPECT_EQ(Run(), 1);
    EXPECT_TRUE(os.messageBoxes.empty()) << os.messageBoxes[0].text;
    ASSERT_EQ(os.started.size(), 1u);
    EXPECT_EQ(os.Count("OpenRead " + deep), 0);
    EXPECT_EQ(os.Content("C:\\KIT\\QVSETUP.TMP\\SETUP.INI"),
              "[Stub]\r\nCleanup=C:\\KIT\\CLEANUP.EXE\r\nCurrentDirectory=C:\\KIT\r\n");

    // When the current directory is too long as well, the stub knows no directory of its own:
    // it reads nothing from the top of the drive and finds no language there.
    os.calls.clear();
    os.started.clear();
    os.AddFile("C:\\SETUP.INI", "[Stub]\r\nERRNoValLang=read from the root\r\n");
    os.AddFile("C:\\US\\_SETUP.DLL");
    os.currentDirectory = deep + "\\" + std::string(30, 'c');
    os.AddDirectory(os.currentDirectory);
    std::memset(szSetupDir, 0, sizeof szSetupDir);
    EXPECT_EQ(Run(), 1);
    ExpectOneMessage("Cannot find valid setup language");
    EXPECT_TRUE(os.started.empty());
    EXPECT_FALSE(TouchedTheRoot(os));
    EXPECT_EQ(os.Count("FindFirst"), 0);
}

TEST_F(BootstrapTest, ACurrentDirectoryTooLongForTheBufferStagesNothingAtTheRoot)
{
    Kit("DE");
    os.AddFile("C:\\SETUP.INI", "[Stub]\r\nTempDirName=WORK\r\n");
    std::string deep = "C:\\" + std::string(150, 'x') + "\\" + std::string(150, 'y');
    os.AddDirectory(deep + "\\QVSETUP.TMP");
    os.currentDirectory = deep;
    EXPECT_EQ(Run("/l-de"), 1);
    ExpectOneMessage("Cannot set up temporary directory");
    EXPECT_TRUE(os.started.empty());
    EXPECT_FALSE(TouchedTheRoot(os));
    EXPECT_EQ(os.Count("CreateWrite"), 0);
    // Nor is the top of the drive scanned for language directories in its place.
    os.calls.clear();
    os.messageBoxes.clear();
    EXPECT_EQ(Run("/l-xx"), 1);
    EXPECT_EQ(os.Count("FindFirst"), 0);
}

}  // namespace
