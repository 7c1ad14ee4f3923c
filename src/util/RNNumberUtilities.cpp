#include "util/RNNumberUtilities.h"

#include "util/LocaleEnvironment.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"

#include <clocale>
#include <cstdio>
#include <limits>

namespace quillo::util {

namespace {

using icu::number::LocalizedNumberFormatter;

// Used only if ICU fails (for example without its data); the text stays readable.
std::string plainText(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string formatDouble(const LocalizedNumberFormatter& formatter, double value, int fallbackDecimals) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString text = formatter.formatDouble(value, status).toString(status);
    if (U_FAILURE(status)) return plainText(value, fallbackDecimals);
    return toUtf8(text);
}

// ICU compiles a number formatter on its first few uses and publishes the result with atomics
// inside the library. Doing that here, before the instance is shared, keeps it off the
// concurrent path (and keeps thread-sanitizer runs, which cannot see ICU's atomics, quiet).
void warmUp(const LocalizedNumberFormatter& formatter) {
    for (int i = 0; i < 4; ++i) {
        UErrorCode status = U_ZERO_ERROR;
        formatter.formatDouble(1234.5, status);
    }
}

}  // namespace

RNNumberUtilities& RNNumberUtilities::sharedControl() {
    // A function-local static: its construction is serialized by the language, so a first call
    // off the main thread is safe too.
    static RNNumberUtilities shared;
    return shared;
}

RNNumberUtilities::RNNumberUtilities(std::optional<icu::Locale> locale)
    : locale_(locale ? *locale : currentLocale(LC_NUMERIC)) {
    initializeNumberFormat();
}

void RNNumberUtilities::initializeNumberFormat() {
    using namespace icu::number;
    // Grouping always on (1,234), in the locale's own group sizes; half-even rounding.
    LocalizedNumberFormatter decimal = NumberFormatter::withLocale(locale_)
                                           .grouping(UNUM_GROUPING_ON_ALIGNED)
                                           .roundingMode(UNUM_ROUND_HALFEVEN);
    numFormatter = decimal.precision(Precision::minMaxFraction(0, 2));
    singlePrecFormatter = decimal.precision(Precision::fixedFraction(1));
    doublePrecFormatter = decimal.precision(Precision::fixedFraction(2));
    warmUp(numFormatter);
    warmUp(singlePrecFormatter);
    warmUp(doublePrecFormatter);

    // Counts may skip ICU when its text for a long number is the ASCII digits in groups of
    // three with one separator, and a few others agree (see countToFormatString).
    const std::string probe = numberToFormatString(1234567890123.0);
    if (probe.size() > 13 && probe.compare(0, 1, "1") == 0 && (probe.size() - 13) % 4 == 0) {
        const std::string separator = probe.substr(1, (probe.size() - 13) / 4);
        groupSeparator_ = separator;
        for (uint64_t n : {0ull, 7ull, 12ull, 999ull, 1000ull, 1234ull, 99999ull, 100000ull, 1000000ull,
                           1234567890123ull, 18446744073709551615ull}) {
            UErrorCode status = U_ZERO_ERROR;
            std::string icuText = toUtf8(numFormatter.formatDecimal(std::to_string(n).c_str(), status).toString(status));
            if (U_FAILURE(status) || countToFormatString(n) != icuText) {
                groupSeparator_.reset();
                break;
            }
        }
    }

    bytes = RNLocalizedString("byte");
    kBytes = RNLocalizedString("Kb");
    mBytes = RNLocalizedString("Mb");
    gBytes = RNLocalizedString("Gb");
    tBytes = RNLocalizedString("Tb");
}

std::string RNNumberUtilities::numberToFormatString(double number) const {
    return formatDouble(numFormatter, number, 2);
}

std::string RNNumberUtilities::countToFormatString(uint64_t count) const {
    if (!groupSeparator_) {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString text = numFormatter.formatDecimal(std::to_string(count).c_str(), status).toString(status);
        return U_FAILURE(status) ? std::to_string(count) : toUtf8(text);
    }
    const std::string digits = std::to_string(count);
    std::string text;
    text.reserve(digits.size() + (digits.size() / 3) * groupSeparator_->size());
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) text += *groupSeparator_;
        text += digits[i];
    }
    return text;
}

std::string RNNumberUtilities::sizeToFormatString(uint64_t size, int16_t scale, bool doublePrecision) const {
    if (size < 1000 || scale == 1) {
        // Formatted from the integer itself: through a double, byte counts above 2^53 would
        // lose their last digits.
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString text;
        if (size <= uint64_t(std::numeric_limits<int64_t>::max()))
            text = numFormatter.formatInt(int64_t(size), status).toString(status);
        else
            text = numFormatter.formatDecimal(std::to_string(size).c_str(), status).toString(status);
        // "1 byte", "2 bytes": the unit of a byte count takes the count's plural form.
        const std::string unit = bytes.find('{') == std::string::npos ? bytes : RNMessageFormat(bytes, {{"count", size}}, &locale_);
        return (U_FAILURE(status) ? std::to_string(size) : toUtf8(text)) + unit;
    }

    const LocalizedNumberFormatter& formatter = doublePrecision ? doublePrecFormatter : singlePrecFormatter;
    double value = double(size) / 1000.0;
    const std::string* unit = &kBytes;
    if (!(value < 1000.0 || scale == 2)) {
        value /= 1000.0;
        unit = &mBytes;
        if (!(value < 1000.0 || scale != 4)) {
            value /= 1000.0;
            unit = &gBytes;
            if (!(value < 1000.0)) {
                value /= 1000.0;
                unit = &tBytes;
            }
        }
    }
    return formatDouble(formatter, value, doublePrecision ? 2 : 1) + *unit;
}

}  // namespace quillo::util
