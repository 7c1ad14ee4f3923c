// Texts with a count: plural forms by the locale's rules, never "1 items".
#include "util/Localization.h"
#include "util/RNMessageFormat.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillo::util;

namespace {
const icu::Locale kEnglish("en_US");
const icu::Locale kGerman("de_DE");
const icu::Locale kPolish("pl_PL");
}  // namespace

TEST(UtilMessages, EveryCountTextOfTheTablesTakesTheRightEnglishForm) {
    // The texts the tray rows, the Lumo Window, quillo-cli and the reports show. 0 is "other"
    // in English; 1 is the only "one".
    struct Case {
        const char* key;
        const char* table;
        uint64_t count;
        const char* expected;
    } cases[] = {
        {"items_size", "", 1, "1 item, 4 KB"},
        {"items_size", "", 0, "0 items, 4 KB"},
        {"items_size", "", 10013, "10,013 items, 4 KB"},
        {"entries_count", "", 1, "1 file or folder"},
        {"entries_count", "", 2, "2 files and folders"},
        {"selected_info", "", 1, "1 selected, 4 KB"},
        {"and_more", "", 1, "and 1 more"},
        {"log_every_days", "", 1, "every day"},
        {"log_every_days", "", 14, "every 14 days"},
        {"busy", "Errors", 1, "One item could not be erased because it is in use."},
        {"busy", "Errors", 3, "3 items could not be erased because they are in use."},
        {"items_left", "Errors", 1, "One item is still there: %@."},
        {"items_left", "Errors", 2000, "2,000 items are still there: %@."},
    };
    for (const Case& c : cases) {
        const std::string pattern(localizedText(c.key, c.table));
        EXPECT_EQ(RNMessageFormat(pattern, {{"count", c.count}, {"entries", c.count}, {"size", "4 KB"}}, &kEnglish),
                  c.expected)
            << c.key << " " << c.count;
    }
    EXPECT_EQ(RNMessageFormat(localizedText("progress_count"), {{"done", uint64_t(1234)}, {"total", uint64_t(1)}},
                              &kEnglish),
              "1,234 of 1 file or folder");
}

TEST(UtilMessages, TheLocaleGivesTheFormsAndTheDigits) {
    const char* pattern = "{count, plural, one {# Datei} other {# Dateien}}";
    EXPECT_EQ(RNMessageFormat(pattern, {{"count", uint64_t(1)}}, &kGerman), "1 Datei");
    EXPECT_EQ(RNMessageFormat(pattern, {{"count", uint64_t(10013)}}, &kGerman), "10.013 Dateien");
    // Polish has a form for 2-4 that English lacks: a translation can give it.
    const char* polish = "{count, plural, one {# plik} few {# pliki} many {# plików} other {# pliku}}";
    EXPECT_EQ(RNMessageFormat(polish, {{"count", uint64_t(1)}}, &kPolish), "1 plik");
    EXPECT_EQ(RNMessageFormat(polish, {{"count", uint64_t(3)}}, &kPolish), "3 pliki");
    EXPECT_EQ(RNMessageFormat(polish, {{"count", uint64_t(5)}}, &kPolish), "5 plików");
    EXPECT_EQ(RNPluralCategory(22, &kPolish), "few");
    EXPECT_EQ(RNPluralCategory(1, &kEnglish), "one");
    EXPECT_EQ(RNPluralCategory(0, &kEnglish), "other");
}

TEST(UtilMessages, TextArgumentsAreNeverReadAsPatterns) {
    // A volume can be called anything.
    EXPECT_EQ(RNMessageFormat("{volume}: {count, plural, one {# item} other {# items}}",
                              {{"volume", "Disk {count} # '%@'"}, {"count", uint64_t(2)}}, &kEnglish),
              "Disk {count} # '%@': 2 items");
    // A broken pattern (a bad translation) shows as it stands rather than as nothing.
    EXPECT_EQ(RNMessageFormat("{count, plural, one {# item}", {{"count", uint64_t(1)}}, &kEnglish),
              "{count, plural, one {# item}");
}
