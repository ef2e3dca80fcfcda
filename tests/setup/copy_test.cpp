// Staging the setup files: one file through the adaptive buffer, and the copy list.
#include <string>
#include <vector>

#include "copy.h"
#include "setup_test_support.h"

namespace {

class CopyTest : public SetupTest {
protected:
    CopyTest()
    {
        StubIn("C:\\KIT");
        os.AddDirectory("C:\\WORK\\QVSETUP.TMP");
        std::strcpy(szResDLL, "QVSETRES.DLL");
        std::strcpy(szHelpFile, "QVGSW.HLP");
    }

    int Copy(std::string destination, std::string source, std::string file, std::string target = "")
    {
        return CopySetupFile(destination.data(), source.data(), file.data(), target.data());
    }

    int CopyList(std::string language = "C:\\KIT\\DE", std::string destination = "C:\\WORK\\QVSETUP.TMP")
    {
        return CopySetupFiles(destination.data(), language.data());
    }

    // A complete kit for one language and a staging directory with its installer.
    void Kit(const std::string& language)
    {
        for (const char* file : {"_SETUP.DLL", "_SETUP.LIB", "QVSETRES.DLL", "SCN.TXT"})
            os.AddFile(language + "\\" + file, std::string(file) + " of " + language);
        os.AddFile("C:\\KIT\\QVGSW.HLP", "help of the kit");
        os.AddFile("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE", "installer");
    }

    std::vector<std::string> Opened() const
    {
        std::vector<std::string> opened;
        for (const std::string& call : os.calls)
            if (call.rfind("OpenRead ", 0) == 0)
                opened.push_back(call.substr(9));
        return opened;
    }

    std::vector<std::string> Allocations() const
    {
        std::vector<std::string> sizes;
        for (const std::string& call : os.calls)
            if (call.rfind("Allocate ", 0) == 0)
                sizes.push_back(call.substr(9));
        return sizes;
    }
};

TEST_F(CopyTest, CopiesByteForByteInBlocksOfTheBuffer)
{
    std::string data;
    for (int i = 0; i < 150000; ++i)
        data += static_cast<char>(i * 7 + i / 251);
    os.AddFile("C:\\KIT\\BIG.BIN", data);
    os.AddFile("C:\\WORK\\QVSETUP.TMP\\BIG.BIN", "an older copy that is replaced");
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "BIG.BIN"), 1);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\BIG.BIN"), data);
    EXPECT_EQ(os.Count("Read"), 4);  // 63488, 63488, 23024, then the end
    EXPECT_EQ(Allocations(), std::vector<std::string>{"63488"});
    EXPECT_EQ(os.openFiles, 0);
    EXPECT_EQ(os.liveAllocations, 0u);
}

TEST_F(CopyTest, EmptyFilesAndOtherTargetNames)
{
    os.AddFile("C:\\KIT\\EMPTY.TXT", "");
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "EMPTY.TXT"), 1);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\EMPTY.TXT"), "");

    os.AddFile("C:\\KIT\\A.TXT", "a");
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "A.TXT", "B.TXT"), 1);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\B.TXT"), "a");
    // No source directory: the file name is the source path.
    os.currentDirectory = "C:\\KIT";
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "", "A.TXT", "C.TXT"), 1);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\C.TXT"), "a");
}

TEST_F(CopyTest, BufferShrinksBy2048DownTo4096)
{
    os.AddFile("C:\\KIT\\A.BIN", std::string(20000, 'a'));
    os.allowAllocation = [](std::size_t size) { return size <= 10000; };
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "A.BIN"), 1);
    std::vector<std::string> sizes = Allocations();
    ASSERT_EQ(sizes.size(), 28u);
    EXPECT_EQ(sizes.front(), "63488");
    EXPECT_EQ(sizes[1], "61440");
    EXPECT_EQ(sizes.back(), "8192");
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\A.BIN"), std::string(20000, 'a'));

    // Nothing granted: thirty tries, the last of 4096 bytes, and an empty target stays.
    os.calls.clear();
    os.allowAllocation = [](std::size_t) { return false; };
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "A.BIN"), 0);
    sizes = Allocations();
    ASSERT_EQ(sizes.size(), 30u);
    EXPECT_EQ(sizes.back(), "4096");
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\A.BIN"), "");
    // The target is closed before the source.
    std::vector<std::string> tail(os.calls.end() - 2, os.calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Close", "Close"}));
    EXPECT_EQ(os.openFiles, 0);
}

TEST_F(CopyTest, FailuresLeaveWhatTheyLeaveAndCloseEverything)
{
    os.AddFile("C:\\KIT\\A.BIN", std::string(100000, 'a'));

    // Missing source: nothing is created.
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "MISSING.BIN"), 0);
    EXPECT_FALSE(os.Exists("C:\\WORK\\QVSETUP.TMP\\MISSING.BIN"));
    EXPECT_EQ(os.Count("CreateWrite"), 0);

    // No staging directory, or a target that cannot be created.
    EXPECT_EQ(Copy("C:\\WORK\\NOWHERE", "C:\\KIT", "A.BIN"), 0);
    os.AddFile("C:\\WORK\\QVSETUP.TMP\\LOCKED.BIN", "in use");
    os.Lock("C:\\WORK\\QVSETUP.TMP\\LOCKED.BIN");
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "A.BIN", "LOCKED.BIN"), 0);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\LOCKED.BIN"), "in use");
    EXPECT_EQ(os.openFiles, 0);

    // A full disk: the short write ends the copy with a partial target.
    os.diskSpace = 70000;
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "A.BIN"), 0);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\A.BIN")->size(), 70000u);
    os.diskSpace.reset();

    // A read that fails.
    os.readFailsAfter["C:\\KIT\\A.BIN"] = 63488;
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", "C:\\KIT", "A.BIN"), 0);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\A.BIN")->size(), 63488u);
    EXPECT_EQ(os.openFiles, 0);
    EXPECT_EQ(os.liveAllocations, 0u);
}

TEST_F(CopyTest, PathsUpTo259CharactersCopyAndLongerOnesAreRefused)
{
    std::string dir = "C:\\" + std::string(200, 'd');
    os.AddFile(dir + "\\A.TXT", "a");
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", dir, "A.TXT"), 1);
    std::string tooLong = "C:\\" + std::string(253, 'd');
    os.AddFile(tooLong + "\\A.TXT", "a");
    EXPECT_EQ(Copy("C:\\WORK\\QVSETUP.TMP", tooLong, "A.TXT", "X.TXT"), 0);
    EXPECT_EQ(os.Count("OpenRead " + tooLong), 0);
}

TEST_F(CopyTest, ListCopiesInOrderThenActivatesTheInstaller)
{
    Kit("C:\\KIT\\DE");
    EXPECT_EQ(CopyList(), 1);
    EXPECT_EQ(Opened(),
              (std::vector<std::string>{"C:\\KIT\\DE\\_SETUP.DLL", "C:\\KIT\\DE\\_SETUP.LIB",
                                        "C:\\KIT\\DE\\QVSETRES.DLL", "C:\\KIT\\DE\\SCN.TXT", "C:\\KIT\\QVGSW.HLP"}));
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\SCN.TXT"), "SCN.TXT of C:\\KIT\\DE");
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\QVGSW.HLP"), "help of the kit");
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE"), "installer");
    EXPECT_FALSE(os.Exists("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE"));
}

TEST_F(CopyTest, ListStopsAtTheFirstMissingFile)
{
    Kit("C:\\KIT\\DE");
    os.DeleteFile("C:\\KIT\\DE\\_SETUP.LIB");
    os.calls.clear();
    EXPECT_EQ(CopyList(), 0);
    EXPECT_EQ(Opened(), (std::vector<std::string>{"C:\\KIT\\DE\\_SETUP.DLL", "C:\\KIT\\DE\\_SETUP.LIB"}));
    EXPECT_TRUE(os.Exists("C:\\WORK\\QVSETUP.TMP\\_SETUP.DLL"));
    EXPECT_TRUE(os.Exists("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE"));
}

TEST_F(CopyTest, JapaneseKitsCopyTheirOwnHelpFileOverTheStubs)
{
    for (const std::string& language : {std::string("C:\\KIT\\JP"), std::string("C:\\KIT\\LANG_jP")}) {
        Kit(language);
        os.AddFile(language + "\\QVGSW.HLP", "japanese help");
        EXPECT_EQ(CopyList(language), 1) << language;
        EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\QVGSW.HLP"), "japanese help") << language;
        os.Rename("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE", "C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE");
    }
    // Only the last two characters count.
    Kit("C:\\KIT\\JPN");
    os.AddFile("C:\\KIT\\JPN\\QVGSW.HLP", "not taken");
    os.DeleteFile("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE");
    os.AddFile("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE", "installer");
    EXPECT_EQ(CopyList("C:\\KIT\\JPN"), 1);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\QVGSW.HLP"), "help of the kit");
}

TEST_F(CopyTest, JapaneseHelpFileMissingIsIgnored)
{
    Kit("C:\\KIT\\JP");
    EXPECT_EQ(CopyList("C:\\KIT\\JP"), 1);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\QVGSW.HLP"), "help of the kit");
    EXPECT_EQ(os.Count("OpenRead C:\\KIT\\JP\\QVGSW.HLP"), 1);
    EXPECT_TRUE(os.Exists("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE"));
}

TEST_F(CopyTest, MissingKitHelpFileFailsTheListEvenWithAJapaneseOne)
{
    Kit("C:\\KIT\\JP");
    os.DeleteFile("C:\\KIT\\QVGSW.HLP");
    os.AddFile("C:\\KIT\\JP\\QVGSW.HLP", "japanese help");
    EXPECT_EQ(CopyList("C:\\KIT\\JP"), 0);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\QVGSW.HLP"), "japanese help");
    EXPECT_EQ(os.Count("Rename"), 0);
    EXPECT_TRUE(os.Exists("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE"));
}

TEST_F(CopyTest, TheRenameMayFailUnnoticed)
{
    Kit("C:\\KIT\\DE");
    os.AddFile("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE", "an earlier installer");
    EXPECT_EQ(CopyList(), 1);
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE"), "an earlier installer");
    EXPECT_EQ(os.Content("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE"), "installer");

    os.DeleteFile("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE");
    os.DeleteFile("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE");
    EXPECT_EQ(CopyList(), 1);
    EXPECT_FALSE(os.Exists("C:\\WORK\\QVSETUP.TMP\\SETUP.EXE"));
}

}  // namespace
