// A fake machine for the setup stub's unit tests: the fake platform in the stub's place, and the
// stub's globals cleared before each test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_platform.h"
#include "settings.h"

class SetupTest : public ::testing::Test {
protected:
    SetupTest() : scoped_(os)
    {
        for (char* global : {szSetupDir, szResDLL, szHelpFile, szERRNoValLang, szERRAppLaunch, szERRFileCopy,
                             szERRMakeDir, szERRMsgTitle})
            global[0] = '\0';
        std::memset(szSetupDir, 0, sizeof szSetupDir);
    }

    // A stub in dir, started with dir as the current directory.
    void StubIn(const std::string& dir)
    {
        os.moduleFileName = dir + "\\SETUP.EXE";
        os.AddDirectory(dir);
        os.currentDirectory = dir;
        SetSetupDir(nullptr, szSetupDir, sizeof szSetupDir);
        os.calls.clear();
    }

    // A language directory with its probe file.
    void Language(const std::string& dir) { os.AddFile(dir + "\\_SETUP.DLL", "dll"); }

    platform::FakePlatform os;

private:
    platform::ScopedOs scoped_;
};
