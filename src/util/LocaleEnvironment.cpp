#include "util/LocaleEnvironment.h"

#include <unicode/timezone.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

namespace quillo::util {

namespace {

const char* categoryVariable(int category) {
    switch (category) {
        case LC_NUMERIC: return "LC_NUMERIC";
        case LC_TIME: return "LC_TIME";
        case LC_MESSAGES: return "LC_MESSAGES";
        case LC_COLLATE: return "LC_COLLATE";
        case LC_CTYPE: return "LC_CTYPE";
        case LC_MONETARY: return "LC_MONETARY";
        default: return nullptr;
    }
}

std::string_view nonEmptyVariable(const char* name) {
    if (!name) return {};
    const char* value = std::getenv(name);
    return value ? std::string_view(value) : std::string_view();
}

}  // namespace

std::string currentLocaleName(int category) {
    std::string_view value = nonEmptyVariable("LC_ALL");
    if (value.empty()) value = nonEmptyVariable(categoryVariable(category));
    if (value.empty()) value = nonEmptyVariable("LANG");

    std::string name(value.substr(0, value.find_first_of(".@")));
    if (name.empty() || name == "C" || name == "POSIX") return "en_US";
    return name;
}

icu::Locale currentLocale(int category) {
    std::string name = currentLocaleName(category);
    icu::Locale locale(name.c_str());
    if (locale.isBogus() || std::string_view(locale.getLanguage()).empty()) return icu::Locale("en_US");
    return locale;
}

void refreshDefaultTimeZone() {
    ::tzset();
    // detectHostTimeZone() looks at TZ first, then the system's zone file.
    icu::TimeZone::adoptDefault(icu::TimeZone::detectHostTimeZone());
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace quillo::util
