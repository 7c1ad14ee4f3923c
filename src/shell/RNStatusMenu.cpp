#include "shell/RNStatusMenu.h"

#include "hotkeys/RNKeyNames.h"

#include <QStyleOptionMenuItem>

namespace quillo::shell {

QString RNStatusMenu::shortcutText(const QAction* action) {
    if (!action || action->shortcut().isEmpty()) return {};
    return hotkeys::hotKeyText(action->shortcut()[0]);
}

QString RNStatusMenu::shownText(const QAction* action) const {
    QStyleOptionMenuItem option;
    initStyleOption(&option, action);
    return option.text;
}

void RNStatusMenu::initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const {
    QMenu::initStyleOption(option, action);
    // Qt appends the shortcut after a tab, unless the action's text has its own.
    if (!action || action->text().contains(QLatin1Char('\t'))) return;
    const QString keys = shortcutText(action);
    const qsizetype tab = option->text.indexOf(QLatin1Char('\t'));
    if (keys.isEmpty() || tab < 0) return;
    option->text = option->text.left(tab + 1) + keys;
}

}  // namespace quillo::shell
