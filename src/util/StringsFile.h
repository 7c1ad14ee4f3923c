// Reader for the localization resource files: a list of `"key" = "text";` pairs with C-style
// comments and the escapes \" \\ \n \t \r and \uXXXX. The build turns these files into tables
// compiled into the program, so this reader runs at build time (and in the tests).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::util {

struct StringsEntry {
    std::string key;
    std::string text;
    // The last block comment before the entry (it heads a group of entries, so every entry up to
    // the next comment or the next blank line gets it), its lines joined by spaces: what the
    // translators read with it.
    std::string comment;
};

struct StringsFileContent {
    std::vector<StringsEntry> entries;  // in file order
    std::string error;                  // "line N: what"; empty when the whole file was read
    bool ok() const { return error.empty(); }
};

// The gettext context of a table's entry in the catalogs: the key itself for the main table,
// "TABLE:key" for another table, so that a key both tables hold is still two entries.
std::string catalogContext(std::string_view table, std::string_view key);

// Reads a file's text (UTF-8, an optional byte-order mark is skipped). A key given twice is an
// error: one of the two texts would silently never show.
StringsFileContent parseStringsFile(std::string_view content);

}  // namespace quillo::util
