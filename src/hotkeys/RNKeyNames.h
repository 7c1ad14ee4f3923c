// Qt keys as X keysyms and as the key names of the desktop-shortcut notation (the XKB keysym
// names), for the keys a global hot key can sensibly use; and a hot key as people read it.
#pragma once

#include <QKeySequence>
#include <QString>

#include <cstdint>
#include <optional>

namespace quillo::hotkeys {

struct RNKeyName {
    std::uint32_t keysym = 0;
    const char* name = "";  // XKB keysym name: "BackSpace", "s", "F5", "comma"
};

// Nullopt for keys that have no place in a hot key (modifiers alone, unknown keys).
std::optional<RNKeyName> keyNameForQtKey(int qtKey);

// A key combination as the desktop names it, one spelling wherever Quillo shows a hot key (the
// tray menu, the preferences, the welcome pages, the notifications): "Ctrl+Super+Backspace".
// Qt's own text says "Meta" for the logo key and puts it first. Empty for no combination.
QString hotKeyText(QKeyCombination combination);
// The same for modifiers alone, while a recorder waits for the key: "Ctrl+Super+".
QString modifiersText(Qt::KeyboardModifiers modifiers);

}  // namespace quillo::hotkeys
