// Profile (INI) text with the Windows rules, for the platforms that have no profile API of their
// own: the POSIX implementation reads and writes files with it, the test fake keeps them in memory.
#pragma once

#include <optional>
#include <string>

namespace platform::profile {

// The value of the key in the section: section and key names match without regard to case, blanks
// around names and values are ignored, one pair of matching outer quotes is removed, the first
// matching section and in it the first matching key count, and lines starting with ';' are
// comments, as are lines without '='. nullopt when the section or key is missing.
std::optional<std::string> Find(const std::string& text, const std::string& section, const std::string& key);

// The text with the key set to the value: an existing key line of the section is replaced, a
// missing key is added at the end of its section, a missing section is added at the end. Every
// other line stays as it was. New lines end like the text's first line (CR LF in an empty text).
std::string Set(const std::string& text, const std::string& section, const std::string& key, const std::string& value);

// Copies a value into a buffer of size bytes, cut to size - 1 characters and terminated. Returns
// the number of characters stored.
unsigned CopyOut(const std::string& value, char* buffer, unsigned size);

// GetPrivateProfileStringA's answer from a file's text (nullopt when there is no file): the value,
// or the default with its trailing blanks removed.
unsigned GetString(const std::optional<std::string>& text, const char* section, const char* key,
                   const char* defaultValue, char* buffer, unsigned size);

}  // namespace platform::profile
