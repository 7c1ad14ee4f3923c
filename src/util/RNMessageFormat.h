// Texts that carry a count. English alone says "1 item" and "2 items", but other languages have
// more forms (Polish: 1, 2-4, 5-21, ...; Arabic six), so a text with a count is never made by
// choosing between two keys in code. The localization table holds an ICU MessageFormat pattern
// with a plural argument instead, for example
//     "{count, plural, one {# item} other {# items}}, {size}"
// and a translation gives every form its language has. "#" is the count in the locale's number
// format (grouping included: "10,013 items").
#pragma once

#include <unicode/locid.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace quillo::util {

// One named argument of a message: a number (for plural and "#") or a text.
struct RNMessageArg {
    std::string_view name;
    std::variant<uint64_t, double, std::string_view> value;
};

// Formats a MessageFormat pattern in the number locale of the environment (the one
// RNNumberUtilities uses), or in `locale`. A pattern ICU cannot read comes back as it stands:
// visible, but never a broken window or log line. Safe from any thread.
std::string RNMessageFormat(std::string_view pattern, std::initializer_list<RNMessageArg> args,
                            const icu::Locale* locale = nullptr);

// Looks the pattern up by key (see RNLocalizedString) and formats it.
std::string RNLocalizedMessage(std::string_view key, std::initializer_list<RNMessageArg> args,
                               std::string_view table = {});

// The plural category of `count` in the locale ("one", "few", "many", "other", ...), from the
// locale's plural rules.
std::string RNPluralCategory(double count, const icu::Locale* locale = nullptr);

}  // namespace quillo::util
