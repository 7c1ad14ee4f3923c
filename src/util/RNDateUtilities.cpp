#include "util/RNDateUtilities.h"

#include "util/LocaleEnvironment.h"

#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <charconv>
#include <clocale>
#include <cmath>

namespace quillo::util {

namespace {

icu::DateFormat::EStyle icuStyle(unsigned style) {
    switch (style) {
        case 1: return icu::DateFormat::kShort;
        case 2: return icu::DateFormat::kMedium;
        case 3: return icu::DateFormat::kLong;
        case 4: return icu::DateFormat::kFull;
        default: return icu::DateFormat::kNone;
    }
}

unsigned pieceAsNumber(std::string_view piece) {
    unsigned value = 0;
    std::from_chars(piece.data(), piece.data() + piece.size(), value);
    return value;
}

// The style key's three pieces; a missing or unreadable piece counts as 0.
void splitKey(std::string_view key, unsigned& dateStyle, bool& isDate, bool& withTime) {
    std::string_view pieces[3];
    for (auto& piece : pieces) {
        auto dash = key.find('-');
        piece = key.substr(0, dash);
        key = dash == std::string_view::npos ? std::string_view() : key.substr(dash + 1);
    }
    dateStyle = pieceAsNumber(pieces[0]);
    isDate = pieceAsNumber(pieces[1]) != 0;
    withTime = pieceAsNumber(pieces[2]) != 0;
}

// ICU prepares a formatter's inner number formatters lazily, on their first few uses, and
// publishes them with atomics inside the library. Formatting a few times here, before the
// formatter is shared, takes that step out of the concurrent path (and keeps thread-sanitizer
// runs, which cannot see ICU's atomics, free of false reports).
void warmUp(const icu::DateFormat& formatter) {
    for (int i = 0; i < 4; ++i) {
        icu::UnicodeString scratch;
        formatter.format(RNDateUtilities::kReferenceDateUnixSeconds * 1000.0, scratch);
    }
}

}  // namespace

RNDateUtilities& RNDateUtilities::sharedControl() {
    // Construction of a function-local static is serialized by the language.
    static RNDateUtilities shared;
    return shared;
}

RNDateUtilities::RNDateUtilities(std::optional<icu::Locale> locale) : fixedLocale_(std::move(locale)) {
    initializeVariables();
}

void RNDateUtilities::initializeVariables() {
    // The reference instant, read the way it is written down: 01/01/2001 00:00:00 in GMT.
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat parser(icu::UnicodeString(u"dd/MM/yyyy HH:mm:ss"), icu::Locale("en_US_POSIX"), status);
    if (U_SUCCESS(status)) {
        parser.adoptTimeZone(icu::TimeZone::createTimeZone(icu::UnicodeString(u"GMT")));
        UDate millis = parser.parse(icu::UnicodeString(u"01/01/2001 00:00:00"), status);
        if (U_SUCCESS(status)) wrongDate_ = millis / 1000.0 - kReferenceDateUnixSeconds;
    }
}

icu::Locale RNDateUtilities::formattingLocale() const {
    return fixedLocale_ ? *fixedLocale_ : currentLocale(LC_TIME);
}

std::string RNDateUtilities::styleKey(unsigned dateStyle, bool isDate, bool withTime) {
    return std::to_string(dateStyle) + (isDate ? "-1" : "-0") + (withTime ? "-1" : "-0");
}

std::shared_ptr<const icu::DateFormat> RNDateUtilities::updateFormatterWithKey(std::string_view key) const {
    unsigned dateStyle = 0;
    bool isDate = false;
    bool withTime = false;
    splitKey(key, dateStyle, isDate, withTime);
    icu::DateFormat::EStyle date = isDate ? icuStyle(dateStyle) : icu::DateFormat::kNone;
    icu::DateFormat::EStyle time = withTime ? icu::DateFormat::kMedium : icu::DateFormat::kNone;
    icu::Locale locale = formattingLocale();

    std::unique_ptr<icu::DateFormat> made;
    if (date != icu::DateFormat::kNone || time != icu::DateFormat::kNone)
        made.reset(icu::DateFormat::createDateTimeInstance(date, time, locale));
    if (!made) {
        // Neither part asked for (ICU would fall back to a default pattern then), or ICU could
        // not make the style: an empty pattern, whose text is empty.
        UErrorCode status = U_ZERO_ERROR;
        made = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(), locale, status);
    }
    warmUp(*made);
    return std::shared_ptr<const icu::DateFormat>(std::move(made));
}

std::string RNDateUtilities::stringWithSeconds(double seconds, unsigned dateStyle, bool isDate, bool withTime) {
    // ICU would print garbage fields for NaN and a date millions of years away for infinity.
    if (!std::isfinite(seconds)) return {};
    std::string key = styleKey(dateStyle, isDate, withTime);

    std::shared_ptr<const icu::DateFormat> formatter = cachedFormatter(key);
    if (!formatter) {
        // Built under the lock: a formatter made from the old locale must not be stored after
        // localeChanged() has rebuilt the cache, and two threads must not both build one.
        std::lock_guard lock(updateLock);
        formatter = cachedFormatter(key);
        if (!formatter) {
            formatter = updateFormatterWithKey(key);
            std::unique_lock write(cacheLock);
            formatters.emplace(key, formatter);
        }
    }

    // Only the const format() is used: ICU formats a date on a copy of the formatter's calendar,
    // so one formatter serves any number of threads at once.
    UDate millis = (seconds + kReferenceDateUnixSeconds) * 1000.0;
    icu::UnicodeString text;
    formatter->format(millis, text);
    return toUtf8(text);
}

void RNDateUtilities::localeChanged() {
    std::lock_guard lock(updateLock);
    refreshDefaultTimeZone();
    // Only this thread changes the map (it holds updateLock), so it may read it unlocked.
    FormatterMap rebuilt;
    for (const auto& entry : formatters) rebuilt.emplace(entry.first, updateFormatterWithKey(entry.first));
    std::unique_lock write(cacheLock);
    formatters.swap(rebuilt);
    // The old formatters go when `rebuilt` does, or later if a reader still holds one.
}

std::vector<std::string> RNDateUtilities::cachedStyleKeys() const {
    std::shared_lock read(cacheLock);
    std::vector<std::string> keys;
    for (const auto& entry : formatters) keys.push_back(entry.first);
    return keys;
}

std::shared_ptr<const icu::DateFormat> RNDateUtilities::cachedFormatter(std::string_view key) const {
    std::shared_lock read(cacheLock);
    auto it = formatters.find(key);
    return it != formatters.end() ? it->second : nullptr;
}

}  // namespace quillo::util
