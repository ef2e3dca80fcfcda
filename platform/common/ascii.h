// Comparing names as the kit's platform does: only the ASCII letters a to z fold onto A to Z.
#pragma once

#include <string>

namespace platform {

inline char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline bool SameNameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    return true;
}

inline std::string UpperAscii(std::string s)
{
    for (char& c : s)
        c = FoldAscii(c);
    return s;
}

}  // namespace platform
