// Localized texts as QString, for the widgets.
#pragma once

#include "files/Utf8.h"
#include "util/Localization.h"

#include <QString>

#include <string>
#include <string_view>

namespace quillo::ui {

inline QString qstr(const std::string& s) { return QString::fromStdString(s); }

// The main table's (or `table`'s) text for `key`.
inline QString L(std::string_view key, std::string_view table = {}) {
    return QString::fromStdString(util::RNLocalizedString(key, table));
}

// A path or a file name (bytes) for display, the one conversion every shown name goes through:
// valid UTF-8 reads as text, and every byte that is not shows as "\xE9" (as file managers
// do), so two names that differ only in such bytes never look the same.
inline QString displayPath(std::string_view path) {
    QString out;
    size_t run = 0;  // start of the current stretch of valid text
    size_t i = 0;
    auto flush = [&](size_t end) {
        if (end > run) out += QString::fromUtf8(path.data() + run, qsizetype(end - run));
    };
    while (i < path.size()) {
        const size_t n = files::utf8SequenceLength(path, i);
        if (n > 0) {
            i += n;
            continue;
        }
        flush(i);
        static const char hex[] = "0123456789ABCDEF";
        const auto byte = uint8_t(path[i]);
        out += QLatin1String("\\x");
        out += QLatin1Char(hex[byte >> 4]);
        out += QLatin1Char(hex[byte & 15]);
        run = ++i;
    }
    flush(i);
    return out;
}

}  // namespace quillo::ui
