// An installer for the tests: records the command line it was started with, its current directory
// and the SETUP.INI it finds there, in the file named by QVTEST_INSTALLER_RECORD.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

int main(int argc, char** argv)
{
    const char* recordPath = std::getenv("QVTEST_INSTALLER_RECORD");
    if (recordPath == nullptr || *recordPath == '\0')
        return 2;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::string commandLine = GetCommandLineA();
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, cwd);
    const char sep = '\\';
#else
    std::string commandLine;
    for (int i = 0; i < argc; ++i)
        commandLine += (i ? " " : "") + std::string(argv[i]);
    char cwd[4096] = "";
    if (getcwd(cwd, sizeof cwd) == nullptr)
        cwd[0] = '\0';
    const char sep = '/';
#endif
    std::ifstream ini(std::string(cwd) + sep + "SETUP.INI", std::ios::binary);
    std::stringstream settings;
    settings << ini.rdbuf();

    // Written to a temporary name first, so that a reader never sees half a record.
    std::string temp = std::string(recordPath) + ".part";
    {
        std::ofstream out(temp, std::ios::binary);
        out << "cmdline " << commandLine << "\n";
        out << "cwd " << cwd << "\n";
        out << "ini " << settings.str();
    }
    std::remove(recordPath);
    return std::rename(temp.c_str(), recordPath) == 0 ? 0 : 1;
}
