#include "ui/preferences/RNLoginItem.h"

#include "util/Localization.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace quillo::ui {

namespace {

QString configHome() {
    const QString xdg = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (xdg.startsWith(QLatin1Char('/'))) return xdg;
    return QDir::homePath() + QStringLiteral("/.config");
}

// The program as one argument of an Exec line: in double quotes with ", `, $ and \ escaped by a
// backslash (the quoting rules), then, since Exec is a string value, every backslash doubled and
// a newline written as \n; a percent sign is doubled so it is no field code.
QString execArgument(const QString& program) {
    QString quoted;
    for (QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    QString value;
    for (QChar c : QStringLiteral("\"") + quoted + QStringLiteral("\"")) {
        if (c == QLatin1Char('\\'))
            value += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            value += QStringLiteral("\\n");
        else if (c == QLatin1Char('%'))
            value += QStringLiteral("%%");
        else
            value += c;
    }
    return value;
}

}  // namespace

QString RNLoginItem::path() { return configHome() + QStringLiteral("/autostart/") + QLatin1String(kFileName); }

bool RNLoginItem::isEnabled() { return QFileInfo::exists(path()); }

QString RNLoginItem::desktopEntry(const QString& executable) {
    const QString program = executable.isEmpty() ? QCoreApplication::applicationFilePath() : executable;
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quillo\n"
                          "Comment=Empty the Trash of every volume from the system tray\n"
                          "Exec=%1\n"
                          "Icon=org.quillo.quillo-3\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(execArgument(program));
}

bool RNLoginItem::setEnabled(bool enabled, QString* error) {
    const QString file = path();
    if (!enabled) {
        QFile entry(file);
        if (!entry.exists() || entry.remove()) return true;
        if (error) *error = entry.errorString();
        return false;
    }
    const QString folder = QFileInfo(file).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QString::fromStdString(util::RNFormat(util::RNLocalizedString("autostart_folder_error", "Errors"),
                                                           {folder.toStdString()}));
        return false;
    }
    QSaveFile entry(file);
    if (!entry.open(QIODevice::WriteOnly)) {
        if (error) *error = entry.errorString();
        return false;
    }
    entry.write(desktopEntry(QString()).toUtf8());
    if (!entry.commit()) {
        if (error) *error = entry.errorString();
        return false;
    }
    return true;
}

}  // namespace quillo::ui
