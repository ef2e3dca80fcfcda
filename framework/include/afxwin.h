// The small application framework that qvapply is written against: an application object with a
// start and an exit routine, a modeless dialog from a template, a progress-bar control, a paint
// context, and message tables. Windows gets real dialogs; POSIX systems get the terminal rendering.
#pragma once

#include <cstdio>
#include <string>

#include "afx_platform.h"

typedef std::string CString;

class CCmdTarget;

// One row of a message table: a window message (or WM_COMMAND with a command id) and the
// function that handles it.
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nID;  // command id for WM_COMMAND rows, 0 otherwise
    LRESULT (*pfnHandler)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                     \
protected:                                        \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                        \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                                   \
    {                                                                                 \
        typedef theClass ThisClass;                                                   \
        typedef baseClass TheBaseClass;                                               \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define END_MESSAGE_MAP()                                                                     \
    {                                                                                         \
        0, 0, nullptr                                                                         \
    }                                                                                         \
    }                                                                                         \
    ;                                                                                         \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, _messageEntries}; \
    return &messageMap;                                                                       \
    }

#define ON_WM_PAINT()                                            \
    {WM_PAINT, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { \
         static_cast<ThisClass*>(t)->OnPaint();                  \
         return 0;                                               \
     }},

#define ON_WM_QUERYDRAGICON()                                                             \
    {WM_QUERYDRAGICON, 0, [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT {                  \
         return reinterpret_cast<LRESULT>(static_cast<ThisClass*>(t)->OnQueryDragIcon()); \
     }},

// A command row; memberFxn may be qualified (CWinApp::OnHelp) to name a base class's handler.
#define ON_COMMAND(id, memberFxn)                                                      \
    {WM_COMMAND, static_cast<UINT>(id), [](CCmdTarget* t, WPARAM, LPARAM) -> LRESULT { \
         static_cast<ThisClass*>(t)->memberFxn();                                      \
         return 0;                                                                     \
     }},

#define ID_HELP 0xE146

// Base of everything that has a message table.
class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;

    // Looks the message up in this object's table and its bases' tables, most derived first.
    // Command rows match WM_COMMAND with notification code 0 and their id. Returns false when no
    // row matches.
    bool DispatchToMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    void SetDlgItemText(int id, LPCSTR text);
    BOOL IsIconic() const;
    void GetClientRect(RECT* rect) const;
    HICON SetIcon(HICON icon, BOOL bigIcon);
    virtual BOOL DestroyWindow();

protected:
    // Asks for the platform's own handling of the message being dispatched, after the handler
    // returns (the dialog procedure then reports the message as not handled).
    void Default() { m_defaultRequested = true; }
    bool m_defaultRequested = false;
};

class CDataExchange {
public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Binds a control object to the dialog's control with that id.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
// Writes the text into the control (or, when saving, reads it back).
void DDX_Text(CDataExchange* pDX, int id, CString& value);

class CProgressCtrl : public CWnd {
public:
    void SetRange(short lower, short upper);
    int SetPos(int position);
    int SetStep(int step);
    int StepIt();
    int GetPos();
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

    // Creates the dialog modelessly from its template. Returns FALSE when the window could not be
    // created.
    BOOL Create(UINT templateId, CWnd* parent = nullptr);
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    virtual BOOL OnInitDialog();
    virtual void OnOK() {}
    virtual void OnCancel() {}

    // Called by the platform's dialog procedure: the message table first, then the dialog's own
    // commands. Returns false when the platform's default handling applies.
    bool HandleDialogMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

protected:
    virtual void DoDataExchange(CDataExchange*) {}
    void OnPaint() { Default(); }

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

    DECLARE_MESSAGE_MAP()
};

class CPaintDC {
public:
    explicit CPaintDC(CWnd* wnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON icon);

    HDC m_hDC;

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps;
};

class CWinApp : public CCmdTarget {
public:
    CWinApp();
    ~CWinApp() override;

    // The start routine, which does the program's whole work. This framework runs no message loop:
    // the program returns FALSE, and ExitInstance runs at once; its result is the exit code.
    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }

    HICON LoadIcon(UINT resourceId) const;
    // Asks for the three-dimensional look of dialogs; current systems have it already.
    BOOL Enable3dControlsStatic() { return TRUE; }
    // The standard Help command: this framework has no help engine, so there is nothing to open.
    void OnHelp() {}

    HINSTANCE m_hInstance = nullptr;
    // The argument string: the command line less the program's name and the blanks after it.
    LPSTR m_lpCmdLine = nullptr;

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    const AFX_MSGMAP* GetMessageMap() const override;
};

CWinApp* AfxGetApp();

// Opens a log file as fopen(path, "w+") does (created, or emptied, for reading and writing in text
// mode), but only a plain file: a link, directory, pipe or device at the path gives null and is
// left as it is.
std::FILE* AfxOpenLogFile(const char* path);

// The framework's program entry: stores the instance and the argument string in the application
// object, calls InitInstance, then ExitInstance, and returns ExitInstance's result. Each platform's
// entry point calls it.
int AfxWinMain(HINSTANCE instance, LPSTR argumentString);
