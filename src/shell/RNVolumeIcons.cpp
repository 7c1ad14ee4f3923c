#include "shell/RNVolumeIcons.h"

#include <QApplication>
#include <QStyle>

namespace quillo::shell {

namespace {
bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
}  // namespace

QIcon iconForVolume(const std::string& volumeURL) {
    const char* name = "drive-harddisk";
    if (startsWith(volumeURL, "/media/") || startsWith(volumeURL, "/run/media/") || startsWith(volumeURL, "/mnt/"))
        name = "drive-removable-media";
    QIcon icon = QIcon::fromTheme(QString::fromLatin1(name), QIcon::fromTheme(QStringLiteral("drive-harddisk")));
    if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon);
    return icon;
}

}  // namespace quillo::shell
