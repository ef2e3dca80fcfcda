// The bootstrap sequence.
#include "bootstrap.h"

#include <string>

#include "copy.h"
#include "language.h"
#include "paths.h"
#include "settings.h"
#include "setup_platform.h"
#include "staging.h"

namespace {

void ShowMessage(const char* text) { platform::Os().MessageBox(text, szERRMsgTitle, platform::kMbIconErrorOk); }

}  // namespace

int RunBootstrap(void* instance, char* argumentString)
{
    platform::SetupPlatform& os = platform::Os();
    char emptyArguments[] = "";
    if (argumentString == nullptr)
        argumentString = emptyArguments;

    hAppInstance = instance;
    SetSetupDir(hAppInstance, szSetupDir, sizeof szSetupDir);
    std::string settingsFile;
    if (SetupDirKnown())
        JoinPath(szSetupDir, kSettingsFileName, &settingsFile);
    Init(settingsFile.data());

    char code[3] = {};
    char languageDirectory[kPathBufferSize] = {};
    SubdirRecord record;
    if (ResolveLanguageDirectory(argumentString, code, languageDirectory, &record) != 1) {
        ShowMessage(szERRNoValLang);
        return 1;
    }

    char staging[kPathBufferSize] = {};
    if (SetDestDirectory(staging) == 0) {
        ShowMessage(szERRMakeDir);
        return 1;
    }
    if (CopySetupFiles(staging, languageDirectory) == 0) {
        ShowMessage(szERRFileCopy);
        return 1;
    }

    // The hand-off to the installer: where the kit lies and which cleanup program belongs to it.
    // A path too long to form is not formed: the write it is for does not happen (its result is not
    // examined either way).
    std::string stagedSettings, cleanup;
    if (JoinPath(staging, kSettingsFileName, &stagedSettings) && JoinPath(szSetupDir, "CLEANUP.EXE", &cleanup)) {
        os.WriteProfileString(kStubSection, "Cleanup", cleanup.c_str(), stagedSettings.c_str());
        os.WriteProfileString(kStubSection, "CurrentDirectory", szSetupDir, stagedSettings.c_str());
    }

    // Always one blank after the program, and the arguments whole, however long.
    std::string commandLine = std::string(staging) + PathSeparator() + "SETUP.EXE " + argumentString;
    os.SetCurrentDirectory(staging);
    unsigned started = os.StartProgram(commandLine.c_str(), platform::kShowNormal);
    if (started < platform::kFirstStarted) {
        ShowMessage(szERRAppLaunch);
        RemoveDir(staging);
        return 1;
    }

    std::string active, resting;
    if (JoinPath(staging, "SETUP.EXE", &active) && JoinPath(staging, "ISETUP.EXE", &resting))
        os.Rename(active.c_str(), resting.c_str());
    return 1;
}
