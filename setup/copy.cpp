// Staging the language's setup files.
#include "copy.h"

#include <string>

#include "paths.h"
#include "settings.h"
#include "setup_platform.h"

namespace {

bool EndsInJp(const std::string& path)
{
    return path.size() >= 2 && FoldAscii(path[path.size() - 2]) == 'J' && FoldAscii(path[path.size() - 1]) == 'P';
}

}  // namespace

int CopySetupFile(char* destinationDir, char* sourceDir, char* fileName, char* targetName)
{
    platform::SetupPlatform& os = platform::Os();
    std::string target, source;
    const char* targetFile = targetName != nullptr && targetName[0] != '\0' ? targetName : fileName;
    if (!JoinPath(destinationDir, targetFile, &target))
        return 0;
    if (sourceDir != nullptr && sourceDir[0] != '\0') {
        if (!JoinPath(sourceDir, fileName, &source))
            return 0;
    } else {
        source = fileName;
    }

    platform::OwnedFile in(os.OpenRead(source.c_str()));
    if (in.get() == nullptr)
        return 0;
    platform::OwnedFile out(os.CreateWrite(target.c_str()));
    if (out.get() == nullptr)
        return 0;

    unsigned long size = kCopyBufferLargest;
    void* block = nullptr;
    while (size >= kCopyBufferSmallest && (block = os.Allocate(size)) == nullptr)
        size -= kCopyBufferStep;
    platform::OwnedBlock buffer(block);
    if (buffer.get() == nullptr)
        return 0;

    int result = 0;
    for (;;) {
        long read = os.Read(in.get(), buffer.get(), size);
        if (read < 0)
            break;
        if (read == 0) {
            result = 1;
            break;
        }
        if (os.Write(out.get(), buffer.get(), static_cast<unsigned long>(read)) != read)
            break;
    }
    // A target that cannot be closed may not hold what was written: the copy did not succeed.
    if (!out.Close())
        result = 0;
    return result;
}

int CopySetupFiles(char* destination, char* languageDirectory)
{
    char setupDll[] = "_SETUP.DLL";
    char setupLib[] = "_SETUP.LIB";
    char scnTxt[] = "SCN.TXT";
    char noTarget[] = "";
    char* fromLanguage[] = {setupDll, setupLib, szResDLL, scnTxt};
    for (char* file : fromLanguage)
        if (CopySetupFile(destination, languageDirectory, file, noTarget) != 1)
            return 0;

    int result = CopySetupFile(destination, szSetupDir, szHelpFile, noTarget);
    // Japanese kits carry a help file of their own, which replaces the stub's when it copies.
    if (EndsInJp(languageDirectory))
        CopySetupFile(destination, languageDirectory, szHelpFile, noTarget);

    if (result == 1) {
        std::string resting, active;
        if (JoinPath(destination, "ISETUP.EXE", &resting) && JoinPath(destination, "SETUP.EXE", &active))
            platform::Os().Rename(resting.c_str(), active.c_str());
    }
    return result;
}
