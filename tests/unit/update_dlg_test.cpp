// The progress window and the library's callback, on the real window system of each platform:
// Win32 dialogs under Wine, the terminal window system natively.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "update_app.h"
#include "update_dlg.h"

namespace {

class UpdateWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        bAbort = 0;
        nLastPercent = 0;
        ASSERT_TRUE(dlgUpdate.Create(CUpdateDlg::IDD, nullptr));
    }

    void TearDown() override
    {
        dlgUpdate.DestroyWindow();
        if (fpLog != nullptr)
            std::fclose(fpLog);
        fpLog = nullptr;
        bAbort = 0;
        nLastPercent = 0;
    }

    static HWND Control(int id) { return GetDlgItem(dlgUpdate.m_hWnd, id); }

    static int BarPos() { return static_cast<int>(SendMessage(Control(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }

    static std::string Text(int id)
    {
        char text[600] = "";
        SendMessage(Control(id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
        return text;
    }

    static void* Progress(std::uint32_t value) { return PatchCallback(5, &value); }

    static bool IsEmptyReply(void* reply) { return reply != nullptr && *static_cast<const char*>(reply) == '\0'; }

    // Stop queries until one gets the null reply; each of them lets the window handle one message.
    static int QueriesUntilStop(int limit)
    {
        for (int i = 1; i <= limit; ++i)
            if (PatchCallback(21, nullptr) == nullptr)
                return i;
        return 0;
    }

    static std::string LogText()
    {
        std::fflush(fpLog);
        std::rewind(fpLog);
        std::string text;
        for (int c; (c = std::fgetc(fpLog)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }
};

TEST_F(UpdateWindowTest, OpensWithEmptyFileLineAndBarAtZero)
{
    EXPECT_EQ(Text(IDC_FILE), "");
    EXPECT_EQ(BarPos(), 0);
    // The icon is the window's drag image.
    EXPECT_NE(SendMessage(dlgUpdate.m_hWnd, WM_QUERYDRAGICON, 0, 0), 0);
}

TEST_F(UpdateWindowTest, ProgressIsTheFloorOfTheLow16BitsAsPercent)
{
    struct Case {
        std::uint32_t value;
        int percent;
    };
    const Case cases[] = {{0, 0},        {327, 0},      {328, 1},      {0x4000, 50},  {0x7FFF, 99},
                          {0x8000, 100}, {0xC000, 150}, {0xFFFF, 199}, {0x18000, 100}};
    for (const Case& c : cases) {
        nLastPercent = 0;
        dlgUpdate.SetProgressPos(0);
        EXPECT_TRUE(IsEmptyReply(Progress(c.value))) << c.value;
        EXPECT_EQ(nLastPercent, c.percent) << c.value;
        if (c.percent <= 100) {
            EXPECT_EQ(BarPos(), c.percent) << c.value;
        }
    }
}

TEST_F(UpdateWindowTest, BarStepsByTheDifferenceToTheLastPercent)
{
    Progress(0x4000);
    EXPECT_EQ(BarPos(), 50);
    Progress(0x6000);
    EXPECT_EQ(BarPos(), 75);
    Progress(0x6000);
    EXPECT_EQ(BarPos(), 75);
    EXPECT_EQ(nLastPercent, 75);
}

TEST_F(UpdateWindowTest, FileDoneClearsTheLineAndTheBarButNotTheLastPercent)
{
    EXPECT_TRUE(IsEmptyReply(PatchCallback(7, const_cast<char*>("APP.EXE"))));
    EXPECT_EQ(Text(IDC_FILE), "APP.EXE");
    Progress(0x8000);
    EXPECT_EQ(BarPos(), 100);

    EXPECT_TRUE(IsEmptyReply(PatchCallback(8, nullptr)));
    EXPECT_EQ(Text(IDC_FILE), " ");
    EXPECT_EQ(BarPos(), 0);
    EXPECT_EQ(nLastPercent, 100);

    // 10 % steps by -90 from position 0; the bar starts over from its upper end.
    Progress(3277);
    EXPECT_EQ(nLastPercent, 10);
    EXPECT_EQ(BarPos(), 10);
}

TEST_F(UpdateWindowTest, OtherMessagesChangeNothing)
{
    PatchCallback(7, const_cast<char*>("KEEP.DLL"));
    Progress(0x4000);
    for (int id : {99, 0, -1, 1, 4, 6, 9, 20, 22}) {
        EXPECT_TRUE(IsEmptyReply(PatchCallback(id, nullptr))) << id;
        EXPECT_EQ(Text(IDC_FILE), "KEEP.DLL") << id;
        EXPECT_EQ(BarPos(), 50) << id;
        EXPECT_EQ(nLastPercent, 50) << id;
    }
    EXPECT_EQ(bAbort, 0);
}

TEST_F(UpdateWindowTest, CancelTurnsTheStopQueryNullForGood)
{
    fpLog = std::tmpfile();
    ASSERT_NE(fpLog, nullptr);
    EXPECT_TRUE(IsEmptyReply(PatchCallback(21, nullptr)));

    PostMessage(dlgUpdate.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                reinterpret_cast<LPARAM>(Control(IDCANCEL)));
    EXPECT_GT(QueriesUntilStop(20), 0);
    EXPECT_EQ(bAbort, 1);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(PatchCallback(21, nullptr), nullptr);
    // The window stays open.
    EXPECT_NE(dlgUpdate.m_hWnd, nullptr);
    EXPECT_EQ(Text(IDCANCEL), "Cancel");
    EXPECT_EQ(LogText(), kCancelLogText);
}

TEST_F(UpdateWindowTest, EachCancelWritesTheTextOnceBackToBack)
{
    fpLog = std::tmpfile();
    ASSERT_NE(fpLog, nullptr);
    for (int i = 0; i < 2; ++i)
        PostMessage(dlgUpdate.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                    reinterpret_cast<LPARAM>(Control(IDCANCEL)));
    for (int i = 0; i < 20; ++i)
        PatchCallback(0, nullptr);
    EXPECT_EQ(LogText(), std::string(kCancelLogText) + kCancelLogText);
    EXPECT_EQ(std::string(kCancelLogText), "CANCEL BUTTON PUSHED.  ABORTING QUORVANE UPDATE!");
}

TEST_F(UpdateWindowTest, CloseRequestActsAsCancelAndTheWindowStays)
{
    fpLog = std::tmpfile();
    ASSERT_NE(fpLog, nullptr);
    PostMessage(dlgUpdate.m_hWnd, WM_CLOSE, 0, 0);
    EXPECT_GT(QueriesUntilStop(20), 0);
    EXPECT_NE(dlgUpdate.m_hWnd, nullptr);
    EXPECT_EQ(Text(IDC_PROGRESS), "Progress1");
    EXPECT_EQ(LogText(), kCancelLogText);
}

TEST_F(UpdateWindowTest, CancelWithoutALogStillStops)
{
    PostMessage(dlgUpdate.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                reinterpret_cast<LPARAM>(Control(IDCANCEL)));
    EXPECT_GT(QueriesUntilStop(20), 0);
}

TEST_F(UpdateWindowTest, ExitCodeTellsACompletedRunFromAFailedOne)
{
    fpLog = std::tmpfile();
    EXPECT_EQ(theApp.ExitInstance(), 1);
    EXPECT_EQ(fpLog, nullptr);
    EXPECT_EQ(dlgUpdate.m_hWnd, nullptr);

    ASSERT_TRUE(dlgUpdate.Create(CUpdateDlg::IDD, nullptr));
    bAbort = 1;
    EXPECT_EQ(theApp.ExitInstance(), 0);
}

}  // namespace
