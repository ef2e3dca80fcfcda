// The Windows language identifier of a POSIX locale, for platforms without a user default
// language identifier.
#pragma once

#include <cstdint>

namespace platform {

// language[_territory][.codeset][@modifier] to the 16-bit identifier (sublanguage << 10 |
// primary language): de_DE 0x0407, en_GB 0x0809, zh_TW 0x0404, pt_PT 0x0816. A territory the table
// does not know gives the language's default sublanguage (1); C, POSIX, an unknown language or a
// null name give 0.
std::uint16_t LangIdFromLocale(const char* locale);

// The identifier of the messages locale: the first of LC_ALL, LC_MESSAGES and LANG that is set and
// not empty, read with the given function.
std::uint16_t LangIdFromEnvironment(const char* (*getenv)(const char*));

}  // namespace platform
