// The Windows rules that the POSIX platform and the fake emulate: profile text and the language
// identifier of a locale.
#include <gtest/gtest.h>

#include <string>

#include "locale_langid.h"
#include "profile_text.h"

namespace {

using platform::profile::Find;
using platform::profile::Set;

TEST(ProfileTextTest, FindFollowsTheWindowsRules)
{
    const std::string text =
        "; a comment\r\n"
        "[ Other ]\r\n"
        "Key=other\r\n"
        "[stub]\r\n"
        "; Key=commented\r\n"
        "  Key  =  \"quoted value\"  \r\n"
        "KEY=second\r\n"
        "Single='one'\r\n"
        "Mixed=\"open'\r\n"
        "Bare\r\n"
        "Empty=\r\n"
        "Spaced = a b \r\n"
        "[Stub]\r\n"
        "Late=in a second section of the same name\r\n";
    EXPECT_EQ(Find(text, "Stub", "key"), "quoted value");
    EXPECT_EQ(Find(text, " STUB ", " Single "), "one");
    EXPECT_EQ(Find(text, "Stub", "Mixed"), "\"open'");
    EXPECT_EQ(Find(text, "Stub", "Bare"), std::nullopt);
    EXPECT_EQ(Find(text, "Stub", "Empty"), "");
    EXPECT_EQ(Find(text, "Stub", "Spaced"), "a b");
    EXPECT_EQ(Find(text, "other", "KEY"), "other");
    EXPECT_EQ(Find(text, "Stub", "Late"), std::nullopt);
    EXPECT_EQ(Find(text, "Stub", "; Key"), std::nullopt);
    EXPECT_EQ(Find(text, "Missing", "Key"), std::nullopt);
    EXPECT_EQ(Find("[Stub]\nA=1\n", "Stub", "A"), "1");
}

TEST(ProfileTextTest, GetStringCutsAndTrimsTheDefault)
{
    char buffer[5];
    EXPECT_EQ(platform::profile::GetString(std::string("[S]\r\nK=123456\r\n"), "S", "K", "d", buffer, 5), 4u);
    EXPECT_STREQ(buffer, "1234");
    EXPECT_EQ(platform::profile::GetString(std::nullopt, "S", "K", "ab  ", buffer, 5), 2u);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(platform::profile::GetString(std::string(), "S", "K", nullptr, buffer, 5), 0u);
    EXPECT_STREQ(buffer, "");
}

TEST(ProfileTextTest, SetReplacesAddsAndKeepsEveryOtherLine)
{
    const std::string text =
        "; keep me\r\n[Stub]\r\n  ResourceDLL = R.DLL ; trailing\r\nCleanup=old\r\n\r\n[Next]\r\nA=1\r\n";
    std::string replaced = Set(text, "stub", "CLEANUP", "C:\\KIT\\CLEANUP.EXE");
    EXPECT_EQ(replaced,
              "; keep me\r\n[Stub]\r\n  ResourceDLL = R.DLL ; trailing\r\nCLEANUP=C:\\KIT\\CLEANUP.EXE\r\n\r\n"
              "[Next]\r\nA=1\r\n");
    std::string added = Set(text, "Stub", "CurrentDirectory", "C:\\KIT");
    EXPECT_EQ(added,
              "; keep me\r\n[Stub]\r\n  ResourceDLL = R.DLL ; trailing\r\nCleanup=old\r\nCurrentDirectory=C:\\KIT\r\n"
              "\r\n[Next]\r\nA=1\r\n");
    EXPECT_EQ(Set("", "Stub", "K", "v"), "[Stub]\r\nK=v\r\n");
    EXPECT_EQ(Set("[A]\nx=1", "B", "K", "v"), "[A]\nx=1\n[B]\nK=v\n");
    EXPECT_EQ(Find(Set(text, "Stub", "Cleanup", "new"), "Stub", "Cleanup"), "new");
}

TEST(LocaleLangIdTest, LanguageAndTerritoryGiveTheIdentifier)
{
    EXPECT_EQ(platform::LangIdFromLocale("de_DE.UTF-8"), 0x0407);
    EXPECT_EQ(platform::LangIdFromLocale("en_GB.UTF-8"), 0x0809);
    EXPECT_EQ(platform::LangIdFromLocale("en_US"), 0x0409);
    EXPECT_EQ(platform::LangIdFromLocale("zh_CN.GB18030"), 0x0804);
    EXPECT_EQ(platform::LangIdFromLocale("zh_TW.UTF-8"), 0x0404);
    EXPECT_EQ(platform::LangIdFromLocale("zh_SG"), 0x1004);
    EXPECT_EQ(platform::LangIdFromLocale("pt_BR.UTF-8"), 0x0416);
    EXPECT_EQ(platform::LangIdFromLocale("pt_PT@euro"), 0x0816);
    // Portuguese elsewhere than Brazil or Portugal has no sublanguage of its own (no setup code).
    EXPECT_EQ(platform::LangIdFromLocale("pt_AO.UTF-8"), 0x0016);
    EXPECT_EQ(platform::LangIdFromLocale("pt"), 0x0016);
    EXPECT_EQ(platform::LangIdFromLocale("fi_FI"), 0x040B);
    EXPECT_EQ(platform::LangIdFromLocale("nn_NO"), 0x0814);
    EXPECT_EQ(platform::LangIdFromLocale("de"), 0x0407);
    EXPECT_EQ(platform::LangIdFromLocale("de_XX"), 0x0407);
    EXPECT_EQ(platform::LangIdFromLocale("C"), 0);
    EXPECT_EQ(platform::LangIdFromLocale("C.UTF-8"), 0);
    EXPECT_EQ(platform::LangIdFromLocale("POSIX"), 0);
    EXPECT_EQ(platform::LangIdFromLocale("xx_YY"), 0);
    EXPECT_EQ(platform::LangIdFromLocale(""), 0);
    EXPECT_EQ(platform::LangIdFromLocale(nullptr), 0);
}

TEST(LocaleLangIdTest, VariablesAreReadInPosixOrder)
{
    static std::string lcAll, lcMessages, lang;
    auto env = [](const char* name) -> const char* {
        const std::string& v = std::string(name) == "LC_ALL"        ? lcAll
                               : std::string(name) == "LC_MESSAGES" ? lcMessages
                                                                    : lang;
        return v.empty() ? nullptr : v.c_str();
    };
    lang = "fr_FR.UTF-8";
    EXPECT_EQ(platform::LangIdFromEnvironment(env), 0x040C);
    lcMessages = "it_IT";
    EXPECT_EQ(platform::LangIdFromEnvironment(env), 0x0410);
    lcAll = "ja_JP";
    EXPECT_EQ(platform::LangIdFromEnvironment(env), 0x0411);
    lcAll = "C";
    EXPECT_EQ(platform::LangIdFromEnvironment(env), 0);
}

}  // namespace
