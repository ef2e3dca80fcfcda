// Text conversions on POSIX systems: paths and texts are UTF-8 already.
#include "qvpatch/system_text.h"

namespace qvpatch {

std::string SystemToUtf8(const std::string& text) { return text; }
std::string Utf8ToSystem(const std::string& text) { return text; }

void WriteText(std::FILE* stream, const std::string& utf8) { std::fputs(utf8.c_str(), stream); }

}  // namespace qvpatch
