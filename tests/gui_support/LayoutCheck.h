// Texts that do not fit: for the pseudo-language (every text 40 % longer) and the long languages.
#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>

#include <string>
#include <vector>

namespace quillo::test {

// The labels and buttons of `root` that show less than their text needs (a label that wraps:
// less height than its width needs), and those overlapping a sibling.
inline std::vector<std::string> layoutFaults(QWidget* root) {
    std::vector<std::string> faults;
    std::vector<QWidget*> shown;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root) || !(qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w))) continue;
        const auto* label = qobject_cast<QLabel*>(w);
        const QString text = label ? label->text() : static_cast<QAbstractButton*>(w)->text();
        if (text.isEmpty()) continue;  // a place kept for a message that may come, or an icon
        shown.push_back(w);
        const QSize hint = w->sizeHint();
        const bool wraps = label && label->wordWrap();
        const int needed = wraps ? w->heightForWidth(w->width()) : hint.height();
        if ((!wraps && w->width() < hint.width()) || w->height() < needed)
            faults.push_back("cut off: \"" + text.toStdString() + "\"");
    }
    for (std::size_t i = 0; i < shown.size(); ++i)
        for (std::size_t j = i + 1; j < shown.size(); ++j)
            if (shown[i]->parentWidget() == shown[j]->parentWidget() &&
                shown[i]->geometry().intersects(shown[j]->geometry()))
                faults.push_back("overlap: \"" + shown[i]->objectName().toStdString() + "\" / \"" +
                                 shown[j]->objectName().toStdString() + "\"");
    return faults;
}

}  // namespace quillo::test
