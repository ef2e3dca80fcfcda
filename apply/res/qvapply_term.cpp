// qvapply's resources for the terminal: the progress window's template (the same controls, texts
// and positions as the Windows template) and the icon's id.
#include "afxwin.h"
#include "../resource.h"

namespace {

const AfxDialogItem kUpdateItems[] = {
    {IDC_PROGRESS, "msctls_progress32", "Progress1", 27, 53, 247, 11},
    {IDC_FILE, "static", "", 46, 39, 226, 8},
    {IDCANCEL, "button", "Cancel", 119, 72, 68, 14},
    {IDC_STATIC, "static", "Updating Quorvane at:", 27, 19, 77, 8},
    {IDC_STATIC, "static", "File: ", 27, 39, 16, 8},
    {IDC_DIRECTORY, "static", "", 109, 19, 173, 8},
};

const AfxDialogTemplate kUpdateTemplate = {
    IDD_UPDATE, "Updating Quorvane", 300,
    97,         kUpdateItems,        static_cast<int>(sizeof kUpdateItems / sizeof kUpdateItems[0])};

const AfxIconResource kMainIcon = {IDR_MAINFRAME, "qvapply"};

}  // namespace

const AfxDialogTemplate* AfxFindDialogTemplate(UINT id) { return id == IDD_UPDATE ? &kUpdateTemplate : nullptr; }

const AfxIconResource* AfxFindIconResource(UINT id) { return id == IDR_MAINFRAME ? &kMainIcon : nullptr; }
