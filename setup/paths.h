// Paths of the stub: two strings joined by one separator, within the platform's path limit.
#pragma once

#include <string>

#include "ascii.h"

// The longest path the stub forms, in characters, and the buffer that holds one with its
// terminator.
constexpr std::size_t kMaxPathChars = 259;
constexpr std::size_t kPathBufferSize = kMaxPathChars + 1;

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

// The current directory, when it can be read and fits a path buffer; false otherwise.
bool CurrentDirectory(std::string* directory);
