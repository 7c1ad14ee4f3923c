// Byte counts and item counts as the short, locale-aware texts every window, menu, alert and
// log line shows ("12.35 MB", "1,234"). One shared object holds the prepared formatters and the
// unit texts, so no caller builds a formatter of its own. Sizes use decimal units (1 KB = 1000
// bytes).
#pragma once

#include <unicode/locid.h>
#include <unicode/numberformatter.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quillo::util {

class RNNumberUtilities {
public:
    // The shared instance, made on first use (safe from any thread). Its formatters follow the
    // locale the environment names at that moment (LC_NUMERIC); a later change is seen only
    // after a restart.
    static RNNumberUtilities& sharedControl();

    // A separate instance: the environment's locale, or `locale` when given.
    explicit RNNumberUtilities(std::optional<icu::Locale> locale = std::nullopt);

    RNNumberUtilities(const RNNumberUtilities&) = delete;
    RNNumberUtilities& operator=(const RNNumberUtilities&) = delete;

    // No decimals for a whole number, at most two otherwise, with the locale's grouping.
    std::string numberToFormatString(double number) const;

    // A count (an item number of the erase log, say): the very text numberToFormatString gives
    // for it, made without ICU when the locale writes its numbers with ASCII digits in groups of
    // three -- the log numbers every erased item, and ICU would cost the erase a few percent.
    std::string countToFormatString(uint64_t count) const;

    // Number and unit as one text. `scale` caps the unit: 1 bytes only, 2 up to kilobytes,
    // 4 up to terabytes, anything else up to megabytes. Above bytes the number has exactly two
    // decimals with `doublePrecision`, else one. The unit is chosen on the exact quotient, so
    // 999,999 bytes is "1,000.00 KB".
    std::string sizeToFormatString(uint64_t size, int16_t scale, bool doublePrecision) const;

    const icu::Locale& locale() const { return locale_; }

private:
    void initializeNumberFormat();

    icu::Locale locale_;
    icu::number::LocalizedNumberFormatter numFormatter;
    icu::number::LocalizedNumberFormatter singlePrecFormatter;
    icu::number::LocalizedNumberFormatter doublePrecFormatter;
    std::string bytes;
    std::string kBytes;
    std::string mBytes;
    std::string gBytes;
    std::string tBytes;
    // The group separator when countToFormatString may group digits itself; unset: ICU.
    std::optional<std::string> groupSeparator_;
};

}  // namespace quillo::util
