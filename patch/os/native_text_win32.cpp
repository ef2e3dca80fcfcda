// Text conversions on Windows: the ANSI code page to and from UTF-8.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "native_text.h"

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

}  // namespace qvpatch
