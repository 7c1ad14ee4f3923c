#include "ui/RNLayoutDirection.h"

#include "util/Localization.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QTranslator>

namespace quillo::ui {

void applyLayoutDirection() {
    QGuiApplication::setLayoutDirection(util::RNMessagesAreRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
    // Qt's own texts (the standard buttons "Close", "Cancel", the file chooser) in the language
    // of ours, from Qt's translations when the system has them; else they stay English.
    // Called again when the language changes (tests): the previous one goes first.
    static QTranslator* qtTexts = nullptr;
    if (qtTexts) {
        QCoreApplication::removeTranslator(qtTexts);
        delete qtTexts;
        qtTexts = nullptr;
    }
    const std::string language = util::RNMessagesLanguage();
    if (language.empty() || language == "en") return;
    qtTexts = new QTranslator;
    if (qtTexts->load(QLocale(QString::fromStdString(language)), QStringLiteral("qtbase"), QStringLiteral("_"),
                      QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qtTexts);
    } else {
        delete qtTexts;
        qtTexts = nullptr;
    }
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
