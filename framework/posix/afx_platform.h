// Platform layer of the framework on POSIX systems: the few Win32 types, constants and calls that
// the framework and the program use, with the Win32 values, implemented by a window system drawn on
// the terminal (afx_term.cpp). Only what the program needs is here.
#pragma once

#include <cstdint>

#define AFX_PATH_SEPARATOR '/'

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned long DWORD;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef std::intptr_t LRESULT;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;

struct TermWindow;
struct TermIcon;
struct TermPaint;
typedef TermWindow* HWND;
typedef TermIcon* HICON;
typedef HICON HCURSOR;
typedef TermPaint* HDC;
typedef void* HINSTANCE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct POINT {
    long x;
    long y;
};

struct RECT {
    long left;
    long top;
    long right;
    long bottom;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct PAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
};

#define LOWORD(l) ((unsigned short)(((std::uintptr_t)(l)) & 0xffff))
#define HIWORD(l) ((unsigned short)((((std::uintptr_t)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b) ((long)(((unsigned short)(a)) | ((unsigned long)((unsigned short)(b))) << 16))
#define MAKELPARAM(l, h) ((LPARAM)(unsigned long)MAKELONG(l, h))
#define MAKEWPARAM(l, h) ((WPARAM)(unsigned long)MAKELONG(l, h))
#define MAKEINTRESOURCEA(i) ((LPSTR)((std::uintptr_t)((unsigned short)(i))))

#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_ICONERASEBKGND 0x0027
#define WM_QUERYDRAGICON 0x0037
#define WM_SETICON 0x0080
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_USER 0x0400

#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETSTEP (WM_USER + 4)
#define PBM_STEPIT (WM_USER + 5)
#define PBM_GETPOS (WM_USER + 8)

#define ICON_SMALL 0
#define ICON_BIG 1
#define SM_CXICON 11
#define SM_CYICON 12
#define IDOK 1
#define IDCANCEL 2
#define BN_CLICKED 0
#define PM_NOREMOVE 0
#define PM_REMOVE 1

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeMsg);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessage(const MSG* msg);
LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
HWND GetDlgItem(HWND dialog, int id);
BOOL SetDlgItemText(HWND dialog, int id, LPCSTR text);
BOOL IsIconic(HWND hwnd);
BOOL GetClientRect(HWND hwnd, RECT* rect);
int GetSystemMetrics(int index);
BOOL DestroyWindow(HWND hwnd);
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint);
BOOL DrawIcon(HDC dc, int x, int y, HICON icon);

// ---- resources ----
// The program supplies its dialog templates and icons in a source file of its own (the terminal's
// counterpart of a resource script); the framework finds them by id.

struct AfxDialogItem {
    int id;                 // control id, -1 for labels nobody addresses
    const char* className;  // "static", "button" or "msctls_progress32"
    const char* text;
    int x, y, cx, cy;  // dialog units, as in the template
};

struct AfxDialogTemplate {
    UINT id;
    const char* caption;
    int cx, cy;
    const AfxDialogItem* items;
    int itemCount;
};

struct AfxIconResource {
    UINT id;
    const char* name;
};

const AfxDialogTemplate* AfxFindDialogTemplate(UINT id);
const AfxIconResource* AfxFindIconResource(UINT id);
