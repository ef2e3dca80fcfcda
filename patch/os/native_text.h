// Text between the platform's 8-bit system code page (command lines, window texts) and the UTF-8
// that the patch engine uses.
#pragma once

#include <string>

namespace qvpatch {

std::string SystemToUtf8(const std::string& text);
std::string Utf8ToSystem(const std::string& text);

}  // namespace qvpatch
