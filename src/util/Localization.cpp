#include "util/Localization.h"

#include "util/LocalizationTables.h"

#include <algorithm>

namespace quillo::util {

namespace {

const detail::LocalizedTable* findTable(std::string_view name) {
    if (name == "Localizable") name = {};
    for (std::size_t i = 0; i < detail::kLocalizedTableCount; ++i)
        if (detail::kLocalizedTables[i].name == name) return &detail::kLocalizedTables[i];
    return nullptr;
}

// Shared by both overloads: `arg(i)` gives the i-th argument (from 0), `count` how many exist.
template <typename Arg>
std::string substitute(std::string_view format, std::size_t count, Arg arg) {
    std::string out;
    out.reserve(format.size() + 16 * count);
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            ++i;
            continue;
        }
        char d = format[i + 1];
        if (d == '@') {
            if (next < count) out += arg(next);
            ++next;
            i += 2;
            continue;
        }
        if (d == '%') {
            out += '%';
            i += 2;
            continue;
        }
        // Positional slot: %N$@
        std::size_t j = i + 1;
        std::size_t position = 0;
        while (j < format.size() && format[j] >= '0' && format[j] <= '9' && position < 1000) {
            position = position * 10 + std::size_t(format[j] - '0');
            ++j;
        }
        if (j > i + 1 && position > 0 && j + 1 < format.size() && format[j] == '$' &&
            format[j + 1] == '@') {
            if (position <= count) out += arg(position - 1);
            i = j + 2;
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

}  // namespace

std::string_view localizedText(std::string_view key, std::string_view table) {
    const detail::LocalizedTable* found = findTable(table);
    if (!found || found->count == 0) return key;
    const detail::LocalizedEntry* begin = found->entries;
    const detail::LocalizedEntry* end = begin + found->count;
    auto it = std::lower_bound(begin, end, key,
                               [](const detail::LocalizedEntry& e, std::string_view k) { return e.key < k; });
    if (it != end && it->key == key) return it->text;
    return key;
}

std::string RNLocalizedString(std::string_view key, std::string_view table) {
    return std::string(localizedText(key, table));
}

std::string RNFormat(std::string_view format, std::initializer_list<std::string_view> args) {
    const std::string_view* data = args.begin();
    return substitute(format, args.size(), [data](std::size_t i) { return data[i]; });
}

std::string RNFormat(std::string_view format, std::span<const std::string> args) {
    return substitute(format, args.size(), [args](std::size_t i) -> std::string_view { return args[i]; });
}

}  // namespace quillo::util
