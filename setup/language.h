// Choosing the setup language: the "/L-" switch, the registry value, the user's default language,
// the DefaultLang setting and a scan of subdirectory names, in that order; the first code whose
// directory beside the stub holds a readable "_SETUP.DLL" wins.
#pragma once

#include <cstdint>

#include "setup_platform.h"

// The record that a subdirectory search fills and carries from one call to the next.
struct SubdirRecord {
    platform::FindHandle search = nullptr;
    platform::FindData entry;
};

// The registry key whose default value is the user's interface language.
extern const char kInterfaceLanguageKey[];

// Upper-cases the argument string in place and puts the code of its first "/L-" switch (at most
// two characters) in code (3 bytes), or leaves code empty.
void ParseCmdLine(char* commandLine, char* code);

// Accepts the candidate szSetupDir\code when its "_SETUP.DLL" opens for reading: returns 1 and
// fills languageDirectory (260 bytes); otherwise returns 0 and leaves it alone.
int CheckSetupSubDir(const char* code, char* languageDirectory);

// The code of the user's default language, or empty.
void SetToUserLanguage(char* code, unsigned short size);

// The code of a language identifier (empty when the table has none, or size is below 3).
void LangIDtoStr(unsigned short languageId, char* code, unsigned short size);

// Stands the record on the first subdirectory entry of the directory (the current one when null or
// empty): 0, or -1 when there is none or the directory cannot be listed.
int FindFirstSub(char* directory, SubdirRecord* record);
// Moves on to the next subdirectory entry: 1, or 0 when there is none.
int FindNextSub(SubdirRecord* record);
// Ends the listing.
void CloseSub(SubdirRecord* record);

// The five sources in order, each only while no language directory has been found. Fills
// languageDirectory (260 bytes) and returns 1, or returns 0 when no source led to one. The
// argument string is upper-cased in place.
int ResolveLanguageDirectory(char* argumentString, char* code, char* languageDirectory, SubdirRecord* record);
