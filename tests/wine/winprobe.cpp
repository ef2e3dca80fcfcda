// The test bench's window helper.
#include "winprobe.h"

#include <commctrl.h>

#include <cstdio>
#include <vector>

namespace winprobe {

namespace {

struct Search {
    std::string caption;
    std::string className;
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<Search*>(param);
    if (!IsWindowVisible(hwnd))
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (search->processId != 0 && pid != search->processId)
        return TRUE;
    char text[512] = "";
    GetWindowTextA(hwnd, text, sizeof text);
    if (!search->caption.empty() && search->caption != text)
        return TRUE;
    char cls[128] = "";
    GetClassNameA(hwnd, cls, sizeof cls);
    if (!search->className.empty() && search->className != cls)
        return TRUE;
    search->found = hwnd;
    return FALSE;
}

HWND WaitFor(Search search, int timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        search.found = nullptr;
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr)
            return search.found;
        if (static_cast<int>(GetTickCount() - start) > timeoutMs)
            return nullptr;
        Sleep(20);
    }
}

}  // namespace

HWND WaitForWindow(const std::string& caption, DWORD processId, int timeoutMs)
{
    return WaitFor(Search{caption, "", processId, nullptr}, timeoutMs);
}

std::string ControlText(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr)
        return "<no control>";
    char text[1024] = "";
    GetWindowTextA(control, text, sizeof text);
    return text;
}

bool ProgressPos(HWND dialog, int id, int* position, int timeoutMs)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(GetDlgItem(dialog, id), PBM_GETPOS, 0, 0, SMTO_NORMAL, static_cast<UINT>(timeoutMs),
                             &result))
        return false;
    *position = static_cast<int>(result);
    return true;
}

bool PressButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    return button != nullptr && PostMessageA(button, BM_CLICK, 0, 0);
}

bool RequestClose(HWND window) { return PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0) != 0; }

bool SaveScreenshot(HWND window, const std::string& path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return false;
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    int stride = (width * 3 + 3) & ~3;
    std::vector<unsigned char> pixels(static_cast<size_t>(stride) * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 && std::fwrite(&info, sizeof info, 1, out) == 1 &&
              std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    return std::fclose(out) == 0 && ok;
}

HWND WaitForMessageBox(DWORD processId, int timeoutMs, std::string* caption, std::string* text)
{
    HWND box = WaitFor(Search{"", "#32770", processId, nullptr}, timeoutMs);
    if (box == nullptr)
        return nullptr;
    char buffer[1024] = "";
    GetWindowTextA(box, buffer, sizeof buffer);
    *caption = buffer;
    // The message text is the static control 0xFFFF.
    *text = ControlText(box, 0xFFFF);
    return box;
}

}  // namespace winprobe
