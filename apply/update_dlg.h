// qvapply's progress window, the library's callback and the Cancel action.
#pragma once

#include <cstdint>

#include "afxwin.h"
#include "patchw32.h"
#include "resource.h"

class CUpdateDlg : public CDialog {
public:
    enum { IDD = IDD_UPDATE };

    explicit CUpdateDlg(CWnd* parent = nullptr);

    // Moves the bar by the difference between this percent and the one reported before.
    void StepProgress(int percent);
    void SetProgressPos(int position);

    CProgressCtrl m_progress;
    CString m_strFile;

protected:
    HICON m_hIcon = nullptr;

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    void OnPaint();
    HCURSOR OnQueryDragIcon();

    DECLARE_MESSAGE_MAP()
};

class CUpdateAbort {
public:
    virtual ~CUpdateAbort() = default;
    // Sets the abort flag and writes the cancel text to the log.
    void Abort();
};

extern CUpdateDlg dlgUpdate;
extern CUpdateAbort updateAbort;
// The percent last passed to StepProgress.
extern std::int32_t nLastPercent;

// The text that every processed Cancel appends to the log, with no line end.
extern const char kCancelLogText[];

// The library's callback: services the window (at most one message), then acts on the library's
// message. Replies with an empty string, or null to a stop query (21) once Cancel was processed.
void* PATCHW32_API PatchCallback(int id, void* param);
