// The terminal window system: what a dialog looks like, when it is drawn, and how close requests
// from signals reach the dialog.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "afx_term.h"
#include "update_app.h"
#include "update_dlg.h"

namespace {

class TermWindowTest : public ::testing::Test {
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
        AfxTermSetOutput(2);
        bAbort = 0;
        nLastPercent = 0;
    }

    // Dispatches everything waiting, paint included.
    static void Pump()
    {
        MSG msg;
        for (int i = 0; i < 50 && PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE); ++i)
            DispatchMessage(&msg);
    }

    static std::string ReadAvailable(int fd)
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }
};

TEST_F(TermWindowTest, FrameShowsLabelsTextsBarAndButton)
{
    dlgUpdate.SetDlgItemText(IDC_DIRECTORY, "/opt/quorvane");
    PatchCallback(7, const_cast<char*>("APP.EXE"));
    std::uint32_t half = 0x4000;
    PatchCallback(5, &half);

    std::vector<std::string> lines = AfxTermFrame(dlgUpdate.m_hWnd);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("-- Updating Quorvane ---", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "      Updating Quorvane at: /opt/quorvane");
    EXPECT_EQ(lines[2], "      File: APP.EXE");
    EXPECT_NE(lines[3].find("]  50%"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[3].find('['), 6u);
    EXPECT_NE(lines[4].find("[ Cancel ]"), std::string::npos);
}

TEST_F(TermWindowTest, PaintComesOnlyWhenNothingElseWaits)
{
    MSG msg;
    ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_PAINT));

    PostMessage(dlgUpdate.m_hWnd, WM_USER + 7, 0, 0);
    ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 7));
    ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_PAINT));
    DispatchMessage(&msg);
    EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(TermWindowTest, CloseRequestBecomesTheCancelCommand)
{
    Pump();
    AfxTermRequestClose();
    AfxTermRequestClose();
    MSG msg;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, static_cast<UINT>(WM_COMMAND));
        EXPECT_EQ(LOWORD(msg.wParam), IDCANCEL);
        EXPECT_EQ(msg.hwnd, dlgUpdate.m_hWnd);
    }
    EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(TermWindowTest, DrawsOnATerminalOnly)
{
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
    AfxTermSetOutput(pipeFds[1]);
    Pump();
    EXPECT_EQ(ReadAvailable(pipeFds[0]), "");
    close(pipeFds[0]);
    close(pipeFds[1]);

    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    AfxTermSetOutput(slave);
    dlgUpdate.SetDlgItemText(IDC_DIRECTORY, "/srv/q");
    Pump();
    std::string drawn = ReadAvailable(master);
    EXPECT_NE(drawn.find("Updating Quorvane at: /srv/q"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("[ Cancel ]"), std::string::npos);

    // A redraw goes back over the lines it drew before.
    dlgUpdate.SetDlgItemText(IDC_FILE, "B.DLL");
    Pump();
    drawn = ReadAvailable(master);
    EXPECT_EQ(drawn.rfind("\x1b[5F", 0), 0u);
    EXPECT_NE(drawn.find("File: B.DLL"), std::string::npos);
    close(master);
    close(slave);
}

}  // namespace
