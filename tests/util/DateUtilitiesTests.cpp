#include "ScopedEnvironment.h"
#include "util/RNDateUtilities.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

using quillo::test::ScopedEnvironment;
using quillo::util::RNDateUtilities;

namespace {

// ICU 72 puts a narrow no-break space before AM/PM.
const std::string kNNBSP = "\u202F";

// 2024-07-15 13:45:30 UTC, a summer date.
constexpr double kSummer = 1721051130.0 - RNDateUtilities::kReferenceDateUnixSeconds;

class UtilDates : public ::testing::Test {
protected:
    void SetUp() override { env.setTimeZone("UTC"); }
    ScopedEnvironment env;
};

}  // namespace

TEST_F(UtilDates, WrongDateIsTheReferenceInstant) {
    RNDateUtilities dates{icu::Locale("en_US")};
    EXPECT_EQ(dates.wrongDate(), 0.0);
    EXPECT_EQ(dates.stringWithSeconds(dates.wrongDate(), 4, true, true),
              "Monday, January 1, 2001 at 12:00:00" + kNNBSP + "AM");
}

TEST_F(UtilDates, StylesInEnglish) {
    RNDateUtilities dates{icu::Locale("en_US")};
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 4, true, true), "Monday, July 15, 2024 at 1:45:30" + kNNBSP + "PM");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 3, true, true), "July 15, 2024 at 1:45:30" + kNNBSP + "PM");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 3, true, false), "July 15, 2024");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 2, true, false), "Jul 15, 2024");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 1, true, true), "7/15/24, 1:45:30" + kNNBSP + "PM");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 1, true, false), "7/15/24");
}

TEST_F(UtilDates, MissingPartsAndOddInput) {
    RNDateUtilities dates{icu::Locale("en_US")};
    // The date style number counts only with isDate.
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 4, false, true), "1:45:30" + kNNBSP + "PM");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 0, true, true), "1:45:30" + kNNBSP + "PM");
    // Neither part: empty, not some default pattern.
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 4, false, false), "");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 0, true, false), "");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 9, true, false), "");
    // Not a time at all.
    EXPECT_EQ(dates.stringWithSeconds(std::nan(""), 1, true, true), "");
    EXPECT_EQ(dates.stringWithSeconds(std::numeric_limits<double>::infinity(), 1, true, true), "");
    // Before the reference instant.
    EXPECT_EQ(dates.stringWithSeconds(-86400.0, 1, true, false), "12/31/00");
}

TEST_F(UtilDates, LocalTimeZone) {
    RNDateUtilities dates{icu::Locale("en_US")};
    env.setTimeZone("Europe/Berlin");
    dates.localeChanged();
    EXPECT_EQ(dates.stringWithSeconds(0, 1, true, true), "1/1/01, 1:00:00" + kNNBSP + "AM");
    EXPECT_EQ(dates.stringWithSeconds(kSummer, 1, true, true), "7/15/24, 3:45:30" + kNNBSP + "PM");
}

TEST_F(UtilDates, OneCacheEntryPerStyle) {
    RNDateUtilities dates{icu::Locale("en_US")};
    EXPECT_TRUE(dates.cachedStyleKeys().empty());
    EXPECT_EQ(RNDateUtilities::styleKey(4, true, true), "4-1-1");
    EXPECT_EQ(RNDateUtilities::styleKey(3, true, false), "3-1-0");

    dates.stringWithSeconds(0, 1, true, true);
    auto first = dates.cachedFormatter("1-1-1");
    ASSERT_NE(first, nullptr);
    dates.stringWithSeconds(kSummer, 1, true, true);
    EXPECT_EQ(dates.cachedFormatter("1-1-1"), first);

    dates.stringWithSeconds(0, 1, true, false);
    dates.stringWithSeconds(0, 4, false, true);
    dates.stringWithSeconds(0, 0, false, false);
    EXPECT_EQ(dates.cachedStyleKeys(), (std::vector<std::string>{"0-0-0", "1-1-0", "1-1-1", "4-0-1"}));
}

TEST_F(UtilDates, FormatterForAKey) {
    RNDateUtilities dates{icu::Locale("en_US")};
    auto format = [](const std::shared_ptr<const icu::DateFormat>& f) {
        icu::UnicodeString text;
        f->format((kSummer + RNDateUtilities::kReferenceDateUnixSeconds) * 1000.0, text);
        return quillo::util::toUtf8(text);
    };
    EXPECT_EQ(format(dates.updateFormatterWithKey("3-1-0")), "July 15, 2024");
    EXPECT_EQ(format(dates.updateFormatterWithKey("3-0-1")), "1:45:30" + kNNBSP + "PM");
    // Unreadable keys give no parts rather than a failure.
    EXPECT_EQ(format(dates.updateFormatterWithKey("")), "");
    EXPECT_EQ(format(dates.updateFormatterWithKey("x-y")), "");
    // A formatter made for a key is new each time; it does not touch the cache.
    EXPECT_NE(dates.updateFormatterWithKey("1-1-1"), dates.updateFormatterWithKey("1-1-1"));
    EXPECT_TRUE(dates.cachedStyleKeys().empty());
}

TEST_F(UtilDates, LocaleChangeRebuildsEveryCachedStyle) {
    env.set("LC_ALL", "en_US.UTF-8");
    RNDateUtilities dates;
    EXPECT_EQ(dates.stringWithSeconds(0, 4, true, true), "Monday, January 1, 2001 at 12:00:00" + kNNBSP + "AM");
    EXPECT_EQ(dates.stringWithSeconds(0, 3, true, false), "January 1, 2001");
    auto keysBefore = dates.cachedStyleKeys();
    auto formatterBefore = dates.cachedFormatter("4-1-1");

    env.set("LC_ALL", "de_DE.UTF-8");
    // Nothing changes until the change is announced.
    EXPECT_EQ(dates.stringWithSeconds(0, 3, true, false), "January 1, 2001");

    dates.localeChanged();
    EXPECT_EQ(dates.cachedStyleKeys(), keysBefore);
    EXPECT_NE(dates.cachedFormatter("4-1-1"), formatterBefore);
    EXPECT_EQ(dates.stringWithSeconds(0, 4, true, true), "Montag, 1. Januar 2001 um 00:00:00");
    EXPECT_EQ(dates.stringWithSeconds(0, 3, true, false), "1. Januar 2001");
    EXPECT_EQ(dates.cachedStyleKeys(), keysBefore);
}

// Formatting goes on in several threads while the cache is filled and rebuilt: every text must
// be whole and in one of the two locales, and no formatter may be freed while in use.
TEST_F(UtilDates, FormattingDuringRebuilds) {
    env.set("LC_ALL", "en_US");
    RNDateUtilities dates;
    const std::set<std::string> expected = {
        "1/1/01", "01.01.01", "January 1, 2001", "1. Januar 2001",
        "12:00:00" + kNNBSP + "AM", "00:00:00",
    };
    // Fill the cache first: the readers then never read the environment this thread changes.
    dates.stringWithSeconds(0, 1, true, false);
    dates.stringWithSeconds(0, 3, true, false);
    dates.stringWithSeconds(0, 4, false, true);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> done{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&, t] {
            for (int i = t; !stop; ++i) {
                std::string text = i % 3 == 0   ? dates.stringWithSeconds(0, 1, true, false)
                                   : i % 3 == 1 ? dates.stringWithSeconds(0, 3, true, false)
                                                : dates.stringWithSeconds(0, 4, false, true);
                if (!expected.count(text)) ++bad;
                ++done;
            }
        });
    // Only this thread touches the environment.
    for (int i = 0; i < 40; ++i) {
        env.set("LC_ALL", i % 2 ? "de_DE" : "en_US");
        dates.localeChanged();
    }
    while (done < 3000) std::this_thread::yield();
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(dates.cachedStyleKeys(), (std::vector<std::string>{"1-1-0", "3-1-0", "4-0-1"}));
}
