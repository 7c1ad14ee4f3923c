// User-visible texts by key. Two tables are compiled into the program: the main table and
// "Errors". A key that a table lacks shows as the key itself, so a missing entry is visible but
// never breaks a window or a log line. The text comes from the user's gettext catalog (text
// domain "quillo": the key as context, the English text as msgid, see po/README) when it has
// one, else the English text of the table.
//
// The language is the environment's, as gettext chooses it: LANGUAGE (a colon-separated list of
// languages, tried in order for each text) unless the messages locale (LC_ALL, LC_MESSAGES,
// LANG) is C or POSIX, in which case the texts are English. Catalogs are looked for in
// $QUILLO_LOCALEDIR, then next to the program (PREFIX/share/locale for PREFIX/bin/PROGRAM,
// which is also where the build tree keeps them), then in the installed locale folder.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace quillo::util {

// `table` empty (or "Localizable") means the main table. Safe from any thread: the tables are
// constant data, and a catalog once read is kept for the life of the process.
std::string RNLocalizedString(std::string_view key, std::string_view table = {});

// The same lookup without a copy; the view points into static data (or a catalog, which is
// never freed), or is `key` itself.
std::string_view localizedText(std::string_view key, std::string_view table = {});

// The English text, never a translation (the log's formats are the same in every language).
std::string_view englishText(std::string_view key, std::string_view table = {});

// The language of the catalog the texts come from ("de", "pt_BR"), or empty when they are
// English. Follows the environment as the lookup does.
std::string RNMessagesLanguage();

// Whether that language is written right to left (Arabic, Hebrew, ...): the windows mirror.
bool RNMessagesAreRightToLeft();

// A file or volume name to put into a text shown in a window: in a right-to-left language,
// wrapped in FIRST STRONG ISOLATE ... POP DIRECTIONAL ISOLATE, so that "report (2).txt" keeps its
// order and its parenthesis inside Arabic or Hebrew text. Unchanged otherwise, and never for
// logs or terminal output.
std::string RNIsolated(std::string_view name);

// The text without those isolates: the terminal shows texts made for the windows.
std::string RNWithoutIsolates(std::string_view text);

// Fills the "%@" slots of a localized format with `args` in order. "%N$@" (N from 1) takes the
// Nth argument, so a translation can reorder them; "%%" is a percent sign. A slot without an
// argument becomes empty; any other '%' sequence is kept as it stands.
std::string RNFormat(std::string_view format, std::initializer_list<std::string_view> args);
std::string RNFormat(std::string_view format, std::span<const std::string> args);

}  // namespace quillo::util
