#include "util/Localization.h"
#include "util/StringsFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quillo::util;

TEST(UtilLocalization, UnitTextsCarryTheirLeadingSpace) {
    EXPECT_EQ(RNLocalizedString("byte"), "{count, plural, one { byte} other { bytes}}");
    EXPECT_EQ(RNLocalizedString("Kb"), " KB");
    EXPECT_EQ(RNLocalizedString("Mb"), " MB");
    EXPECT_EQ(RNLocalizedString("Gb"), " GB");
    EXPECT_EQ(RNLocalizedString("Tb"), " TB");
}

TEST(UtilLocalization, MissingKeysShowAsThemselves) {
    EXPECT_EQ(RNLocalizedString("no_such_key"), "no_such_key");
    EXPECT_EQ(RNLocalizedString(""), "");
    // Keys are exact: no case folding, no prefix matches.
    EXPECT_EQ(RNLocalizedString("kb"), "kb");
    EXPECT_EQ(RNLocalizedString("Kb "), "Kb ");
    EXPECT_EQ(RNLocalizedString("items"), "items");
    EXPECT_EQ(RNLocalizedString("Mb", "NoSuchTable"), "Mb");
}

TEST(UtilLocalization, ErrorsTableIsSeparate) {
    EXPECT_EQ(RNLocalizedString("no_marked_items", "Errors"), "No item is marked for erasing.");
    EXPECT_EQ(RNLocalizedString("no_marked_items"), "no_marked_items");
    EXPECT_EQ(RNLocalizedString("Mb", "Errors"), "Mb");
    // The main table answers to its file name too.
    EXPECT_EQ(RNLocalizedString("Mb", "Localizable"), " MB");
}

TEST(UtilLocalization, FormatFillsSlotsInOrder) {
    EXPECT_EQ(RNFormat("100%% of %@", {"disk"}), "100% of disk");
    EXPECT_EQ(RNFormat("%2$@ before %1$@", {"a", "b"}), "b before a");
    // A slot without an argument is empty; spare arguments are ignored.
    EXPECT_EQ(RNFormat("%@ and %@", {"one"}), "one and ");
    EXPECT_EQ(RNFormat("%@", {"a", "b"}), "a");
    EXPECT_EQ(RNFormat("%3$@|%0$@", {"a"}), "|%0$@");
    // Other conversions and a trailing percent stay as written; arguments are never re-read
    // as formats.
    EXPECT_EQ(RNFormat("%d %s 5%", {"x"}), "%d %s 5%");
    EXPECT_EQ(RNFormat("%@ %@", {"%@", "%%"}), "%@ %%");

    std::vector<std::string> names = {"Data", "3"};
    EXPECT_EQ(RNFormat("%@: %@ items", names), "Data: 3 items");
}

TEST(UtilStringsFile, ReadsEntriesCommentsAndEscapes) {
    auto parsed = parseStringsFile(
        "\xEF\xBB\xBF/* header\n comment */\n"
        "\"a\" = \"one\"; // trailing\n"
        "\"quote\\\"d\"=\"say \\\"hi\\\"\\\\ \\n\\tend\";\n"
        "  \"uni\" = \"\\u00e9\\U20AC\\ud83d\\ude00\" ;\n"
        "\"raw\" = \"caf\xC3\xA9\";\n");
    ASSERT_TRUE(parsed.ok()) << parsed.error;
    ASSERT_EQ(parsed.entries.size(), 4u);
    EXPECT_EQ(parsed.entries[0].key, "a");
    EXPECT_EQ(parsed.entries[0].text, "one");
    EXPECT_EQ(parsed.entries[1].key, "quote\"d");
    EXPECT_EQ(parsed.entries[1].text, "say \"hi\"\\ \n\tend");
    EXPECT_EQ(parsed.entries[2].text, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(parsed.entries[3].text, "caf\xC3\xA9");

    EXPECT_TRUE(parseStringsFile("").ok());
    EXPECT_TRUE(parseStringsFile("// nothing but a comment").ok());

    // A group's comment goes with each entry of the group, and stops at the blank line after it:
    // a translator must not read a note about other texts.
    auto groups = parseStringsFile("/* Units */\n\"kb\" = \" KB\";\n\"mb\" = \" MB\";\n\n\"ok\" = \"OK\";\n");
    ASSERT_EQ(groups.entries.size(), 3u);
    EXPECT_EQ(groups.entries[1].comment, "Units");
    EXPECT_EQ(groups.entries[2].comment, "");
}

TEST(UtilStringsFile, RejectsBrokenFilesWithTheLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"\"a\" = \"x\";\n\"b\" = \"y\"\n\"c\" = \"z\";", "line 3: ';' expected"},
        {"\"a\" = \"x\";\n\"a\" = \"y\";", "line 2: key \"a\" given twice"},
        {"\"a\" = \"never closed;\n", "line 1: quoted text is not closed"},
        {"\n/* open", "line 2: comment is not closed"},
        {"a = \"x\";", "line 1: quoted text expected"},
        {"\"a\" \"x\";", "line 1: '=' expected"},
        {"\"a\" = \"\\q\";", "line 1: unknown escape \\q"},
        {"\"a\" = \"\\u12\";", "line 1: \\u needs four hex digits"},
        {"\"a\" = \"\\ud800\";", "line 1: lone surrogate in \\u escape"},
        {"\"a\" =", "line 1: quoted text expected at end of file"},
    };
    for (const auto& c : cases) {
        auto parsed = parseStringsFile(c.text);
        EXPECT_EQ(parsed.error, c.error) << c.text;
        EXPECT_TRUE(parsed.entries.empty()) << c.text;
    }
}
