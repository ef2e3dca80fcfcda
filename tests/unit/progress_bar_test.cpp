// The progress bar's own rules, which the window relies on when a step carries the position past
// either end. The expectations were read off the platform's control; the same test runs against
// the terminal's control.
#include <gtest/gtest.h>

#include "update_dlg.h"

namespace {

TEST(ProgressBarTest, StepsWrapAroundAndPositionsClamp)
{
    ASSERT_TRUE(dlgUpdate.Create(CUpdateDlg::IDD, nullptr));
    HWND bar = GetDlgItem(dlgUpdate.m_hWnd, IDC_PROGRESS);
    ASSERT_NE(bar, nullptr);
    SendMessage(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendMessage(bar, PBM_SETPOS, 0, 0);

    struct Step {
        int step;
        int previous;
        int now;
    };
    const Step steps[] = {{50, 0, 50},   {25, 50, 75},  {0, 75, 75},   {25, 75, 100}, {10, 100, 10},
                          {-90, 10, 20}, {-5, 20, 15},  {30, 15, 45},  {150, 45, 95}, {-250, 95, 45},
                          {99, 45, 44},  {100, 44, 44}, {101, 44, 45}, {199, 45, 44}, {-199, 44, 45}};
    for (const Step& s : steps) {
        SendMessage(bar, PBM_SETSTEP, static_cast<WPARAM>(s.step), 0);
        EXPECT_EQ(SendMessage(bar, PBM_STEPIT, 0, 0), s.previous) << s.step;
        EXPECT_EQ(SendMessage(bar, PBM_GETPOS, 0, 0), s.now) << s.step;
    }

    SendMessage(bar, PBM_SETPOS, 150, 0);
    EXPECT_EQ(SendMessage(bar, PBM_GETPOS, 0, 0), 100);
    SendMessage(bar, PBM_SETPOS, static_cast<WPARAM>(-5), 0);
    EXPECT_EQ(SendMessage(bar, PBM_GETPOS, 0, 0), 0);
    dlgUpdate.DestroyWindow();
}

}  // namespace
