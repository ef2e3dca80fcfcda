// Choosing the setup language: the switch parser, the language table, the subdirectory search and
// the chain of sources with its order and laziness.
#include <ostream>
#include <string>
#include <vector>

#include "language.h"
#include "setup_test_support.h"

namespace {

struct ParseCase {
    const char* argumentString;
    const char* code;
    const char* converted;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << '"' << c.argumentString << '"'; }

class ParseCmdLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCmdLineTest, CodeAndUpperCasedString)
{
    std::string text = GetParam().argumentString;
    char code[3] = {'x', 'x', 'x'};
    ParseCmdLine(text.data(), code);
    EXPECT_STREQ(code, GetParam().code);
    EXPECT_EQ(text, GetParam().converted);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ParseCmdLineTest,
    ::testing::Values(ParseCase{"/l-de", "DE", "/L-DE"}, ParseCase{"a /L-FR", "FR", "A /L-FR"},
                      ParseCase{"a/L-FR", "", "A/L-FR"}, ParseCase{"/L-XX /L-DE", "XX", "/L-XX /L-DE"},
                      ParseCase{"/L-", "", "/L-"}, ParseCase{"/L-   ", "", "/L-   "}, ParseCase{"", "", ""},
                      ParseCase{"/L-FRENCH", "FR", "/L-FRENCH"}, ParseCase{"/L- DE", "DE", "/L- DE"},
                      ParseCase{"/L-D", "D", "/L-D"}, ParseCase{"/L-D E", "D ", "/L-D E"},
                      // Several blanks are passed one at a time; a tab is not a blank.
                      ParseCase{"x   /l-it rest", "IT", "X   /L-IT REST"}, ParseCase{"x\t/L-IT", "", "X\t/L-IT"},
                      ParseCase{"/L-\tIT", "\tI", "/L-\tIT"},
                      // Quotes mean nothing; bytes above 0x7F are left alone.
                      ParseCase{"\"/L-DE\"", "", "\"/L-DE\""}, ParseCase{"\xe9t\xe9 /l-nl", "NL", "\xe9T\xe9 /L-NL"}));

TEST(LangIDtoStrTest, EveryRowOfTheTable)
{
    struct Row {
        unsigned short id;
        const char* code;
    };
    const Row rows[] = {
        {0x0401, "AR"}, {0x0C01, "AR"}, {0x0804, "CS"}, {0x0404, "CT"}, {0x0C04, "CT"}, {0x1004, "CT"}, {0x1404, "CT"},
        {0x0405, "CZ"}, {0x0406, "DK"}, {0x0407, "DE"}, {0x0807, "DE"}, {0x0409, "US"}, {0x0809, "US"}, {0x1009, "US"},
        {0x040A, "ES"}, {0x0C0A, "ES"}, {0x040B, "SU"}, {0x040C, "FR"}, {0x0C0C, "FR"}, {0x040D, "HE"}, {0x040E, "MA"},
        {0x0410, "IT"}, {0x0411, "JP"}, {0x0412, "KR"}, {0x0413, "NL"}, {0x0414, "NO"}, {0x0814, "NO"}, {0x0415, "PL"},
        {0x0416, "BR"}, {0x0816, ""},   {0x0419, "RU"}, {0x041D, "SV"}, {0x081D, "SV"}, {0x041E, "TH"}, {0x0408, ""},
        {0x0000, ""},   {0x0402, ""},   {0x0403, ""},   {0x0408, ""},   {0x040F, ""},   {0x0417, ""},   {0x0418, ""},
        {0x041A, ""},   {0x041B, ""},   {0x041C, ""},   {0x041F, ""},   {0x0420, ""},   {0x03FF, ""},
    };
    for (const Row& row : rows) {
        char code[3] = {'x', 'x', 'x'};
        LangIDtoStr(row.id, code, 3);
        EXPECT_STREQ(code, row.code) << std::hex << row.id;
    }
}

TEST(LangIDtoStrTest, ABufferBelowThreeBytesGetsNoCode)
{
    for (unsigned short size : {0, 1, 2}) {
        char code[3] = {'x', 'x', 'x'};
        LangIDtoStr(0x0407, code, size);
        EXPECT_EQ(code[0], '\0') << size;
    }
}

class ChainTest : public SetupTest {
protected:
    ChainTest() { StubIn("C:\\KIT"); }

    // Runs the chain; returns the language directory, or "" when none was found.
    std::string Resolve(std::string arguments = "")
    {
        arguments_ = arguments;
        char code[3] = {};
        char languageDirectory[260] = {};
        SubdirRecord record;
        result_ = ResolveLanguageDirectory(arguments_.data(), code, languageDirectory, &record);
        return languageDirectory;
    }

    std::string arguments_;
    int result_ = -1;
};

TEST_F(ChainTest, SwitchWinsAndNothingElseIsConsulted)
{
    Language("C:\\KIT\\DE");
    os.registryValue = "FR";
    Language("C:\\KIT\\FR");
    EXPECT_EQ(Resolve("/l-de /q"), "C:\\KIT\\DE");
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(arguments_, "/L-DE /Q");
    EXPECT_EQ(os.Count("QueryUserRegistryValue"), 0);
    EXPECT_EQ(os.Count("UserDefaultLangID"), 0);
    EXPECT_EQ(os.Count("GetProfileString"), 0);
    EXPECT_EQ(os.Count("FindFirst"), 0);
}

TEST_F(ChainTest, RegistryComesNextWithItsValueUnchanged)
{
    Language("C:\\KIT\\de");
    os.registryValue = "de";
    os.langId = 0x040C;
    Language("C:\\KIT\\FR");
    // The first switch counts even when its directory is missing; the second is not looked at.
    EXPECT_EQ(Resolve("/L-XX /L-FR"), "C:\\KIT\\de");
    EXPECT_EQ(os.IndexOf("OpenRead C:\\KIT\\XX\\_SETUP.DLL"), 0);
    EXPECT_EQ(os.Count("OpenRead"), 2);
    EXPECT_EQ(os.Count("UserDefaultLangID"), 0);
    EXPECT_EQ(os.Count("FindFirst"), 0);
}

TEST_F(ChainTest, RegistryValueTooLongCountsAsNoValue)
{
    os.registryValue = "DEU";
    Language("C:\\KIT\\DE");
    Language("C:\\KIT\\US");
    EXPECT_EQ(Resolve(), "C:\\KIT\\US");
    EXPECT_EQ(os.Count("OpenRead C:\\KIT\\DE\\_SETUP.DLL"), 0);
}

TEST_F(ChainTest, UserLanguageThenDefaultLangThenScan)
{
    Language("C:\\KIT\\CT");
    os.langId = 0x0404;  // Chinese (Taiwan)
    EXPECT_EQ(Resolve(), "C:\\KIT\\CT");
    EXPECT_EQ(os.Count("QueryUserRegistryValue"), 1);
    EXPECT_EQ(os.Count("GetProfileString"), 0);
}

TEST_F(ChainTest, DefaultLangIsReadFromTheStubsSettingsFile)
{
    os.langId = 0x0408;  // Greek: no code, no check
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nDefaultLang=GERMAN\r\n");
    Language("C:\\KIT\\GE");
    EXPECT_EQ(Resolve(), "C:\\KIT\\GE");
    EXPECT_EQ(os.Count("OpenRead"), 1);
    EXPECT_EQ(os.Count("FindFirst"), 0);
    EXPECT_GE(os.IndexOf("GetProfileString Stub DefaultLang C:\\KIT\\SETUP.INI"), 0);
}

TEST_F(ChainTest, WithoutDefaultLangTheDefaultIsUS)
{
    Language("C:\\KIT\\US");
    EXPECT_EQ(Resolve(), "C:\\KIT\\US");
}

TEST_F(ChainTest, EmptyDefaultLangLeadsToTheScan)
{
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nDefaultLang=\r\n");
    os.currentDirectory = "D:\\WORK";
    os.AddFile("D:\\WORK\\FR");  // a plain file is never examined
    os.AddDirectory("D:\\WORK\\X");
    os.AddDirectory("D:\\WORK\\LANG_DE");
    os.AddDirectory("D:\\WORK\\OTHER_IT");
    Language("C:\\KIT\\FR");
    Language("C:\\KIT\\IT");
    EXPECT_EQ(Resolve(), "C:\\KIT\\IT");
    EXPECT_EQ(os.Count("FindFirst"), 1);
    EXPECT_GE(os.IndexOf("FindFirst D:\\WORK\\*.*"), 0);
    // "." and "X" give no code; ".." makes the stub's parent a candidate; LANG_DE gives DE.
    std::vector<std::string> probes;
    for (const std::string& call : os.calls)
        if (call.rfind("OpenRead", 0) == 0)
            probes.push_back(call);
    EXPECT_EQ(probes, (std::vector<std::string>{"OpenRead C:\\KIT\\..\\_SETUP.DLL", "OpenRead C:\\KIT\\DE\\_SETUP.DLL",
                                                "OpenRead C:\\KIT\\IT\\_SETUP.DLL"}));
    EXPECT_EQ(os.Count("FindClose"), 1);
}

TEST_F(ChainTest, ScanTriesTheParentThroughTheTwoDotEntry)
{
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nDefaultLang=\r\n");
    os.AddFile("C:\\_SETUP.DLL", "dll");
    EXPECT_EQ(Resolve(), "C:\\KIT\\..");
}

TEST_F(ChainTest, ScanListsTheCurrentDirectoryButChecksUnderTheStubsDirectory)
{
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nDefaultLang=\r\n");
    os.AddDirectory("D:\\WORK\\FR");
    os.currentDirectory = "D:\\WORK";
    Language("C:\\KIT\\FR");
    EXPECT_EQ(Resolve(), "C:\\KIT\\FR");
    EXPECT_GE(os.IndexOf("FindFirst D:\\WORK\\*.*"), 0);
}

TEST_F(ChainTest, NoSourceLeadsAnywhere)
{
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nDefaultLang=\r\n");
    os.AddDirectory("C:\\KIT\\DE\\_SETUP.DLL");  // a directory is no probe file
    EXPECT_EQ(Resolve("/L-"), "");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(os.Count("FindFirst"), 1);
    EXPECT_EQ(os.Count("CreateWrite"), 0);
    EXPECT_EQ(os.Count("WriteProfileString"), 0);
}

TEST_F(ChainTest, CandidatesTooLongAreRefused)
{
    std::string deep = "C:\\" + std::string(250, 'k');
    StubIn(deep);
    Language(deep + "\\DE");  // the probe path has 253 + 3 + 11 characters: over the limit
    EXPECT_EQ(Resolve("/L-DE"), "");
    EXPECT_EQ(os.Count("OpenRead " + deep + "\\DE"), 0);
}

TEST_F(SetupTest, FindFirstSubSkipsFilesAndFindNextSubStopsAtTheEnd)
{
    os.AddFile("C:\\ROOT\\A.TXT");
    os.AddDirectory("C:\\ROOT\\ONE");
    os.AddFile("C:\\ROOT\\B.TXT");
    os.AddDirectory("C:\\ROOT\\TWO");
    char dir[] = "C:\\ROOT";
    SubdirRecord record;
    ASSERT_EQ(FindFirstSub(dir, &record), 0);
    EXPECT_STREQ(record.entry.name, ".");
    ASSERT_EQ(FindNextSub(&record), 1);
    EXPECT_STREQ(record.entry.name, "..");
    ASSERT_EQ(FindNextSub(&record), 1);
    EXPECT_STREQ(record.entry.name, "ONE");
    ASSERT_EQ(FindNextSub(&record), 1);
    EXPECT_STREQ(record.entry.name, "TWO");
    EXPECT_EQ(FindNextSub(&record), 0);
    CloseSub(&record);

    // A drive's root lists no dot entries; files only give -1.
    os.AddFile("E:\\ONLY.TXT");
    char root[] = "E:";
    EXPECT_EQ(FindFirstSub(root, &record), -1);
    char missing[] = "C:\\MISSING";
    EXPECT_EQ(FindFirstSub(missing, &record), -1);
}

}  // namespace
