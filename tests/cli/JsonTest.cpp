#include "cli/Json.h"
#include "cli/VolumesCommand.h"

#include <gtest/gtest.h>

using namespace quillo::cli;

TEST(CliJson, StringsEscapeControlsAndKeepInvalidBytes) {
    EXPECT_EQ(jsonString("plain"), "\"plain\"");
    EXPECT_EQ(jsonString("q\"b\\n\n\t\x01"), "\"q\\\"b\\\\n\\n\\t\\u0001\"");
    EXPECT_EQ(jsonString("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"");
    EXPECT_EQ(jsonString("bad\xff"), "\"bad\\udcff\"");
    EXPECT_EQ(jsonString("\xc3"), "\"\\udcc3\"") << "truncated sequence";
    EXPECT_EQ(jsonString("\xc0\xaf"), "\"\\udcc0\\udcaf\"") << "overlong form";
    EXPECT_EQ(jsonString("\xed\xa0\x80"), "\"\\udced\\udca0\\udc80\"") << "encoded surrogate";
    EXPECT_EQ(std::string(jsonString(std::string("a\0b", 3))), "\"a\\u0000b\"");
}

TEST(CliJson, ObjectsAndNumbers) {
    EXPECT_EQ(JsonObject().add("n", uint64_t(18446744073709551615ull)).add("b", true).add("s", "x").str(),
              "{\"n\":18446744073709551615,\"b\":true,\"s\":\"x\"}");
    EXPECT_EQ(JsonObject().add("d", 0.5).str(), "{\"d\":0.5}");
    EXPECT_EQ(JsonObject().str(), "{}");
    EXPECT_EQ(JsonObject().add("inf", 1.0 / 0.0).str(), "{\"inf\":0}");
    EXPECT_EQ(jsonString("del\x7f"), "\"del\\u007f\"");
    // A date reads back as the very same number.
    const double date = 818498377.12345678;
    const std::string text = JsonObject().add("d", date).str();
    EXPECT_EQ(std::stod(text.substr(5, text.size() - 6)), date) << text;
    std::string appended = "[";
    JsonObject().add("k", "v").appendTo(appended);
    EXPECT_EQ(appended, "[{\"k\":\"v\"}");
    EXPECT_EQ(displayText("ok\xff"), "ok\xEF\xBF\xBD");
}
