// Text conversions on Windows: the ANSI code page to and from UTF-8.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "qvpatch/system_text.h"

namespace qvpatch {

namespace {

std::string Convert(const std::string& text, UINT from, UINT to)
{
    if (text.empty())
        return text;
    int n = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    int m = WideCharToMultiByte(to, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(m), '\0');
    WideCharToMultiByte(to, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
    return out;
}

}  // namespace

std::string SystemToUtf8(const std::string& text) { return Convert(text, CP_ACP, CP_UTF8); }
std::string Utf8ToSystem(const std::string& text) { return Convert(text, CP_UTF8, CP_ACP); }

void WriteText(std::FILE* stream, const std::string& utf8)
{
    HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if ((stream == stdout || stream == stderr) && console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        // A console shows wide characters as they are; its own code page may lack them.
        std::fflush(stream);
        int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
        DWORD written = 0;
        if (WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr))
            return;
    }
    std::fputs(Utf8ToSystem(utf8).c_str(), stream);
}

}  // namespace qvpatch
