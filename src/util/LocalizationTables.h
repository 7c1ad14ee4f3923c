// The shape of the compiled-in localization tables (the data itself is generated at build time
// from resources/localization). Internal to the localization lookup.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillo::util::detail {

struct LocalizedEntry {
    std::string_view key;
    std::string_view text;
};

struct LocalizedTable {
    std::string_view name;          // empty for the main table
    const LocalizedEntry* entries;  // sorted by key, bytewise
    std::size_t count;
};

extern const LocalizedTable kLocalizedTables[];
extern const std::size_t kLocalizedTableCount;

}  // namespace quillo::util::detail
