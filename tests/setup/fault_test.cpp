// The stub under injected file-system failures: whichever operation fails, once or from then on,
// the run ends in one of its messages (or starts the installer), with result 1, and nothing outside
// the staging directory is ever deleted or changed.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "bootstrap.h"
#include "setup_test_support.h"
#include "staging.h"

namespace {

// A kit, its working directory and staging directory on a fake machine.
void Kit(platform::FakePlatform& os)
{
    os.moduleFileName = "C:\\KIT\\SETUP.EXE";
    os.AddFile("C:\\KIT\\SETUP.INI", "[Stub]\r\nDefaultLang=US\r\n");
    for (const char* file : {"_SETUP.DLL", "_SETUP.LIB", "QVSETRES.DLL", "SCN.TXT"})
        os.AddFile(std::string("C:\\KIT\\US\\") + file, std::string(70000, file[1]));
    os.AddFile("C:\\KIT\\QVGSW.HLP", "help");
    os.AddFile("C:\\WORK\\QVSETUP.TMP\\ISETUP.EXE", "installer");
    os.AddFile("C:\\WORK\\KEEP.TXT", "the user's");
    os.currentDirectory = "C:\\WORK";
}

// Every file outside the staging directory (keys are upper-cased paths).
std::map<std::string, std::string> Outside(const platform::FakePlatform& os)
{
    auto files = os.Files();
    for (auto it = files.begin(); it != files.end();)
        it = it->first.rfind("C:\\WORK\\QVSETUP.TMP\\", 0) == 0 ? files.erase(it) : std::next(it);
    return files;
}

using FaultTest = SetupTest;

TEST(SetupFaultTest, EveryFailureEndsInOneMessageOrTheStartAndDeletesNothingOutside)
{
    long total = 0;
    {
        platform::FakePlatform os;
        platform::ScopedOs scoped(os);
        Kit(os);
        std::string args;
        EXPECT_EQ(RunBootstrap(nullptr, args.data()), 1);
        ASSERT_EQ(os.started.size(), 1u);
        total = os.operations;
    }
    ASSERT_GT(total, 20);
    const std::vector<std::string> messages = {"Cannot find valid setup language", "Cannot set up temporary directory",
                                               "Error occurred copying file to temporary directory",
                                               "Error occurred trying to run setup"};
    for (bool fromThenOn : {false, true}) {
        for (long n = 1; n <= total; ++n) {
            platform::FakePlatform os;
            platform::ScopedOs scoped(os);
            Kit(os);
            auto before = Outside(os);
            os.failAt = n;
            os.failFromThenOn = fromThenOn;
            std::string args;
            ASSERT_EQ(RunBootstrap(nullptr, args.data()), 1) << n;
            bool started = !os.started.empty();
            ASSERT_EQ(os.messageBoxes.size(), started ? 0u : 1u) << n << (fromThenOn ? " from then on" : "");
            if (!started) {
                EXPECT_NE(std::find(messages.begin(), messages.end(), os.messageBoxes[0].text), messages.end())
                    << os.messageBoxes[0].text;
            }
            EXPECT_EQ(Outside(os), before) << n;
            EXPECT_EQ(os.openFiles, 0) << n;
            EXPECT_EQ(os.liveAllocations, 0u) << n;
        }
    }
}

TEST_F(FaultTest, RemoveDirUnderFailuresStaysInsideTheStagingDirectory)
{
    Kit(os);
    for (long n = 1; n <= 12; ++n) {
        os.AddFile("C:\\WORK\\QVSETUP.TMP\\A.DLL", "a");
        os.AddFile("C:\\WORK\\QVSETUP.TMP\\B.DLL", "b");
        auto before = Outside(os);
        os.operations = 0;
        os.failAt = n;
        os.failFromThenOn = n % 2 == 0;
        std::string staging = "C:\\WORK\\QVSETUP.TMP";
        // Success means the staging directory is gone; a failure leaves it there.
        int result = RemoveDir(staging.data());
        EXPECT_EQ(result == 1, !os.Exists(staging)) << n;
        EXPECT_EQ(Outside(os), before) << n;
        os.failAt = 0;
        os.AddDirectory(staging);
    }
}

}  // namespace
