// The argument string of a Windows program: its whole command line less the program's name. A
// quoted name ends at its closing quote, an unquoted one at the first separator; the separators
// after it are skipped. Which bytes separate is the caller's rule: setup's sequence skips blanks
// and tabs, qvapply's framework every byte up to 0x20.
#pragma once

namespace platform {

template <typename IsSeparator>
const char* SkipProgramName(const char* commandLine, IsSeparator isSeparator)
{
    const char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while (*p != '\0' && !isSeparator(*p))
            ++p;
    }
    while (*p != '\0' && isSeparator(*p))
        ++p;
    return p;
}

}  // namespace platform
