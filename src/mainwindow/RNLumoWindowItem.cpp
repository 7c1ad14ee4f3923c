#include "mainwindow/RNLumoWindowItem.h"

#include "files/RNFilesUtilities.h"
#include "files/TrashInfo.h"
#include "mainwindow/RNImages.h"
#include "mainwindow/RNPreviewLoader.h"
#include "ui/RNQtStrings.h"
#include "util/RNDateUtilities.h"


#include <fcntl.h>
#include <sys/stat.h>

#include <limits>

namespace quillo::mainwindow {

namespace {
files::RNFilesUtilities& fu() { return files::RNFilesUtilities::sharedControl(); }


double statTime(const std::string& path, bool created) {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &sx) != 0)
        return util::RNDateUtilities::sharedControl().wrongDate();
    const statx_timestamp& ts = created && (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    return double(ts.tv_sec) + ts.tv_nsec / 1e9 - files::kReferenceDateOffset;
}
}  // namespace

QString RNLumoWindowItem::displayName() const { return ui::displayPath(name); }

QString RNLumoWindowItem::displayOriginalPath() const {
    const std::string path = originalPath();
    return path.empty() ? QString() : ui::displayPath(path);
}

bool RNLumoWindowItem::isDirectory() const { return fu().isDirectoryWithURL(url); }

bool RNLumoWindowItem::isAlias() const {
    struct stat st {};
    return ::lstat(url.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RNLumoWindowItem::isInvisible() const { return !url.empty() && fu().isHiddenWithURL(url); }

QString RNLumoWindowItem::kind() const {
    const QMimeType type = mimeTypeOfItem(url);
    return type.isValid() ? type.comment() : QString();
}

bool RNLumoWindowItem::isEmptyDirectory() const { return fu().isAnEmptyFolder(url); }

double RNLumoWindowItem::dateCreated() const { return statTime(url, true); }
double RNLumoWindowItem::dateModified() const { return statTime(url, false); }

QString RNLumoWindowItem::formattedDateCreated() const {
    return QString::fromStdString(util::RNDateUtilities::sharedControl().stringWithSeconds(dateCreated(), 3, true, false));
}
QString RNLumoWindowItem::formattedDateModified() const {
    return QString::fromStdString(util::RNDateUtilities::sharedControl().stringWithSeconds(dateModified(), 3, true, false));
}

double RNLumoWindowItem::cfDateAdded() const {
    const double date = dateAdded.load();
    return date == 0 ? double(std::numeric_limits<int64_t>::max()) : date;
}

QPixmap RNLumoWindowItem::fileIcon() const {
    if (url.empty()) return {};
    return fileIconWithSize(QSize(32, 32));
}

QPixmap RNLumoWindowItem::fileIconWithSize(QSize size) const {
    if (url.empty()) return placeholderImageWithSize(size);
    QPixmap icon = iconOfItemWithURL(url, size);
    return isInvisible() ? ghostIconWithIcon(icon, size) : icon;
}

QPixmap RNLumoWindowItem::iconImageWithValue(int value) const {
    const int side = std::min(value, 512);
    return fileIconWithSize(QSize(side, side));
}

QPixmap RNLumoWindowItem::thumbnailWithValue(int value) const {
    const QImage image = thumbnailImageOfPath(url, value);
    return image.isNull() ? iconImageWithValue(value) : QPixmap::fromImage(image);
}

int16_t RNLumoWindowItem::labelNumber() const { return fu().systemLabelNumberWithURL(url); }

QString RNLumoWindowItem::valueForString(const QString& string, bool direction) {
    if (!string.isEmpty()) return string;
    return direction ? QString(8, QChar(0x00FF)) : QString();
}

QVariant RNLumoWindowItem::valueForKey(const QString& key) const {
    if (key == QLatin1String("check_col")) return isMarked.load() ? 1 : 0;
    if (key == QLatin1String("name_col")) return displayName();
    if (key == QLatin1String("date_added_col")) return cfDateAdded();
    if (key == QLatin1String("size_col")) return QVariant::fromValue<qulonglong>(size.load());
    if (key == QLatin1String("original_location_col")) return valueForString(displayOriginalPath(), true);
    return valueForString(QString(), true);
}

}  // namespace quillo::mainwindow
