// The progress window and the library's callback: each callback first lets the window handle one
// pending message (its only chance to paint or see a Cancel), then acts on the library's message.
#include "update_dlg.h"

#include <cstdio>
#include <cstring>

#include "update_app.h"

std::int32_t nLastPercent = 0;

const char kCancelLogText[] = "CANCEL BUTTON PUSHED.  ABORTING QUORVANE UPDATE!";

namespace {

// The callback's ordinary reply; never written.
const char szEmptyReply[] = "";

}  // namespace

CUpdateDlg::CUpdateDlg(CWnd* parent) : CDialog(IDD, parent) {}

void CUpdateDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Text(pDX, IDC_FILE, m_strFile);
}

BEGIN_MESSAGE_MAP(CUpdateDlg, CDialog)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
END_MESSAGE_MAP()

BOOL CUpdateDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    if (m_hIcon == nullptr && AfxGetApp() != nullptr)
        m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_progress.SetRange(0, 100);
    m_progress.SetPos(0);
    m_progress.SetStep(1);
    // The platform puts the focus on the first tab stop, the Cancel button.
    return TRUE;
}

void CUpdateDlg::OnPaint()
{
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    int x = (static_cast<int>(rect.right - rect.left) - cxIcon + 1) / 2;
    int y = (static_cast<int>(rect.bottom - rect.top) - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CUpdateDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CUpdateDlg::OnCancel()
{
    // A request only: the window stays, and the library learns of it at its next stop query.
    CUpdateAbort abort;
    abort.Abort();
}

void CUpdateDlg::StepProgress(int percent)
{
    int step = percent - nLastPercent;
    m_progress.SetStep(step);
    m_progress.StepIt();
    nLastPercent = percent;
}

void CUpdateDlg::SetProgressPos(int position) { m_progress.SetPos(position); }

void CUpdateAbort::Abort()
{
    bAbort = 1;
    // Without a log (it could not be opened) the cancel is still recorded in the flag.
    if (fpLog != nullptr)
        std::fputs(kCancelLogText, fpLog);
}

void* PATCHW32_API PatchCallback(int id, void* param)
{
    MSG msg;
    if (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessage(&msg);
    }

    switch (id) {
    case PATCH_MSG_PROGRESS:
        if (param != nullptr) {
            std::uint32_t value;
            std::memcpy(&value, param, sizeof value);
            // The product is at most 0xFFFF * 100, so the floor division gives 0 to 199.
            int percent = static_cast<int>((value & 0xFFFFu) * 100u / PATCH_PROGRESS_SCALE);
            dlgUpdate.StepProgress(percent);
        }
        break;
    case PATCH_MSG_FILE:
        if (param != nullptr)
            dlgUpdate.SetDlgItemText(IDC_FILE, static_cast<const char*>(param));
        break;
    case PATCH_MSG_FILE_DONE:
        dlgUpdate.SetDlgItemText(IDC_FILE, " ");
        dlgUpdate.SetProgressPos(0);
        break;
    case PATCH_MSG_CONTINUE:
        if (bAbort)
            return nullptr;
        break;
    default: break;
    }
    return const_cast<char*>(szEmptyReply);
}
