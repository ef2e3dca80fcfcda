// The stub's settings: its own directory, and the file names and message texts of the section
// "Stub" of the SETUP.INI beside it, in buffers of fixed widths (longer values are cut).
#pragma once

#include <cstddef>

// The widths of the settings' buffers, terminator included: values are cut to one less.
constexpr std::size_t kSetupDirWidth = 260;
constexpr std::size_t kFileNameWidth = 15;
constexpr std::size_t kMessageWidth = 120;
constexpr std::size_t kCaptionWidth = 50;

extern void* hAppInstance;
extern char szSetupDir[kSetupDirWidth];
extern char szResDLL[kFileNameWidth];
extern char szHelpFile[kFileNameWidth];
extern char szERRNoValLang[kMessageWidth];
extern char szERRAppLaunch[kMessageWidth];
extern char szERRFileCopy[kMessageWidth];
extern char szERRMakeDir[kMessageWidth];
extern char szERRMsgTitle[kCaptionWidth];

// The section and the name of the settings file.
extern const char kStubSection[];
extern const char kSettingsFileName[];

// Fills directory (size bytes) with the directory of the running stub's file, without a trailing
// separator: C:\KIT\SETUP.EXE gives C:\KIT, C:\SETUP.EXE gives C:, C:SETUP.EXE gives C:.
// A module file name that does not fit the 260-byte buffer, or whose directory part would be cut,
// is never used cut: it counts as not available, and the current directory stands in, when that
// fits in size bytes; otherwise directory is left as it was.
void SetSetupDir(void* instance, char* directory, int size);

// Whether the last SetSetupDir found the stub's directory. When it did not, nothing is read from or
// looked for in a directory formed from it (the settings' defaults apply and no language directory
// is accepted), so that no path formed from an empty directory reaches the top of a drive.
bool SetupDirKnown();

// Reads the seven settings of the section "Stub" of settingsFile into the globals, with their
// defaults.
void Init(char* settingsFile);
