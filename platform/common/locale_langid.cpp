// The Windows language identifier of a POSIX locale name, for platforms that have no user default
// language identifier of their own.
#include "locale_langid.h"

#include <cctype>
#include <cstring>
#include <string>

namespace platform {

namespace {

struct Language {
    const char* code;  // ISO 639-1 (or -2 where there is no -1)
    std::uint16_t primary;
};

// Primary language identifiers of the platform.
const Language kLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06}, {"de", 0x07}, {"el", 0x08},
    {"en", 0x09}, {"es", 0x0A}, {"fi", 0x0B}, {"fr", 0x0C}, {"he", 0x0D}, {"iw", 0x0D}, {"hu", 0x0E}, {"is", 0x0F},
    {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"no", 0x14}, {"nb", 0x14}, {"nn", 0x14}, {"pl", 0x15},
    {"pt", 0x16}, {"rm", 0x17}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1A}, {"sr", 0x1A}, {"bs", 0x1A}, {"sk", 0x1B},
    {"sq", 0x1C}, {"sv", 0x1D}, {"th", 0x1E}, {"tr", 0x1F}, {"ur", 0x20}, {"id", 0x21}, {"uk", 0x22}, {"be", 0x23},
    {"sl", 0x24}, {"et", 0x25}, {"lv", 0x26}, {"lt", 0x27}, {"fa", 0x29}, {"vi", 0x2A}, {"hy", 0x2B}, {"az", 0x2C},
    {"eu", 0x2D}, {"mk", 0x2F}, {"af", 0x36}, {"ka", 0x37}, {"fo", 0x38}, {"hi", 0x39}, {"mt", 0x3A}, {"ga", 0x3C},
    {"ms", 0x3E}, {"kk", 0x3F}, {"sw", 0x41}, {"bn", 0x45}, {"ta", 0x49}, {"te", 0x4A}, {"gl", 0x56}, {"cy", 0x52},
};

struct Sublanguage {
    const char* language;
    const char* territory;
    std::uint16_t sub;
};

// Territories whose sublanguage is not the language's default (1), and the default ones that a
// language's first territory would otherwise not name.
const Sublanguage kSublanguages[] = {
    {"zh", "TW", 0x01}, {"zh", "CN", 0x02}, {"zh", "HK", 0x03}, {"zh", "SG", 0x04}, {"zh", "MO", 0x05},
    {"en", "US", 0x01}, {"en", "GB", 0x02}, {"en", "AU", 0x03}, {"en", "CA", 0x04}, {"en", "NZ", 0x05},
    {"en", "IE", 0x06}, {"en", "ZA", 0x07}, {"en", "JM", 0x08}, {"en", "BZ", 0x0A}, {"en", "TT", 0x0B},
    {"en", "ZW", 0x0C}, {"en", "PH", 0x0D}, {"en", "IN", 0x10}, {"en", "MY", 0x11}, {"en", "SG", 0x12},
    {"de", "DE", 0x01}, {"de", "CH", 0x02}, {"de", "AT", 0x03}, {"de", "LU", 0x04}, {"de", "LI", 0x05},
    {"fr", "FR", 0x01}, {"fr", "BE", 0x02}, {"fr", "CA", 0x03}, {"fr", "CH", 0x04}, {"fr", "LU", 0x05},
    {"fr", "MC", 0x06}, {"es", "ES", 0x03}, {"es", "MX", 0x02}, {"es", "GT", 0x04}, {"es", "CR", 0x05},
    {"es", "PA", 0x06}, {"es", "DO", 0x07}, {"es", "VE", 0x08}, {"es", "CO", 0x09}, {"es", "PE", 0x0A},
    {"es", "AR", 0x0B}, {"es", "EC", 0x0C}, {"es", "CL", 0x0D}, {"es", "UY", 0x0E}, {"es", "PY", 0x0F},
    {"es", "BO", 0x10}, {"es", "SV", 0x11}, {"es", "HN", 0x12}, {"es", "NI", 0x13}, {"es", "PR", 0x14},
    {"es", "US", 0x15}, {"it", "IT", 0x01}, {"it", "CH", 0x02}, {"nl", "NL", 0x01}, {"nl", "BE", 0x02},
    {"pt", "BR", 0x01}, {"pt", "PT", 0x02}, {"sv", "SE", 0x01}, {"sv", "FI", 0x02}, {"nb", "NO", 0x01},
    {"nn", "NO", 0x02}, {"no", "NO", 0x01}, {"ar", "SA", 0x01}, {"ar", "IQ", 0x02}, {"ar", "EG", 0x03},
    {"ar", "LY", 0x04}, {"ar", "DZ", 0x05}, {"ar", "MA", 0x06}, {"ar", "TN", 0x07}, {"ar", "OM", 0x08},
    {"ar", "YE", 0x09}, {"ar", "SY", 0x0A}, {"ar", "JO", 0x0B}, {"ar", "LB", 0x0C}, {"ar", "KW", 0x0D},
    {"ar", "AE", 0x0E}, {"ar", "BH", 0x0F}, {"ar", "QA", 0x10}, {"ko", "KR", 0x01}, {"ru", "RU", 0x01},
    {"ms", "MY", 0x01}, {"ms", "BN", 0x02}, {"sr", "RS", 0x0C}, {"bs", "BA", 0x05}, {"hr", "HR", 0x01},
};

}  // namespace

std::uint16_t LangIdFromLocale(const char* locale)
{
    if (locale == nullptr)
        return 0;
    // language[_territory][.codeset][@modifier]
    std::string name = locale;
    size_t cut = name.find_first_of(".@");
    if (cut != std::string::npos)
        name.resize(cut);
    std::string language = name.substr(0, name.find('_'));
    std::string territory = name.find('_') == std::string::npos ? "" : name.substr(name.find('_') + 1);
    for (char& c : language)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : territory)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    std::uint16_t primary = 0;
    for (const Language& l : kLanguages)
        if (language == l.code)
            primary = l.primary;
    if (primary == 0)
        return 0;
    std::uint16_t sub = 0x01;
    if (language == "nn")
        sub = 0x02;
    // Portuguese has no default country: only Brazil's and Portugal's have their sublanguage.
    if (language == "pt")
        sub = 0x00;
    for (const Sublanguage& s : kSublanguages)
        if (language == s.language && territory == s.territory)
            sub = s.sub;
    return static_cast<std::uint16_t>((sub << 10) | primary);
}

std::uint16_t LangIdFromEnvironment(const char* (*getenv)(const char*))
{
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv(variable);
        if (value != nullptr && *value != '\0')
            return LangIdFromLocale(value);
    }
    return 0;
}

}  // namespace platform
