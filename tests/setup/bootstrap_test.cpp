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

}  // namespace
