// User-visible texts by key. Two tables are compiled into the program: the main table and
// "Errors". The English text comes back; a key that a table lacks shows as the key itself, so a
// missing entry is visible but never breaks a window or a log line.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace quillo::util {

// `table` empty (or "Localizable") means the main table. Safe from any thread: the tables are
// constant data.
std::string RNLocalizedString(std::string_view key, std::string_view table = {});

// The same lookup without a copy; the view points into static data, or is `key` itself.
std::string_view localizedText(std::string_view key, std::string_view table = {});

// Fills the "%@" slots of a localized format with `args` in order. "%N$@" (N from 1) takes the
// Nth argument, so a translation can reorder them; "%%" is a percent sign. A slot without an
// argument becomes empty; any other '%' sequence is kept as it stands.
std::string RNFormat(std::string_view format, std::initializer_list<std::string_view> args);
std::string RNFormat(std::string_view format, std::span<const std::string> args);

}  // namespace quillo::util
