// Qt keys as X keysyms and as the key names of the desktop-shortcut notation (the XKB keysym
// names), for the keys a global hot key can sensibly use.
#pragma once

#include <cstdint>
#include <optional>

namespace quillo::shell {

struct RNKeyName {
    std::uint32_t keysym = 0;
    const char* name = "";  // XKB keysym name: "BackSpace", "s", "F5", "comma"
};

// Nullopt for keys that have no place in a hot key (modifiers alone, unknown keys).
std::optional<RNKeyName> keyNameForQtKey(int qtKey);

}  // namespace quillo::shell
