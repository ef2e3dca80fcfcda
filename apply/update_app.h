// qvapply's application object and the run state that the progress window shares.
#pragma once

#include <cstdint>
#include <cstdio>

#include "afxwin.h"

// The open log file, or null when it could not be opened.
extern std::FILE* fpLog;
// Set once the library failed or the user cancelled; never cleared.
extern std::int32_t bAbort;

class CUpdateApp : public CWinApp {
public:
    // The whole update run: split the command line, open the log, show the progress window and
    // call the patch library once. Returns FALSE: there is no message loop.
    BOOL InitInstance() override;
    // Closes the log and the window; the exit code is 1 after a completed run without Cancel,
    // 0 otherwise.
    int ExitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CUpdateApp theApp;
