// The stub's own directory and its settings.
#include <string>

#include "setup_test_support.h"

namespace {

using SettingsTest = SetupTest;

std::string SetupDirOf(platform::FakePlatform& os, const std::string& module)
{
    os.moduleFileName = module;
    char directory[260] = "unchanged";
    SetSetupDir(nullptr, directory, sizeof directory);
    return directory;
}

TEST_F(SettingsTest, SetupDirIsTheModulesDirectoryWithoutItsSeparator)
{
    EXPECT_EQ(SetupDirOf(os, "C:\\KIT\\SETUP.EXE"), "C:\\KIT");
    EXPECT_EQ(SetupDirOf(os, "C:\\SETUP.EXE"), "C:");
    EXPECT_EQ(SetupDirOf(os, "\\\\server\\share\\kit\\setup.exe"), "\\\\server\\share\\kit");
    EXPECT_EQ(SetupDirOf(os, "C:SETUP.EXE"), "C:.");
    EXPECT_EQ(SetupDirOf(os, "D:\\A\\B/C\\SETUP.EXE"), "D:\\A\\B/C");
}

TEST_F(SettingsTest, SetupDirFallsBackToTheCurrentDirectoryWhenItFits)
{
    os.currentDirectory = "E:\\WORK";
    EXPECT_EQ(SetupDirOf(os, ""), "E:\\WORK");
    EXPECT_EQ(SetupDirOf(os, "SETUP.EXE"), "E:\\WORK");

    // A current directory longer than the buffer leaves it unchanged.
    os.currentDirectory = "E:\\" + std::string(300, 'w');
    EXPECT_EQ(SetupDirOf(os, ""), "unchanged");
}

TEST_F(SettingsTest, AModulePathThatWouldBeCutIsNotUsed)
{
    // Longer than the 260-byte buffer: the cut name would name a parent directory of the stub's.
    os.currentDirectory = "E:\\WORK";
    EXPECT_EQ(SetupDirOf(os, "C:\\" + std::string(270, 'k') + "\\SETUP.EXE"), "E:\\WORK");
    EXPECT_TRUE(SetupDirKnown());
    // A directory part longer than the 255 characters the splitting keeps, in a name that fits.
    EXPECT_EQ(SetupDirOf(os, "C:\\" + std::string(254, 'k') + "\\A"), "E:\\WORK");
    EXPECT_EQ(SetupDirOf(os, "C:\\" + std::string(253, 'k') + "\\A"), "C:\\" + std::string(253, 'k'));
    // And neither the module's nor the current directory: none is known.
    os.currentDirectory = "E:\\" + std::string(300, 'w');
    EXPECT_EQ(SetupDirOf(os, "C:\\" + std::string(270, 'k') + "\\SETUP.EXE"), "unchanged");
    EXPECT_FALSE(SetupDirKnown());
}

TEST(SettingsPosixTest, SetupDirUsesTheForwardSlash)
{
    platform::FakePlatform os('/');
    platform::ScopedOs scoped(os);
    EXPECT_EQ(SetupDirOf(os, "/opt/kit/setup"), "/opt/kit");
    // At the root the directory is empty: joins then start with the separator.
    EXPECT_EQ(SetupDirOf(os, "/setup"), "");
}

TEST_F(SettingsTest, DefaultsApplyWithoutASettingsFile)
{
    char file[] = "C:\\KIT\\SETUP.INI";
    Init(file);
    EXPECT_STREQ(szResDLL, "QVSETRES.DLL");
    EXPECT_STREQ(szHelpFile, "QVGSW.HLP");
    EXPECT_STREQ(szERRNoValLang, "Cannot find valid setup language");
    EXPECT_STREQ(szERRAppLaunch, "Error occurred trying to run setup");
    EXPECT_STREQ(szERRFileCopy, "Error occurred copying file to temporary directory");
    EXPECT_STREQ(szERRMakeDir, "Cannot set up temporary directory");
    EXPECT_STREQ(szERRMsgTitle, "Setup Error");
    // All seven reads take place, in order.
    ASSERT_EQ(os.Count("GetProfileString"), 7);
    EXPECT_EQ(os.calls[0], "GetProfileString Stub ResourceDLL C:\\KIT\\SETUP.INI");
    EXPECT_EQ(os.calls[6], "GetProfileString Stub ERRMsgTitle C:\\KIT\\SETUP.INI");
}

TEST_F(SettingsTest, ValuesAreCutToTheirWidths)
{
    os.AddFile("C:\\KIT\\SETUP.INI",
               "[stub]\r\n"
               "resourcedll=" +
                   std::string(20, 'R') +
                   "\r\n"
                   "HelpFile=HELP.HLP\r\n"
                   "ERRFileCopy=" +
                   std::string(200, 'm') +
                   "\r\n"
                   "ERRMsgTitle=" +
                   std::string(60, 't') +
                   "\r\n"
                   "ERRMakeDir=\r\n");
    char file[] = "C:\\KIT\\SETUP.INI";
    Init(file);
    EXPECT_EQ(std::string(szResDLL), std::string(14, 'R'));
    EXPECT_STREQ(szHelpFile, "HELP.HLP");
    EXPECT_EQ(std::string(szERRFileCopy), std::string(119, 'm'));
    EXPECT_EQ(std::string(szERRMsgTitle), std::string(49, 't'));
    // Present but empty stays empty; missing keys keep their defaults.
    EXPECT_STREQ(szERRMakeDir, "");
    EXPECT_STREQ(szERRAppLaunch, "Error occurred trying to run setup");
}

}  // namespace
