#include "util/RNMessageFormat.h"

#include "util/LocaleEnvironment.h"
#include "util/Localization.h"
#include "util/RNNumberUtilities.h"

#include <unicode/msgfmt.h>
#include <unicode/plurrule.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace quillo::util {

namespace {

const icu::Locale& numberLocale(const icu::Locale* locale) {
    return locale ? *locale : RNNumberUtilities::sharedControl().locale();
}

// Parsing a pattern costs far more than formatting with it: each thread keeps the formats it
// has made (a handful of patterns, for the process's one locale). A MessageFormat is not to be
// used by two threads at once, hence per thread.
icu::MessageFormat* formatFor(std::string_view pattern, const icu::Locale& locale) {
    thread_local std::map<std::pair<std::string, std::string>, std::unique_ptr<icu::MessageFormat>> cache;
    auto key = std::make_pair(std::string(pattern), std::string(locale.getName()));
    auto it = cache.find(key);
    if (it != cache.end()) return it->second.get();
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::MessageFormat>(
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), int32_t(pattern.size()))), locale, status);
    if (U_FAILURE(status)) format.reset();
    return cache.emplace(std::move(key), std::move(format)).first->second.get();
}

}  // namespace

std::string RNMessageFormat(std::string_view pattern, std::initializer_list<RNMessageArg> args,
                            const icu::Locale* locale) {
    icu::MessageFormat* format = formatFor(pattern, numberLocale(locale));
    if (!format) return std::string(pattern);
    std::vector<icu::UnicodeString> names;
    std::vector<icu::Formattable> values;
    names.reserve(args.size());
    values.reserve(args.size());
    for (const RNMessageArg& a : args) {
        names.push_back(icu::UnicodeString::fromUTF8(icu::StringPiece(a.name.data(), int32_t(a.name.size()))));
        if (auto* n = std::get_if<uint64_t>(&a.value)) {
            if (*n <= uint64_t(INT64_MAX)) values.emplace_back(int64_t(*n));
            else values.emplace_back(double(*n));
        } else if (auto* d = std::get_if<double>(&a.value)) {
            values.emplace_back(*d);
        } else {
            const auto text = std::get<std::string_view>(a.value);
            values.emplace_back(icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), int32_t(text.size()))));
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString out;
    format->format(names.data(), values.data(), int32_t(values.size()), out, status);
    if (U_FAILURE(status)) return std::string(pattern);
    return toUtf8(out);
}

std::string RNLocalizedMessage(std::string_view key, std::initializer_list<RNMessageArg> args, std::string_view table) {
    // A translation's plural branches are its language's: with LANGUAGE=pl and English number
    // settings, "2" must still choose Polish "few". Numbers keep the user's format when the
    // number locale is of the same language (de_CH stays de_CH).
    const std::string language = RNMessagesLanguage();
    const icu::Locale& numbers = numberLocale(nullptr);
    if (language.empty()) return RNMessageFormat(localizedText(key, table), args, &numbers);
    const icu::Locale translated(language.c_str());
    const bool same = std::string_view(translated.getLanguage()) == numbers.getLanguage();
    return RNMessageFormat(localizedText(key, table), args, same ? &numbers : &translated);
}

std::string RNPluralCategory(double count, const icu::Locale* locale) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::PluralRules> rules(icu::PluralRules::forLocale(numberLocale(locale), status));
    if (U_FAILURE(status) || !rules) return count == 1 ? "one" : "other";
    return toUtf8(rules->select(count));
}

}  // namespace quillo::util
