// setup's entry on Windows.
#include <windows.h>

#include <cstring>
#include <vector>

#include "bootstrap.h"
#include "program_name.h"

namespace {

// The argument string, from the process's whole command line: the program name (a quoted one up
// to and including its closing quote, an unquoted one up to the first blank or tab) and the blanks
// and tabs after it are skipped. The start-up code's own argument string ends a quoted name at the
// first blank instead, which loses arguments written right after the closing quote.
const char* ArgumentString(const char* commandLine)
{
    return platform::SkipProgramName(commandLine, [](char c) { return c == ' ' || c == '\t'; });
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // A copy the stub may change in place (the language switch upper-cases it).
    const char* arguments = ArgumentString(GetCommandLineA());
    std::vector<char> argumentString(arguments, arguments + std::strlen(arguments) + 1);
    return RunBootstrap(instance, argumentString.data());
}
