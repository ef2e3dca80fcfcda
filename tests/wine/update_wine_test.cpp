// Updating a real tree under Wine from end to end: qvapply.exe with the PATCHW32.DLL beside it.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <string>

#include "qvpatch/build.h"
#include "tree_support.h"
#include "wine_support.h"
#include "winprobe.h"

namespace {

using namespace qvpatch;
using namespace treetest;

const char kCancelText[] = "CANCEL BUTTON PUSHED.  ABORTING QUORVANE UPDATE!";

class UpdateWine : public ::testing::Test {
protected:
    void Prepare(std::size_t bigSize)
    {
        old_ = {{"QUORVANE.EXE", Noise(bigSize, 1)},
                {"README.TXT", "1.0"},
                {"caf\xc3\xa9/", ""},
                {"caf\xc3\xa9/menu.txt", "old"}};
        new_ = old_;
        new_["QUORVANE.EXE"] = Noise(bigSize, 2);
        new_["README.TXT"] = "1.1";
        new_["caf\xc3\xa9/menu.txt"] = "new";
        Make(tmp_.Sub("old"), old_);
        Make(tmp_.Sub("new"), new_);
        Make(tmp_.Sub("app"), old_);
        Patch patch;
        BuildOptions options;
        options.level = 1;
        ASSERT_TRUE(BuildPatch(NativeFileSystem(), tmp_.Sub("old"), tmp_.Sub("new"), options, &patch).ok());
        std::vector<std::uint8_t> bytes = Serialize(patch);
        CreateDirectoryA(tmp_.Sub("sp").c_str(), nullptr);
        wine::WriteFile(tmp_.Sub("sp") + "\\UPDATE.PAT", std::string(bytes.begin(), bytes.end()));
    }

    void Start()
    {
        ASSERT_TRUE(wine::Start(process_, "\"" + wine::ModuleDir() + "\\qvapply.exe\" " + tmp_.Sub("app") + " " +
                                              tmp_.Sub("sp") + "\\UPDATE.PAT"));
    }

    DWORD ExitCode() { return process_.ExitCode(60000); }

    std::map<std::string, std::string> Installed() { return Snapshot(NativeFileSystem(), tmp_.Sub("app")); }
    std::string Log() { return wine::ReadFile(tmp_.Sub("sp") + "\\qvsp.log"); }

    TempTree tmp_;
    std::map<std::string, std::string> old_, new_;
    wine::Process process_;
};

TEST_F(UpdateWine, QvapplyUpdatesTheTree)
{
    Prepare(1 << 20);
    Start();
    EXPECT_EQ(ExitCode(), 1u);
    EXPECT_EQ(Installed(), new_);
    EXPECT_EQ(Log(), "");
}

TEST_F(UpdateWine, AnotherVersionIsRefusedAndLeftAlone)
{
    Prepare(1 << 20);
    Make(tmp_.Sub("app"), {{"README.TXT", "0.9"}});
    auto before = Installed();
    Start();
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(Installed(), before);
}

TEST_F(UpdateWine, AFileHeldOpenWithoutSharingFailsTheUpdateCleanly)
{
    Prepare(1 << 20);
    // Another program (this test) holds README.TXT open and shares it with nobody, as a virus
    // scanner might: it cannot be moved aside, so the update fails and rolls back.
    HANDLE held = CreateFileA((tmp_.Sub("app") + "\\README.TXT").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Start();
    DWORD code = ExitCode();
    CloseHandle(held);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(Installed(), old_);
    EXPECT_FALSE(wine::Exists(tmp_.Sub("app") + "\\.qvpatch.tmp"));
    // Once the file is free, the update goes through.
    Start();
    EXPECT_EQ(ExitCode(), 1u);
    EXPECT_EQ(Installed(), new_);
}

TEST_F(UpdateWine, CancelRollsBack)
{
    // Large enough that the library asks often while the window helper presses Cancel.
    Prepare(48 << 20);
    Start();
    HWND window = winprobe::WaitForWindow("Updating Quorvane", process_.info.dwProcessId, 20000);
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(winprobe::PressButton(window, IDCANCEL));
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(Installed(), old_);
    EXPECT_EQ(Log(), kCancelText);
}

}  // namespace
