// Staging the language's setup files: the copy list, and one file copied through a buffer that
// adapts to the memory available.
#pragma once

// Copies "_SETUP.DLL", "_SETUP.LIB", the resource library and "SCN.TXT" from the language directory
// and the help file from the stub's directory (then from the language directory too, when its path
// ends in "jp") into destination, then renames the staged "ISETUP.EXE" to "SETUP.EXE". Returns 1
// when the first five copies succeeded, else 0 (stopping at the first failure).
int CopySetupFiles(char* destination, char* languageDirectory);

// Copies sourceDir\fileName (fileName alone when sourceDir is empty or null) to
// destinationDir\targetName (fileName when targetName is empty or null). Returns 1 on a complete
// copy, 0 otherwise.
int CopySetupFile(char* destinationDir, char* sourceDir, char* fileName, char* targetName);

// The copy buffer's sizes: the first granted of 63488, 61440, ..., 4096 bytes.
constexpr unsigned long kCopyBufferLargest = 63488;
constexpr unsigned long kCopyBufferSmallest = 4096;
constexpr unsigned long kCopyBufferStep = 2048;
