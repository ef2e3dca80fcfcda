// How qvapply splits its command line into the directory it shows and its log file's path.
#include <gtest/gtest.h>

#include <ostream>

#include "command_line.h"

namespace {

struct SplitCase {
    const char* commandLine;
    char separator;
    bool hasPatchPath;
    const char* directory;
    const char* logPath;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << '"' << c.commandLine << '"'; }

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, DirectoryAndLogPath)
{
    const SplitCase& c = GetParam();
    UpdateCommandLine split = SplitUpdateCommandLine(c.commandLine, c.separator);
    EXPECT_EQ(split.hasPatchPath, c.hasPatchPath);
    EXPECT_EQ(split.directory, c.directory);
    EXPECT_EQ(split.logPath, c.logPath);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, SplitTest,
    ::testing::Values(SplitCase{"C:\\APP C:\\SP\\UPDATE.PAT", '\\', true, "C:\\APP", "C:\\SP\\qvsp.log"},
                      SplitCase{"C:\\APP D:\\A\\B\\C.PAT", '\\', true, "C:\\APP", "D:\\A\\B\\qvsp.log"},
                      SplitCase{"C:\\APP D:\\KIT\\", '\\', true, "C:\\APP", "D:\\KIT\\qvsp.log"},
                      // Only one blank is skipped; the second one stays at the front of the log path.
                      SplitCase{"C:\\APP  D:\\X.PAT", '\\', true, "C:\\APP", " D:\\qvsp.log"},
                      // Quotes are ordinary characters: a quoted directory is cut at its blank.
                      SplitCase{"\"C:\\Program Files\\Q\" D:\\X.PAT", '\\', true, "\"C:\\Program",
                                "Files\\Q\" D:\\qvsp.log"},
                      // Extra words take part in the search for the last backslash.
                      SplitCase{"C:\\APP D:\\X.PAT E:\\Y", '\\', true, "C:\\APP", "D:\\X.PAT E:\\qvsp.log"},
                      // A patch path without a backslash puts the log in the current directory.
                      SplitCase{"C:\\APP UPDATE.PAT", '\\', true, "C:\\APP", "qvsp.log"},
                      // Forward slashes are not separators on Windows.
                      SplitCase{"C:\\APP D:/SP/UPDATE.PAT", '\\', true, "C:\\APP", "qvsp.log"},
                      // No patch path: no blank, nothing after it, or only blanks.
                      SplitCase{"C:\\APP", '\\', false, "C:\\APP", ""},
                      SplitCase{"C:\\APP ", '\\', false, "C:\\APP", ""},
                      SplitCase{"C:\\APP   ", '\\', false, "C:\\APP", ""}, SplitCase{"", '\\', false, "", ""},
                      // Tabs do not separate.
                      SplitCase{"C:\\APP\tD:\\X.PAT", '\\', false, "C:\\APP\tD:\\X.PAT", ""}));

INSTANTIATE_TEST_SUITE_P(
    Posix, SplitTest,
    ::testing::Values(SplitCase{"/opt/quorvane /srv/sp/update.pat", '/', true, "/opt/quorvane", "/srv/sp/qvsp.log"},
                      SplitCase{"/opt/quorvane update.pat", '/', true, "/opt/quorvane", "qvsp.log"},
                      SplitCase{"/opt/q C:\\SP\\U.PAT", '/', true, "/opt/q", "qvsp.log"}));

TEST(SplitTest, LongLinesAreSplitWhole)
{
    std::string directory(300, 'd');
    std::string patchDir = "C:\\" + std::string(400, 'p') + "\\";
    UpdateCommandLine split = SplitUpdateCommandLine(directory + " " + patchDir + "UPDATE.PAT", '\\');
    ASSERT_TRUE(split.hasPatchPath);
    EXPECT_EQ(split.directory, directory);
    EXPECT_EQ(split.logPath, patchDir + "qvsp.log");
}

}  // namespace
