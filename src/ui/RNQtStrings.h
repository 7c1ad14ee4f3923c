// Localized texts as QString, for the widgets.
#pragma once

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

// A path (bytes) for display: invalid UTF-8 shows as replacement characters, never fails.
inline QString displayPath(const std::string& path) { return QString::fromUtf8(path.data(), qsizetype(path.size())); }

}  // namespace quillo::ui
