// How qvapply reads its command line: the target directory, one blank, the patch file's path.
#pragma once

#include <string>

struct UpdateCommandLine {
    // False when there is no patch path: no blank, or nothing but blanks after the first one.
    bool hasPatchPath = false;
    // Everything before the first blank: the directory shown in the window.
    std::string directory;
    // "qvsp.log" in the directory part of what follows the first blank: that text up to and
    // including its last separator. With no separator, the log goes to the current directory.
    std::string logPath;
};

// Only the byte 0x20 separates; tabs and double quotes are ordinary characters, and every blank
// after the first one stays part of the patch path. There is no length limit.
UpdateCommandLine SplitUpdateCommandLine(const std::string& commandLine, char pathSeparator);
