// Text between the platform's 8-bit system code page (command lines, window texts) and the UTF-8
// that the patch engine uses.
#pragma once

#include <cstdio>
#include <string>

namespace qvpatch {

std::string SystemToUtf8(const std::string& text);
std::string Utf8ToSystem(const std::string& text);

// Writes UTF-8 text for people to stdout or stderr: to a console as the console shows every
// character, elsewhere in the system's code page.
void WriteText(std::FILE* stream, const std::string& utf8);

}  // namespace qvpatch
