// Platform layer of the framework on Windows: the real Win32 and common-control headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

// Separator between a directory and a file name in this platform's paths.
#define AFX_PATH_SEPARATOR '\\'
