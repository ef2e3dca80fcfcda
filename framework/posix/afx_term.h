// Terminal-only services of the framework's POSIX window system.
#pragma once

#include <string>
#include <vector>

#include "afx_platform.h"

// The lines that the terminal shows for a dialog: its caption, then one line per row of controls.
std::vector<std::string> AfxTermFrame(HWND dialog);

// Draws on this descriptor (stderr by default); nothing is drawn unless it is a terminal.
void AfxTermSetOutput(int fd);

// A close request for the program's dialog, as the close box gives on Windows: it becomes command
// IDCANCEL in the queue at the next look at the queue. Safe to call from a signal handler.
void AfxTermRequestClose();
