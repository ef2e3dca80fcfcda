// Splitting qvapply's command line into the directory to show and the log file's path.
#include "command_line.h"

UpdateCommandLine SplitUpdateCommandLine(const std::string& commandLine, char pathSeparator)
{
    UpdateCommandLine split;
    size_t blank = commandLine.find(' ');
    split.directory = commandLine.substr(0, blank);
    if (blank == std::string::npos)
        return split;
    std::string rest = commandLine.substr(blank + 1);
    if (rest.find_first_not_of(' ') == std::string::npos)
        return split;
    split.hasPatchPath = true;
    size_t separator = rest.rfind(pathSeparator);
    split.logPath = (separator == std::string::npos ? std::string() : rest.substr(0, separator + 1)) + "qvsp.log";
    return split;
}
