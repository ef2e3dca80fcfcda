// setup's entry on POSIX systems: the argument string is the arguments joined by single blanks.
#include <string>
#include <vector>

#include "bootstrap.h"

int main(int argc, char** argv)
{
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            joined += ' ';
        joined += argv[i];
    }
    std::vector<char> argumentString(joined.begin(), joined.end());
    argumentString.push_back('\0');
    return RunBootstrap(nullptr, argumentString.data());
}
