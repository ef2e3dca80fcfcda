// The staging directory.
#include "staging.h"

#include <cstring>
#include <string>

#include "paths.h"
#include "settings.h"
#include "setup_platform.h"

namespace {

const char kTempDirKey[] = "TempDirName";
const char kTempDirDefault[] = "QVSETUP.TMP";

// TempDirName from the SETUP.INI of the directory, in a buffer of that many bytes.
std::string TempDirName(const std::string& directory, unsigned bufferSize)
{
    std::string settingsFile;
    char name[kPathBufferSize] = {};
    if (JoinPath(directory, kSettingsFileName, &settingsFile))
        platform::Os().GetProfileString(kStubSection, kTempDirKey, kTempDirDefault, name, bufferSize,
                                        settingsFile.c_str());
    else
        CopyCut(name, bufferSize, kTempDirDefault);
    return name;
}

bool FormTempDirPath(std::string* path)
{
    // Without the current directory there is no staging directory: none at the top of the drive.
    std::string cwd;
    if (!CurrentDirectory(&cwd))
        return false;
    std::string name = TempDirName(cwd, kPathBufferSize);
    // An empty name would make the working directory itself the staging directory.
    if (name.empty())
        return false;
    return JoinPath(cwd, name, path);
}

bool IsPlainFile(const platform::FindData& entry)
{
    return (entry.attributes & (platform::kAttrDirectory | platform::kAttrHidden | platform::kAttrSystem)) == 0;
}

}  // namespace

void MakeTempDirPath(char* path)
{
    std::string formed;
    CopyCut(path, kPathBufferSize, FormTempDirPath(&formed) ? formed : std::string());
}

int SetDestDirectory(char* path)
{
    std::string formed;
    if (!FormTempDirPath(&formed))
        return 0;
    CopyCut(path, kPathBufferSize, formed);
    return 1;
}

int RemoveDir(char* path)
{
    std::string directory = path;
    std::string cwd;
    if (!CurrentDirectory(&cwd))
        return 0;

    // Only a directory whose last part is the configured name is touched.
    size_t last = std::string::npos;
    for (size_t i = directory.size(); i-- > 0;) {
        if (IsPathSeparator(directory[i])) {
            last = i;
            break;
        }
    }
    if (last == std::string::npos)
        return 0;
    // The name as the clearing reads it: cut to a file name's width, both of them.
    std::string component = directory.substr(last + 1, kFileNameWidth - 1);
    std::string name = TempDirName(cwd, kFileNameWidth);
    if (name.empty() || !SameNameIgnoringCase(component, name))
        return 0;

    std::string pattern;
    if (!JoinPath(directory, "*.*", &pattern))
        return 0;
    // Each file is deleted once the listing has moved past it.
    auto remove = [&](const std::string& entry) {
        std::string file;
        if (!entry.empty() && JoinPath(directory, entry, &file))
            platform::Os().DeleteFile(file.c_str());
    };
    platform::FindData entry;
    {
        platform::OwnedFind search(platform::Os().FindFirst(pattern.c_str(), &entry));
        if (search.get() != nullptr) {
            std::string pending = IsPlainFile(entry) ? entry.name : "";
            while (platform::Os().FindNext(search.get(), &entry)) {
                remove(pending);
                pending = IsPlainFile(entry) ? entry.name : "";
            }
            remove(pending);
        }
    }

    long status = platform::Os().RemoveDirectory(directory.c_str());
    return status == platform::kErrorSuccess || status == platform::kErrorFileNotFound ||
                   status == platform::kErrorPathNotFound
               ? 1
               : 0;
}

int IsPath(char* path)
{
    std::string saved;
    bool known = CurrentDirectory(&saved);
    bool entered = platform::Os().SetCurrentDirectory(path);
    if (known)
        platform::Os().SetCurrentDirectory(saved.c_str());
    return entered ? 1 : 0;
}
