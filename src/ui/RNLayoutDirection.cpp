#include "ui/RNLayoutDirection.h"

#include "util/Localization.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>

namespace quillo::ui {

void applyLayoutDirection() {
    QGuiApplication::setLayoutDirection(util::RNMessagesAreRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
}

QIcon directionalIcon(const QString& name) {
    const QIcon icon = QIcon::fromTheme(name);
    if (QGuiApplication::layoutDirection() != Qt::RightToLeft || icon.isNull()) return icon;
    const QIcon rtl = QIcon::fromTheme(name + QStringLiteral("-rtl"));
    if (!rtl.isNull()) return rtl;
    QIcon mirrored;
    for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled, QIcon::Active, QIcon::Selected}) {
        for (const int side : {16, 22, 24, 32, 48}) {
            const QPixmap pixmap = icon.pixmap(QSize(side, side), 1.0, mode);
            if (!pixmap.isNull())
                mirrored.addPixmap(QPixmap::fromImage(pixmap.toImage().mirrored(true, false)), mode);
        }
    }
    return mirrored;
}

}  // namespace quillo::ui
