// The stub's settings.
#include "settings.h"

#include <string>

#include "paths.h"
#include "setup_platform.h"

void* hAppInstance = nullptr;
char szSetupDir[kSetupDirWidth];
char szResDLL[kFileNameWidth];
char szHelpFile[kFileNameWidth];
char szERRNoValLang[kMessageWidth];
char szERRAppLaunch[kMessageWidth];
char szERRFileCopy[kMessageWidth];
char szERRMakeDir[kMessageWidth];
char szERRMsgTitle[kCaptionWidth];

const char kStubSection[] = "Stub";
const char kSettingsFileName[] = "SETUP.INI";

namespace {

bool setupDirKnown = false;

// The longest directory part the runtime's path splitting keeps.
constexpr std::size_t kMaxDirectoryPart = 255;

// The drive and directory parts of a file name, as the runtime's path splitting gives them: a
// drive is a letter and a colon at the start; the directory runs to the last separator and keeps
// its separators; it holds at most 255 characters.
void SplitDriveAndDirectory(const std::string& file, std::string* drive, std::string* directory)
{
    std::string rest = file;
    drive->clear();
    if (rest.size() >= 2 && rest[1] == ':') {
        *drive = rest.substr(0, 2);
        rest = rest.substr(2);
    }
    size_t last = std::string::npos;
    for (size_t i = 0; i < rest.size(); ++i)
        if (IsPathSeparator(rest[i]))
            last = i;
    *directory = last == std::string::npos ? "" : rest.substr(0, last + 1);
}

}  // namespace

void SetSetupDir(void* instance, char* directory, int size)
{
    setupDirKnown = false;
    if (size <= 0)
        return;
    char module[kPathBufferSize] = {};
    unsigned length = platform::Os().ModuleFileName(instance, module, sizeof module);

    std::string drive, dir;
    // A name cut to the buffer, or a directory part longer than the splitting keeps, would name
    // another directory (a parent of the stub's): such a name is not available.
    if (length > 0 && length < sizeof module) {
        SplitDriveAndDirectory(module, &drive, &dir);
        if (dir.size() > kMaxDirectoryPart) {
            drive.clear();
            dir.clear();
        }
    }
    if (drive.empty() && dir.empty()) {
        // The stub's own file is not known: its directory is taken to be the current one, when
        // that fits.
        std::string cwd;
        if (CurrentDirectory(&cwd) && cwd.size() < static_cast<std::size_t>(size)) {
            CopyCut(directory, static_cast<std::size_t>(size), cwd);
            setupDirKnown = true;
        }
        return;
    }
    if (dir.empty())
        dir = ".";
    std::string result = drive + dir;
    if (!result.empty() && IsPathSeparator(result.back()))
        result.pop_back();
    CopyCut(directory, static_cast<size_t>(size), result);
    setupDirKnown = result.size() < static_cast<std::size_t>(size);
}

bool SetupDirKnown() { return setupDirKnown; }

void Init(char* settingsFile)
{
    struct Setting {
        const char* key;
        const char* defaultValue;
        char* buffer;
        unsigned size;
    };
    const Setting settings[] = {
        {"ResourceDLL", "QVSETRES.DLL", szResDLL, sizeof szResDLL},
        {"HelpFile", "QVGSW.HLP", szHelpFile, sizeof szHelpFile},
        {"ERRNoValLang", "Cannot find valid setup language", szERRNoValLang, sizeof szERRNoValLang},
        {"ERRAppLaunch", "Error occurred trying to run setup", szERRAppLaunch, sizeof szERRAppLaunch},
        {"ERRFileCopy", "Error occurred copying file to temporary directory", szERRFileCopy, sizeof szERRFileCopy},
        {"ERRMakeDir", "Cannot set up temporary directory", szERRMakeDir, sizeof szERRMakeDir},
        {"ERRMsgTitle", "Setup Error", szERRMsgTitle, sizeof szERRMsgTitle},
    };
    // A settings path too long to form is a missing file: the defaults apply.
    bool haveFile = settingsFile != nullptr && settingsFile[0] != '\0';
    for (const Setting& s : settings) {
        if (haveFile)
            platform::Os().GetProfileString(kStubSection, s.key, s.defaultValue, s.buffer, s.size, settingsFile);
        else
            CopyCut(s.buffer, s.size, s.defaultValue);
    }
}
