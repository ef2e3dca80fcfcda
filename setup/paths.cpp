// Paths of the stub.
#include "paths.h"

#include <cstring>

#include "setup_platform.h"

char PathSeparator() { return platform::Os().Separator(); }

bool IsPathSeparator(char c) { return c == PathSeparator() || c == '/'; }

bool JoinPath(const std::string& directory, const std::string& name, std::string* out)
{
    if (directory.size() + 1 + name.size() > kMaxPathChars)
        return false;
    *out = directory + PathSeparator() + name;
    return true;
}

bool CurrentDirectory(std::string* directory)
{
    char cwd[kPathBufferSize] = {};
    unsigned n = platform::Os().GetCurrentDirectory(sizeof cwd, cwd);
    if (n == 0 || n >= sizeof cwd)
        return false;
    *directory = cwd;
    return true;
}

void CopyCut(char* buffer, std::size_t size, const std::string& text)
{
    if (size == 0)
        return;
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}
