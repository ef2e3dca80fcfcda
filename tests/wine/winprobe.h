// The test bench's window helper for Windows programs: finds a program's window, reads its
// controls, presses its buttons, closes it, and saves a picture of it.
#pragma once

#include <windows.h>

#include <string>

namespace winprobe {

// The first visible top-level window with this caption (of this process, when processId is not
// 0), waiting up to timeoutMs for it to appear. Null when none appeared.
HWND WaitForWindow(const std::string& caption, DWORD processId, int timeoutMs);

// A control's text, read without a message to the owning thread (so it works while that thread
// is busy).
std::string ControlText(HWND dialog, int id);

// The position of a progress bar. Needs the owning thread to look at its messages within
// timeoutMs; false when it did not.
bool ProgressPos(HWND dialog, int id, int* position, int timeoutMs);

// Presses a button as a click would: the button handles it when its thread next dispatches.
bool PressButton(HWND dialog, int id);

// Asks the window to close, as its close box does.
bool RequestClose(HWND window);

// Saves the window's picture as it is on the screen, as a 24-bit BMP file.
bool SaveScreenshot(HWND window, const std::string& path);

// A message box on screen: its caption and text. Returns null when none appeared in time.
HWND WaitForMessageBox(DWORD processId, int timeoutMs, std::string* caption, std::string* text);

}  // namespace winprobe
