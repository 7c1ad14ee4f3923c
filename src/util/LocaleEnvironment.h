// The user's locale and time zone as the environment gives them. Read afresh on every call, so
// a formatter rebuilt after a change (see RNDateUtilities::localeChanged) follows the new values.
#pragma once

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <string>
#include <string_view>

namespace quillo::util {

// The locale name for one category (LC_NUMERIC, LC_TIME, LC_MESSAGES, ... from <clocale>),
// looked up the POSIX way: LC_ALL, then the category's own variable, then LANG; empty values
// do not count. The encoding (".UTF-8") and modifier ("@euro") are dropped, and "C", "POSIX"
// or nothing at all give "en_US": the C locale's conventions are English ones, and ICU has no
// "C" locale of its own.
std::string currentLocaleName(int category);

// The same as an ICU locale ("de_DE" -> de_DE); a name ICU cannot read gives en_US.
icu::Locale currentLocale(int category);

// Makes ICU's default time zone the host's current one again: the TZ variable when set, else
// /etc/localtime. ICU reads the host zone once and keeps it, so a later change of TZ is only
// seen after this call.
void refreshDefaultTimeZone();

std::string toUtf8(const icu::UnicodeString& text);

}  // namespace quillo::util
