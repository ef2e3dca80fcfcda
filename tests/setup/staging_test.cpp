// The staging directory: its path, and clearing it after a failed start.
#include <string>
#include <vector>

#include "setup_test_support.h"
#include "staging.h"

namespace {

class StagingTest : public SetupTest {
protected:
    StagingTest() { StubIn("C:\\KIT"); }

    std::string DestDirectory(int* result)
    {
        char path[260] = "untouched";
        *result = SetDestDirectory(path);
        return path;
    }

    int Remove(std::string path) { return RemoveDir(path.data()); }

    void Staged(const std::string& dir)
    {
        os.AddFile(dir + "\\ISETUP.EXE", "exe");
        os.AddFile(dir + "\\_SETUP.DLL", "dll");
        os.AddFile(dir + "\\SETUP.INI", "[Stub]\r\n");
    }
};

TEST_F(StagingTest, PathIsTheCurrentDirectoryAndTheConfiguredName)
{
    int result = 0;
    EXPECT_EQ(DestDirectory(&result), "C:\\KIT\\QVSETUP.TMP");
    EXPECT_EQ(result, 1);

    // The name comes from the current directory's SETUP.INI, not the stub's.
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=FROMKIT\r\n");
    os.AddDirectory("D:\\ELSEWHERE");
    os.currentDirectory = "D:\\ELSEWHERE";
    EXPECT_EQ(DestDirectory(&result), "D:\\ELSEWHERE\\QVSETUP.TMP");
    os.AddFile("D:\\ELSEWHERE\\SETUP.INI", "[stub]\r\ntempdirname = Stage\\Nested\r\n");
    EXPECT_EQ(DestDirectory(&result), "D:\\ELSEWHERE\\Stage\\Nested");

    // At a drive's root the separator is doubled.
    os.currentDirectory = "E:\\";
    EXPECT_EQ(DestDirectory(&result), "E:\\\\QVSETUP.TMP");
    char path[260];
    MakeTempDirPath(path);
    EXPECT_STREQ(path, "E:\\\\QVSETUP.TMP");
    // Nothing on disk was looked at or made.
    EXPECT_EQ(os.Count("FindFirst") + os.Count("SetCurrentDirectory") + os.Count("CreateWrite"), 0);
}

TEST_F(StagingTest, EmptyOrOverlongNamesAreRefused)
{
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=\r\n");
    int result = 1;
    EXPECT_EQ(DestDirectory(&result), "untouched");
    EXPECT_EQ(result, 0);

    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=" + std::string(253, 'n') + "\r\n");
    EXPECT_EQ(DestDirectory(&result), "untouched");
    EXPECT_EQ(result, 0);
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=" + std::string(252, 'n') + "\r\n");
    EXPECT_EQ(DestDirectory(&result), "C:\\KIT\\" + std::string(252, 'n'));
    EXPECT_EQ(result, 1);
}

TEST_F(StagingTest, RemoveDirDeletesPlainFilesOnlyEachAfterTheListingMovedOn)
{
    Staged("C:\\KIT\\QVSETUP.TMP");
    EXPECT_EQ(Remove("C:\\KIT\\QVSETUP.TMP"), 1);
    EXPECT_FALSE(os.Exists("C:\\KIT\\QVSETUP.TMP"));
    // Listing: ".", "..", ISETUP.EXE, _SETUP.DLL, SETUP.INI: each file goes after the next entry
    // was read, the last one after the listing ended.
    std::vector<std::string> order;
    for (const std::string& call : os.calls)
        if (call.rfind("FindNext", 0) == 0 || call.rfind("DeleteFile", 0) == 0 || call.rfind("FindClose", 0) == 0)
            order.push_back(call.substr(0, call.find(' ')) +
                            (call.find(' ') == std::string::npos ? "" : " " + call.substr(call.rfind('\\') + 1)));
    EXPECT_EQ(order,
              (std::vector<std::string>{"FindNext", "FindNext", "FindNext", "DeleteFile ISETUP.EXE", "FindNext",
                                        "DeleteFile _SETUP.DLL", "FindNext", "DeleteFile SETUP.INI", "FindClose"}));
}

TEST_F(StagingTest, WhatCannotGoStaysAndTheResultIsZero)
{
    Staged("C:\\KIT\\QVSETUP.TMP");
    os.AddFile("C:\\KIT\\QVSETUP.TMP\\HIDDEN.DAT", "", platform::kAttrHidden);
    os.AddFile("C:\\KIT\\QVSETUP.TMP\\SYSTEM.DAT", "", platform::kAttrSystem);
    os.AddFile("C:\\KIT\\QVSETUP.TMP\\READONLY.DAT", "", platform::kAttrReadOnly);
    os.AddFile("C:\\KIT\\QVSETUP.TMP\\SUB\\INNER.DAT");
    EXPECT_EQ(Remove("C:\\KIT\\QVSETUP.TMP"), 0);
    EXPECT_EQ(os.Entries("C:\\KIT\\QVSETUP.TMP"),
              (std::vector<std::string>{"HIDDEN.DAT", "SYSTEM.DAT", "READONLY.DAT", "SUB"}));
    EXPECT_TRUE(os.Exists("C:\\KIT\\QVSETUP.TMP\\SUB\\INNER.DAT"));
    // Read-only files were tried (and refused); hidden and system files were not touched.
    EXPECT_EQ(os.Count("DeleteFile C:\\KIT\\QVSETUP.TMP\\READONLY.DAT"), 1);
    EXPECT_EQ(os.Count("DeleteFile C:\\KIT\\QVSETUP.TMP\\HIDDEN.DAT"), 0);
    EXPECT_EQ(os.Count("DeleteFile C:\\KIT\\QVSETUP.TMP\\SYSTEM.DAT"), 0);
}

TEST_F(StagingTest, TheCurrentDirectoryIsEmptiedButStays)
{
    Staged("C:\\KIT\\QVSETUP.TMP");
    os.currentDirectory = "C:\\KIT\\QVSETUP.TMP";
    EXPECT_EQ(Remove("C:\\KIT\\QVSETUP.TMP"), 0);
    EXPECT_TRUE(os.IsDirectory("C:\\KIT\\QVSETUP.TMP"));
    EXPECT_TRUE(os.Entries("C:\\KIT\\QVSETUP.TMP").empty());
    // The name was read from the staged SETUP.INI, the one of the current directory.
    EXPECT_GE(os.IndexOf("GetProfileString Stub TempDirName C:\\KIT\\QVSETUP.TMP\\SETUP.INI"), 0);
}

TEST_F(StagingTest, NameCheckComesFirst)
{
    Staged("C:\\KIT\\OTHER");
    Staged("C:\\KIT\\STAGE\\NESTED");
    Staged("C:\\KIT\\QVSETUP.TMP");
    for (const std::string& refused :
         {std::string("C:\\KIT\\OTHER"), std::string("C:\\KIT\\QVSETUP.TMP\\"), std::string("QVSETUP.TMP"),
          std::string(""), std::string("C:\\KIT\\STAGE\\NESTED")}) {
        os.calls.clear();
        EXPECT_EQ(Remove(refused), 0) << refused;
        EXPECT_EQ(os.Count("FindFirst") + os.Count("DeleteFile") + os.Count("RemoveDirectory"), 0) << refused;
    }
    // A nested configured name never matches the last part alone.
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=STAGE\\NESTED\r\n");
    EXPECT_EQ(Remove("C:\\KIT\\STAGE\\NESTED"), 0);
    EXPECT_TRUE(os.Exists("C:\\KIT\\STAGE\\NESTED\\ISETUP.EXE"));

    // An empty configured name is refused, whatever the path: the working directory's files stay.
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=\r\n");
    EXPECT_EQ(Remove("C:\\KIT\\"), 0);
    EXPECT_TRUE(os.Exists("C:\\KIT\\SETUP.INI"));
}

TEST_F(StagingTest, NameCheckFoldsCaseAndComparesFourteenCharacters)
{
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=Staging.Directory.Long\r\n");
    Staged("C:\\KIT\\STAGING.DIRECTORY.OTHER");
    EXPECT_EQ(Remove("C:\\KIT\\STAGING.DIRECTORY.OTHER"), 1);

    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nTempDirName=qvsetup.tmp\r\n");
    Staged("C:\\KIT\\QvSetup.TMP");
    EXPECT_EQ(Remove("C:\\KIT\\QvSetup.TMP"), 1);
}

TEST_F(StagingTest, AMissingDirectoryCountsAsGone)
{
    EXPECT_EQ(Remove("C:\\KIT\\QVSETUP.TMP"), 1);
    EXPECT_EQ(Remove("C:\\NOWHERE\\QVSETUP.TMP"), 1);
    EXPECT_EQ(os.Count("DeleteFile"), 0);
}

TEST_F(StagingTest, IsPathTellsWhetherADirectoryCanBeEntered)
{
    os.AddDirectory("C:\\KIT\\QVSETUP.TMP");
    os.AddFile("C:\\KIT\\FILE.TXT");
    char dir[] = "C:\\KIT\\QVSETUP.TMP";
    char file[] = "C:\\KIT\\FILE.TXT";
    char missing[] = "C:\\KIT\\MISSING";
    EXPECT_EQ(IsPath(dir), 1);
    EXPECT_EQ(IsPath(file), 0);
    EXPECT_EQ(IsPath(missing), 0);
    EXPECT_EQ(os.currentDirectory, "C:\\KIT");
}

}  // namespace
