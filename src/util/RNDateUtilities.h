// Points in time as localized texts in a small set of styles, for the date columns and the erase
// log. One prepared formatter per style combination is kept, built on first use and rebuilt
// when the locale or time zone changes, so drawing a long list builds no formatter per row.
//
// Times are seconds since 1 January 2001 00:00:00 UTC, the system's reference instant.
#pragma once

#include <unicode/datefmt.h>
#include <unicode/locid.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::util {

class RNDateUtilities {
public:
    // Seconds from the Unix epoch to the reference instant.
    static constexpr double kReferenceDateUnixSeconds = 978307200.0;

    // The shared instance, made on first use (safe from any thread). Dates follow the locale
    // the environment names (LC_TIME) and the TZ variable.
    static RNDateUtilities& sharedControl();

    // A separate instance: the environment's locale, or always `locale` when given.
    explicit RNDateUtilities(std::optional<icu::Locale> locale = std::nullopt);

    RNDateUtilities(const RNDateUtilities&) = delete;
    RNDateUtilities& operator=(const RNDateUtilities&) = delete;

    // The instant that stands for a missing date: the reference instant itself (0 seconds).
    double wrongDate() const { return wrongDate_; }

    // The instant `seconds` after the reference in the combined style. dateStyle: 0 none,
    // 1 short, 2 medium, 3 long, 4 full (other values: none), used only with `isDate`; the time
    // part, with `withTime`, is always medium. No date and no time give an empty text, as does
    // a time that is not a finite number.
    std::string stringWithSeconds(double seconds, unsigned dateStyle, bool isDate, bool withTime);

    // A new formatter for a style key ("4-1-1": date style, isDate, withTime), in the current
    // locale and default time zone. Never null.
    std::shared_ptr<const icu::DateFormat> updateFormatterWithKey(std::string_view key) const;

    // Rebuilds every cached formatter in the locale and time zone the environment names now;
    // the set of style keys stays. The application calls this when the user changes either.
    void localeChanged();

    static std::string styleKey(unsigned dateStyle, bool isDate, bool withTime);

    // The cache as it stands: its keys, and the formatter stored under one key (null if none).
    std::vector<std::string> cachedStyleKeys() const;
    std::shared_ptr<const icu::DateFormat> cachedFormatter(std::string_view key) const;

private:
    using FormatterMap = std::map<std::string, std::shared_ptr<const icu::DateFormat>, std::less<>>;

    void initializeVariables();
    icu::Locale formattingLocale() const;

    std::optional<icu::Locale> fixedLocale_;
    double wrongDate_ = 0;
    // Readers copy a formatter out under a shared lock and format without any lock, so a
    // formatter in use stays alive while a rebuild replaces it. Inserts and rebuilds are
    // serialized by updateLock (formatters are built while holding it) and take cacheLock
    // exclusively only to change the map.
    FormatterMap formatters;
    mutable std::shared_mutex cacheLock;
    std::recursive_mutex updateLock;
};

}  // namespace quillo::util
