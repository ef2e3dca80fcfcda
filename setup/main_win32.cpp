// setup's entry on Windows.
#include <windows.h>

#include "bootstrap.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR argumentString, int)
{
    return RunBootstrap(instance, argumentString);
}
