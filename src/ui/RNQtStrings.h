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

// A path or a file name (bytes) for display, the one conversion every shown name goes through
// (the engine's texts use files::escapedText, the same).
inline QString displayPath(std::string_view path) { return QString::fromStdString(files::escapedText(path)); }

}  // namespace quillo::ui
