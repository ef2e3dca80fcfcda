// Paths of the stub: two strings joined by one separator, within the platform's path limit.
#pragma once

#include <string>

#include "ascii.h"

// The longest path the stub forms, in characters (a 260-byte buffer with its terminator).
constexpr std::size_t kMaxPathChars = 259;

// "%s\%s" with the platform's separator, always inserted. False when the result would be longer
// than kMaxPathChars: such a path is refused, never cut.
bool JoinPath(const std::string& directory, const std::string& name, std::string* out);

// The platform's separator, and whether a character separates names ('/' does on every platform).
char PathSeparator();
bool IsPathSeparator(char c);

using platform::FoldAscii;
using platform::SameNameIgnoringCase;

// Copies text into a buffer of size bytes, cut to size - 1 characters and terminated.
void CopyCut(char* buffer, std::size_t size, const std::string& text);
