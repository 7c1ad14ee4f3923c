// The tray icon's own menu (Qt's popup, where the panel lets Quillo draw it). Its entries show
// their hot keys as the desktop names them, "Ctrl+Super+Backspace", the spelling the preferences
// and the welcome pages use; Qt's own would say "Meta+Ctrl+Backspace". A menu exported over
// D-Bus carries the key combination itself and the panel names it.
#pragma once

#include <QMenu>

namespace quillo::shell {

class RNStatusMenu : public QMenu {
    Q_OBJECT
public:
    using QMenu::QMenu;

    // The text the menu shows for `action`'s hot key (empty when it has none).
    static QString shortcutText(const QAction* action);
    // The whole line the menu draws for `action`: its text, a tab, its hot key.
    QString shownText(const QAction* action) const;

protected:
    void initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const override;
};

}  // namespace quillo::shell
