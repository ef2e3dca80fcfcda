// The platform-neutral part of the framework: message tables, data exchange, the control and
// dialog classes over the platform's window calls, and the application object's start sequence.
#include "afxwin.h"

#include <vector>

namespace {
CWinApp* g_app = nullptr;
}

// ---- message tables -------------------------------------------------------------------------

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

bool CCmdTarget::DispatchToMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->pfnHandler != nullptr; ++e) {
            if (e->nMessage != message)
                continue;
            if (message == WM_COMMAND && (HIWORD(wParam) != 0 || LOWORD(wParam) != (e->nID & 0xffff)))
                continue;
            *result = e->pfnHandler(this, wParam, lParam);
            return true;
        }
    }
    return false;
}

// ---- windows --------------------------------------------------------------------------------

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::SendMessage(m_hWnd, message, wParam, lParam);
}

void CWnd::SetDlgItemText(int id, LPCSTR text) { ::SetDlgItemText(m_hWnd, id, text); }

BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }

void CWnd::GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon)
{
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

BOOL CWnd::DestroyWindow()
{
    if (m_hWnd == nullptr)
        return FALSE;
    BOOL ok = ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    return ok;
}

void DDX_Control(CDataExchange* pDX, int id, CWnd& control)
{
    // Bound anew at every exchange: a dialog created again has new controls.
    control.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
}

void DDX_Text(CDataExchange* pDX, int id, CString& value)
{
    HWND dialog = pDX->m_pDlgWnd->m_hWnd;
    if (!pDX->m_bSaveAndValidate) {
        ::SetDlgItemText(dialog, id, value.c_str());
        return;
    }
    HWND control = ::GetDlgItem(dialog, id);
    std::vector<char> text(4096, '\0');
    ::SendMessage(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    value = text.data();
}

// ---- progress bar ---------------------------------------------------------------------------

void CProgressCtrl::SetRange(short lower, short upper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
int CProgressCtrl::SetPos(int position) { return static_cast<int>(SendMessage(PBM_SETPOS, position)); }
int CProgressCtrl::SetStep(int step) { return static_cast<int>(SendMessage(PBM_SETSTEP, step)); }
int CProgressCtrl::StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT)); }
int CProgressCtrl::GetPos() { return static_cast<int>(SendMessage(PBM_GETPOS)); }

// ---- dialogs --------------------------------------------------------------------------------

BEGIN_MESSAGE_MAP(CDialog, CCmdTarget)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

bool CDialog::HandleDialogMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    m_defaultRequested = false;
    if (!DispatchToMessageMap(message, wParam, lParam, result))
        return false;
    return !m_defaultRequested;
}

// ---- painting -------------------------------------------------------------------------------

CPaintDC::CPaintDC(CWnd* wnd) : m_hWnd(wnd->m_hWnd), m_ps() { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }

CPaintDC::~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }

BOOL CPaintDC::DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(m_hDC, x, y, icon); }

// ---- application ----------------------------------------------------------------------------

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp()
{
    if (g_app == this)
        g_app = nullptr;
}

CWinApp* AfxGetApp() { return g_app; }

const AFX_MSGMAP* CWinApp::GetThisMessageMap() { return CCmdTarget::GetThisMessageMap(); }
const AFX_MSGMAP* CWinApp::GetMessageMap() const { return GetThisMessageMap(); }

int AfxWinMain(HINSTANCE instance, LPSTR argumentString)
{
    CWinApp* app = AfxGetApp();
    if (app == nullptr)
        return 0;
    app->m_hInstance = instance;
    app->m_lpCmdLine = argumentString;
    // Programs on this framework do their whole work in the start routine: there is no message
    // loop, so the exit routine follows at once whatever the start routine returned.
    app->InitInstance();
    return app->ExitInstance();
}
