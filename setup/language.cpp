// Choosing the setup language.
#include "language.h"

#include <cstring>
#include <string>

#include "paths.h"
#include "settings.h"

const char kInterfaceLanguageKey[] = "Software\\Orvanto\\Quorvane\\Interface Language";

namespace {

const char kProbeFile[] = "_SETUP.DLL";

struct LanguageCode {
    std::uint16_t primary;
    int sublanguage;  // -1: any
    const char* code;
};

// Primary languages with a setup language, most specific rows first.
const LanguageCode kLanguageCodes[] = {
    {0x01, -1, "AR"},   {0x04, 0x02, "CS"}, {0x04, -1, "CT"}, {0x05, -1, "CZ"}, {0x06, -1, "DK"}, {0x07, -1, "DE"},
    {0x09, -1, "US"},   {0x0A, -1, "ES"},   {0x0B, -1, "SU"}, {0x0C, -1, "FR"}, {0x0D, -1, "HE"}, {0x0E, -1, "MA"},
    {0x10, -1, "IT"},   {0x11, -1, "JP"},   {0x12, -1, "KR"}, {0x13, -1, "NL"}, {0x14, -1, "NO"}, {0x15, -1, "PL"},
    {0x16, 0x01, "BR"}, {0x19, -1, "RU"},   {0x1D, -1, "SV"}, {0x1E, -1, "TH"},
};

// The scan: the last two characters of each subdirectory's name of the current directory.
int ScanSubdirectories(char* code, char* languageDirectory, SubdirRecord* record)
{
    int found = 0;
    if (FindFirstSub(nullptr, record) != 0)
        return 0;
    do {
        code[0] = '\0';
        std::string name = record->entry.name;
        if (name.size() >= 2) {
            code[0] = name[name.size() - 2];
            code[1] = name[name.size() - 1];
            code[2] = '\0';
        }
        if (code[0] != '\0' && CheckSetupSubDir(code, languageDirectory) == 1) {
            found = 1;
            break;
        }
    } while (FindNextSub(record) == 1);
    CloseSub(record);
    return found;
}

}  // namespace

void ParseCmdLine(char* commandLine, char* code)
{
    code[0] = '\0';
    char* p = commandLine;
    while (*p != '\0' && code[0] == '\0') {
        for (char* q = p; *q != '\0'; ++q)
            *q = FoldAscii(*q);
        if (p[0] == '/' && p[1] == 'L' && p[2] == '-') {
            p += 3;
            while (*p == ' ')
                ++p;
            // At most the two characters that follow; a string that ends sooner leaves zeros.
            std::strncpy(code, p, 3);
            code[2] = '\0';
            break;
        }
        while (*p != '\0' && *p != ' ')
            ++p;
        if (*p == ' ')
            ++p;
    }
}

int CheckSetupSubDir(const char* code, char* languageDirectory)
{
    std::string candidate, probe;
    if (!SetupDirKnown() || !JoinPath(szSetupDir, code, &candidate) || !JoinPath(candidate, kProbeFile, &probe))
        return 0;
    platform::OwnedFile file(platform::Os().OpenRead(probe.c_str()));
    if (file.get() == nullptr)
        return 0;
    CopyCut(languageDirectory, kPathBufferSize, candidate);
    return 1;
}

void SetToUserLanguage(char* code, unsigned short size) { LangIDtoStr(platform::Os().UserDefaultLangID(), code, size); }

void LangIDtoStr(unsigned short languageId, char* code, unsigned short size)
{
    code[0] = '\0';
    if (size < 3)
        return;
    std::uint16_t primary = languageId & 0x3FF;
    int sublanguage = languageId >> 10;
    for (const LanguageCode& row : kLanguageCodes) {
        if (row.primary == primary && (row.sublanguage < 0 || row.sublanguage == sublanguage)) {
            std::memcpy(code, row.code, 3);
            return;
        }
    }
}

int FindFirstSub(char* directory, SubdirRecord* record)
{
    record->search = nullptr;
    std::string listed;
    if (directory != nullptr && directory[0] != '\0') {
        listed = directory;
    } else {
        // A current directory that cannot be read (or is too long to) gives no subdirectories:
        // the top of the drive is never listed in its place.
        if (!CurrentDirectory(&listed))
            return -1;
    }
    std::string pattern;
    if (!JoinPath(listed, "*.*", &pattern))
        return -1;
    record->search = platform::Os().FindFirst(pattern.c_str(), &record->entry);
    if (record->search == nullptr)
        return -1;
    while ((record->entry.attributes & platform::kAttrDirectory) == 0) {
        if (!platform::Os().FindNext(record->search, &record->entry)) {
            CloseSub(record);
            return -1;
        }
    }
    return 0;
}

int FindNextSub(SubdirRecord* record)
{
    do {
        if (!platform::Os().FindNext(record->search, &record->entry))
            return 0;
    } while ((record->entry.attributes & platform::kAttrDirectory) == 0);
    return 1;
}

void CloseSub(SubdirRecord* record)
{
    if (record->search != nullptr)
        platform::Os().FindClose(record->search);
    record->search = nullptr;
}

int ResolveLanguageDirectory(char* argumentString, char* code, char* languageDirectory, SubdirRecord* record)
{
    auto check = [&] { return code[0] != '\0' && CheckSetupSubDir(code, languageDirectory) == 1; };

    // 1. The "/L-" switch.
    ParseCmdLine(argumentString, code);
    if (check())
        return 1;

    // 2. The user's interface language in the registry. A value too long for the code counts as
    // no value.
    code[0] = '\0';
    long size = 3;
    long status = platform::Os().QueryUserRegistryValue(kInterfaceLanguageKey, code, &size);
    if (status != platform::kErrorSuccess)
        code[0] = '\0';
    code[2] = '\0';
    if (check())
        return 1;

    // 3. The user's default language.
    code[0] = '\0';
    SetToUserLanguage(code, 3);
    if (check())
        return 1;

    // 4. The DefaultLang setting of the stub's SETUP.INI.
    // A settings path too long to form is a missing file: the default applies.
    std::string settingsFile;
    if (SetupDirKnown() && JoinPath(szSetupDir, kSettingsFileName, &settingsFile))
        platform::Os().GetProfileString(kStubSection, "DefaultLang", "US", code, 3, settingsFile.c_str());
    else
        CopyCut(code, 3, "US");
    if (check())
        return 1;

    // 5. The names of the current directory's subdirectories.
    return ScanSubdirectories(code, languageDirectory, record);
}
