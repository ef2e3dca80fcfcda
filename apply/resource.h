// Resource identifiers of qvapply: the progress window's template and controls, and the icon.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_UPDATE 102
#define IDC_PROGRESS 1000
#define IDC_FILE 1002
#define IDC_DIRECTORY 1004
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
