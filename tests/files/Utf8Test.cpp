#include "files/Utf8.h"

#include <gtest/gtest.h>

using quillo::files::displayText;
using quillo::files::escapedText;
using quillo::files::isXmlText;
using quillo::files::utf8SequenceLength;

TEST(FilesUtf8, SequenceLengthsAcceptOnlyWellFormedUtf8) {
    EXPECT_EQ(utf8SequenceLength("a", 0), 1u);
    EXPECT_EQ(utf8SequenceLength("\xc3\xa9", 0), 2u);
    EXPECT_EQ(utf8SequenceLength("\xe2\x82\xac", 0), 3u);
    EXPECT_EQ(utf8SequenceLength("\xf0\x9f\x98\x80", 0), 4u);
    EXPECT_EQ(utf8SequenceLength("\xc0\xaf", 0), 0u) << "overlong";
    EXPECT_EQ(utf8SequenceLength("\xe0\x80\xaf", 0), 0u) << "overlong";
    EXPECT_EQ(utf8SequenceLength("\xed\xa0\x80", 0), 0u) << "surrogate";
    EXPECT_EQ(utf8SequenceLength("\xf4\x90\x80\x80", 0), 0u) << "above U+10FFFF";
    EXPECT_EQ(utf8SequenceLength("\xe2\x82", 0), 0u) << "cut short";
    EXPECT_EQ(utf8SequenceLength("\x80", 0), 0u) << "stray continuation";
    EXPECT_EQ(utf8SequenceLength("a", 1), 0u);
}

TEST(FilesUtf8, DisplayTextReplacesOnlyWhatIsNotText) {
    EXPECT_EQ(displayText("bad\xff name"), "bad\xEF\xBF\xBD name");
    EXPECT_EQ(displayText("\xe2\x82" "x"), "\xEF\xBF\xBD\xEF\xBF\xBD" "x") << "each stray byte, then valid again";
    EXPECT_EQ(displayText("caf\xc3\xa9\x1b[31m", "?", true), "caf\xc3\xa9?[31m");
    EXPECT_EQ(displayText("\xc2\x9b" "x", "?", true), "?x") << "C1 control";
    EXPECT_EQ(displayText("tab\tkept"), "tab\tkept") << "controls stay unless asked";
}

TEST(FilesUtf8, EscapedTextKeepsNamesThatDifferOnlyInBadBytesApart) {
    EXPECT_EQ(escapedText("caf\xe9.txt"), "caf\\xE9.txt");
    EXPECT_EQ(escapedText("caf\xc3\xa9"), "caf\xc3\xa9") << "valid text stays";
    EXPECT_NE(escapedText("a\xe9"), escapedText("a\xe8"));
    EXPECT_EQ(escapedText("\xe2\x82" "x"), "\\xE2\\x82x") << "each stray byte, then valid again";
    EXPECT_EQ(escapedText("tab\tkept"), "tab\tkept") << "controls stay unless asked";
    EXPECT_EQ(escapedText("new\nline\x7f", true), "new\\x0Aline\\x7F");
}

TEST(FilesUtf8, XmlTextIsWhatAPropertyListGivesBack) {
    EXPECT_TRUE(isXmlText("plain\ttab\nline caf\xc3\xa9", false));
    EXPECT_FALSE(isXmlText(std::string("nul\0", 4), false));
    EXPECT_FALSE(isXmlText("cr\r", false));
    EXPECT_TRUE(isXmlText("cr\r", true));
    EXPECT_FALSE(isXmlText("\xef\xbf\xbe", true)) << "U+FFFE";
    EXPECT_FALSE(isXmlText("bad\xff", true));
}
