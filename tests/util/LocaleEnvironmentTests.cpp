#include "ScopedEnvironment.h"
#include "util/LocaleEnvironment.h"

#include <gtest/gtest.h>

#include <clocale>

using quillo::test::ScopedEnvironment;
using namespace quillo::util;

TEST(UtilLocaleEnvironment, PosixPrecedence) {
    ScopedEnvironment env;
    EXPECT_EQ(currentLocaleName(LC_NUMERIC), "en_US");

    env.set("LANG", "fr_FR.UTF-8");
    EXPECT_EQ(currentLocaleName(LC_NUMERIC), "fr_FR");
    EXPECT_EQ(currentLocaleName(LC_TIME), "fr_FR");

    env.set("LC_TIME", "de_DE.UTF-8");
    EXPECT_EQ(currentLocaleName(LC_NUMERIC), "fr_FR");
    EXPECT_EQ(currentLocaleName(LC_TIME), "de_DE");

    env.set("LC_ALL", "it_IT");
    EXPECT_EQ(currentLocaleName(LC_NUMERIC), "it_IT");
    EXPECT_EQ(currentLocaleName(LC_TIME), "it_IT");

    // An empty variable does not count.
    env.set("LC_ALL", "");
    EXPECT_EQ(currentLocaleName(LC_TIME), "de_DE");
}

TEST(UtilLocaleEnvironment, NamesAreCleanedUp) {
    ScopedEnvironment env;
    const std::pair<const char*, const char*> cases[] = {
        {"de_DE.UTF-8@euro", "de_DE"}, {"de_DE@euro", "de_DE"}, {"pt_BR.ISO-8859-1", "pt_BR"},
        {"C", "en_US"},         {"POSIX", "en_US"},     {"C.UTF-8", "en_US"},
        {".UTF-8", "en_US"},
    };
    for (const auto& [value, expected] : cases) {
        env.set("LC_ALL", value);
        EXPECT_EQ(currentLocaleName(LC_NUMERIC), expected) << value;
    }
    env.set("LC_ALL", "de_DE.UTF-8");
    EXPECT_STREQ(currentLocale(LC_TIME).getLanguage(), "de");
    EXPECT_STREQ(currentLocale(LC_TIME).getCountry(), "DE");
}
