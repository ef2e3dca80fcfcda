// The program entry on POSIX systems: the argument string is the arguments joined by single
// blanks, and SIGINT, SIGTERM and SIGHUP close the program's dialog as its close box would,
// instead of ending the process.
#include <csignal>
#include <string>
#include <vector>

#include "afxwin.h"
#include "afx_term.h"

namespace {

void OnCloseSignal(int) { AfxTermRequestClose(); }

void InstallCloseSignals()
{
    struct sigaction action {};
    action.sa_handler = OnCloseSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t closeSignals;
    sigemptyset(&closeSignals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
        sigaddset(&closeSignals, sig);
    }
    // A parent may have blocked them; a close request already pending is then handled like any.
    sigprocmask(SIG_UNBLOCK, &closeSignals, nullptr);
}

}  // namespace

int main(int argc, char** argv)
{
    InstallCloseSignals();
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            joined += ' ';
        joined += argv[i];
    }
    std::vector<char> argumentString(joined.begin(), joined.end());
    argumentString.push_back('\0');
    return AfxWinMain(nullptr, argumentString.data());
}
