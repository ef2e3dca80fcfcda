// The framework on Windows: the program's entry point, real dialogs from template resources, and
// resource icons.
#include "afxwin.h"

#include <fcntl.h>
#include <io.h>

#include "program_name.h"

namespace {

// The argument string: the command line less the program's name (which may stand in double
// quotes) and less every byte up to 0x20 that follows it.
LPSTR ArgumentString(LPSTR commandLine)
{
    const char* arguments =
        platform::SkipProgramName(commandLine, [](char c) { return static_cast<unsigned char>(c) <= 0x20; });
    return commandLine + (arguments - commandLine);
}

// Centres a dialog whose template gave neither a centring nor an absolute-position style, as long
// as it is still hidden, has not been moved during its initialisation and has no enabled owner.
void CentreIfUnplaced(HWND dialog, const RECT& before)
{
    LONG style = GetWindowLongA(dialog, GWL_STYLE);
    if ((style & (DS_CENTER | DS_ABSALIGN)) != 0 || IsWindowVisible(dialog))
        return;
    RECT now;
    GetWindowRect(dialog, &now);
    if (now.left != before.left || now.top != before.top)
        return;
    HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner != nullptr && IsWindowEnabled(owner))
        return;
    RECT work;
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0))
        GetWindowRect(GetDesktopWindow(), &work);
    int width = now.right - now.left;
    int height = now.bottom - now.top;
    int x = work.left + ((work.right - work.left) - width) / 2;
    int y = work.top + ((work.bottom - work.top) - height) / 2;
    if (x < work.left)
        x = work.left;
    if (y < work.top)
        y = work.top;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Messages whose result a dialog procedure returns directly instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    switch (message) {
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM: return true;
    default: return false;
    }
}

INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        dialog->m_hWnd = hwnd;
        RECT before;
        GetWindowRect(hwnd, &before);
        BOOL focusDefault = dialog->OnInitDialog();
        CentreIfUnplaced(hwnd, before);
        return focusDefault;
    }
    auto* dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (dialog == nullptr)
        return FALSE;
    if (message == WM_NCDESTROY) {
        dialog->m_hWnd = nullptr;
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        return FALSE;
    }
    LRESULT result = 0;
    if (!dialog->HandleDialogMessage(message, wParam, lParam, &result))
        return FALSE;
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

}  // namespace

BOOL CDialog::Create(UINT templateId, CWnd* parent)
{
    m_nIDTemplate = templateId;
    m_pParentWnd = parent;
    // The progress bar and the other common controls must be registered before a template that
    // uses them is instantiated.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = AfxGetApp() ? AfxGetApp()->m_hInstance : GetModuleHandleA(nullptr);
    HWND hwnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId), parent ? parent->m_hWnd : nullptr,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
    return hwnd != nullptr;
}

HICON CWinApp::LoadIcon(UINT resourceId) const { return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(resourceId)); }

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Critical file-system errors and missing files are reported to the program, not in a system
    // dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return AfxWinMain(instance, ArgumentString(GetCommandLineA()));
}

std::FILE* AfxOpenLogFile(const char* path)
{
    // The link itself, should there be one, is opened and then refused; only a file on a disk
    // is kept.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD pathAttributes = GetFileAttributesA(path);
    bool plain = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                 (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                 pathAttributes != INVALID_FILE_ATTRIBUTES && (pathAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (!plain || !SetEndOfFile(h)) {
        (void)CloseHandle(h);  // nothing was written
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_TEXT);
    if (fd < 0) {
        (void)CloseHandle(h);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "w+");
    if (file == nullptr)
        (void)_close(fd);
    return file;
}
