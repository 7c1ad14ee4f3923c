#include "ScopedEnvironment.h"
#include "util/RNNumberUtilities.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using quillo::test::ScopedEnvironment;
using quillo::util::RNNumberUtilities;

namespace {

class UtilNumbers : public ::testing::Test {
protected:
    RNNumberUtilities english{icu::Locale("en_US")};
    std::string size(uint64_t bytes, int16_t scale = 4, bool twoDecimals = true) {
        return english.sizeToFormatString(bytes, scale, twoDecimals);
    }
};

}  // namespace

TEST_F(UtilNumbers, SmallSizesAreBytes) {
    EXPECT_EQ(size(0), "0 bytes");
    EXPECT_EQ(size(1), "1 byte") << "a count of bytes takes its plural form too";
    EXPECT_EQ(size(999), "999 bytes");
    EXPECT_EQ(size(999, 4, false), "999 bytes");
}

TEST_F(UtilNumbers, UnitFollowsTheExactQuotient) {
    EXPECT_EQ(size(1000), "1.00 KB");
    EXPECT_EQ(size(1000, 4, false), "1.0 KB");
    EXPECT_EQ(size(1'500'000), "1.50 MB");
    EXPECT_EQ(size(2'000'000'000), "2.00 GB");
    EXPECT_EQ(size(3'250'000'000'000), "3.25 TB");
    // Below the next unit by a hair: the unit stays and only the rounding reaches 1000.
    EXPECT_EQ(size(999'999), "1,000.00 KB");
    EXPECT_EQ(size(999'999'999), "1,000.00 MB");
    EXPECT_EQ(size(999'999, 4, false), "1,000.0 KB");
    // Terabytes are the largest unit.
    EXPECT_EQ(size(1'000'000'000'000'000), "1,000.00 TB");
    EXPECT_EQ(size(std::numeric_limits<uint64_t>::max()), "18,446,744.07 TB");
}

TEST_F(UtilNumbers, RoundingIsHalfEven) {
    // Quotients that are exact in binary, so the tie is real.
    EXPECT_EQ(size(1'125'000), "1.12 MB");
    EXPECT_EQ(size(1'375'000), "1.38 MB");
    EXPECT_EQ(size(1'250'000, 4, false), "1.2 MB");
    EXPECT_EQ(size(1'750'000, 4, false), "1.8 MB");
    EXPECT_EQ(english.numberToFormatString(0.125), "0.12");
    EXPECT_EQ(english.numberToFormatString(0.375), "0.38");
}

TEST_F(UtilNumbers, ScaleCapsTheUnit) {
    EXPECT_EQ(size(5'000'000'000, 2), "5,000,000.00 KB");
    EXPECT_EQ(size(5'000'000'000, 1), "5,000,000,000 bytes");
    EXPECT_EQ(size(5'000'000'000'000, 0), "5,000,000.00 MB");
    EXPECT_EQ(size(5'000'000'000'000, 3), "5,000,000.00 MB");
    EXPECT_EQ(size(5'000'000'000'000, -7), "5,000,000.00 MB");
    EXPECT_EQ(size(1'500, 1), "1,500 bytes");
    EXPECT_EQ(size(999, 2), "999 bytes");
    // Bytes are told exactly, also past what a double holds.
    EXPECT_EQ(size(std::numeric_limits<uint64_t>::max(), 1), "18,446,744,073,709,551,615 bytes");
    EXPECT_EQ(size(9'007'199'254'740'993, 1), "9,007,199,254,740,993 bytes");
}

TEST_F(UtilNumbers, Counts) {
    EXPECT_EQ(english.numberToFormatString(3), "3");
    EXPECT_EQ(english.numberToFormatString(2.5), "2.5");
    EXPECT_EQ(english.numberToFormatString(1234), "1,234");
    EXPECT_EQ(english.numberToFormatString(1234567), "1,234,567");
    EXPECT_EQ(english.numberToFormatString(0), "0");
    EXPECT_EQ(english.numberToFormatString(2.999), "3");
}

TEST(UtilNumbersLocale, GermanSeparators) {
    RNNumberUtilities german{icu::Locale("de_DE")};
    EXPECT_EQ(german.sizeToFormatString(1'500'000, 4, true), "1,50 MB");
    EXPECT_EQ(german.sizeToFormatString(999'999, 4, true), "1.000,00 KB");
    EXPECT_EQ(german.numberToFormatString(1234), "1.234");
    EXPECT_EQ(german.numberToFormatString(2.5), "2,5");
}

TEST(UtilNumbersLocale, LocaleComesFromTheEnvironment) {
    ScopedEnvironment env;
    env.set("LANG", "en_US.UTF-8");
    env.set("LC_NUMERIC", "de_DE.UTF-8");
    EXPECT_EQ(RNNumberUtilities().numberToFormatString(1234.5), "1.234,5");
    env.set("LC_ALL", "C");
    EXPECT_EQ(RNNumberUtilities().numberToFormatString(1234.5), "1,234.5");
}

// A count made without ICU must be ICU's text exactly, whatever the locale's digits, separator
// and group sizes (Indian groups of two, Arabic digits, a narrow no-break space).
TEST(UtilNumbersLocale, CountsAreTheNumberTextInEveryLocale) {
    for (const char* name : {"en_US", "de_DE", "fr_FR", "de_CH", "es_ES", "hi_IN", "ar_EG", "bn_BD", "ja_JP"}) {
        RNNumberUtilities numbers{icu::Locale(name)};
        std::vector<uint64_t> probes;
        for (uint64_t n = 0; n < 2100; ++n) probes.push_back(n);
        for (uint64_t n = 9990; n < 10010; ++n) probes.push_back(n);
        for (uint64_t p = 10; p <= 1'000'000'000'000'000; p *= 10)
            for (uint64_t n : {p - 1, p, p + 1, p * 3 + 7}) probes.push_back(n);
        for (uint64_t n : probes) ASSERT_EQ(numbers.countToFormatString(n), numbers.numberToFormatString(double(n))) << name << " " << n;
        EXPECT_EQ(numbers.countToFormatString(std::numeric_limits<uint64_t>::max()),
                  numbers.sizeToFormatString(std::numeric_limits<uint64_t>::max(), 1, true).substr(
                      0, numbers.countToFormatString(std::numeric_limits<uint64_t>::max()).size()))
            << name;
    }
}
