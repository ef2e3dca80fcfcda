// The staging directory: the TempDirName subdirectory (default "QVSETUP.TMP") of the current
// directory, into which the setup files are copied and from which the installer starts.
#pragma once

// The staging path: the current directory and the TempDirName value of its SETUP.INI, joined.
// Left empty when the name is empty or the path would be too long.
void MakeTempDirPath(char* path);

// Puts the staging path in path (260 bytes) and returns 1; returns 0, leaving path alone, when
// there is no usable staging path (an empty name, or one too long). The disk is not looked at.
int SetDestDirectory(char* path);

// When the last part of path names the configured staging directory, deletes its plain files
// (neither hidden nor system) and removes it. Returns 1 when the directory is gone afterwards, 0
// when it refused (another name, an empty name, no separator) or the directory is still there.
int RemoveDir(char* path);

// 1 when path names a directory that can be made current; the current directory is unchanged.
int IsPath(char* path);
