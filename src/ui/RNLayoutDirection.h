// Right-to-left languages: the application mirrors its windows, menus and dialogs, and icons
// that point somewhere point the other way.
#pragma once

#include <QIcon>
#include <QString>

namespace quillo::ui {

// Sets the application's layout direction from the language of its texts (the catalog in use,
// see util::RNMessagesLanguage): right to left for Arabic, Hebrew, ... Every widget made
// afterwards follows it. Call once the application object exists.
void applyLayoutDirection();

// The theme's icon `name` for a left-to-right layout, as the current layout direction wants it:
// in a right-to-left layout the theme's "NAME-rtl" when it has one, else the icon mirrored.
QIcon directionalIcon(const QString& name);

}  // namespace quillo::ui
