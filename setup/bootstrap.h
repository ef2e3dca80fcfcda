// The bootstrap sequence: settings, language, staging, copy, hand-off keys, start of the installer.
#pragma once

// The whole run of the stub. argumentString is the stub's arguments, writable: it is upper-cased in
// place and passed on to the installer. Every failure shows one message box. Returns 1, always.
int RunBootstrap(void* instance, char* argumentString);
