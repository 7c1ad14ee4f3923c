#include "mainwindow/RNImages.h"

#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QMutex>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QApplication>

#include <sys/stat.h>

namespace quillo::mainwindow {

QMimeType mimeTypeOfItem(const std::string& path, uint32_t mode) {
    static QMimeDatabase db;  // the shared database is safe from any thread
    if (S_ISDIR(mode)) return db.mimeTypeForName(QStringLiteral("inode/directory"));
    if (S_ISLNK(mode)) return db.mimeTypeForName(QStringLiteral("inode/symlink"));
    if (S_ISFIFO(mode)) return db.mimeTypeForName(QStringLiteral("inode/fifo"));
    if (S_ISSOCK(mode)) return db.mimeTypeForName(QStringLiteral("inode/socket"));
    if (S_ISCHR(mode)) return db.mimeTypeForName(QStringLiteral("inode/chardevice"));
    if (S_ISBLK(mode)) return db.mimeTypeForName(QStringLiteral("inode/blockdevice"));
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return db.mimeTypeForFile(QString::fromUtf8(name.data(), qsizetype(name.size())), QMimeDatabase::MatchExtension);
}

QMimeType mimeTypeOfItem(const std::string& path) {
    struct stat st {};
    return mimeTypeOfItem(path, ::lstat(path.c_str(), &st) == 0 ? uint32_t(st.st_mode) : 0u);
}

QIcon iconForMimeType(const QMimeType& type) {
    // Never destroyed: list and preview workers may still ask while the process exits.
    static QMutex& mutex = *new QMutex;
    static QHash<QString, QIcon>& cache = *new QHash<QString, QIcon>;
    QMutexLocker lock(&mutex);
    auto it = cache.constFind(type.name());
    if (it != cache.constEnd()) return *it;
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull() && type.name() == QLatin1String("inode/directory")) icon = QIcon::fromTheme(QStringLiteral("folder"));
    if (icon.isNull()) icon = QIcon::fromTheme(QStringLiteral("text-x-generic"));
    cache.insert(type.name(), icon);
    return icon;
}

QPixmap iconOfItemWithURL(const std::string& path, QSize size) {
    if (path.empty()) return placeholderImageWithSize(size);
    const QIcon icon = iconForMimeType(mimeTypeOfItem(path));
    if (icon.isNull()) return placeholderImageWithSize(size);
    QPixmap pixmap = icon.pixmap(size);
    if (pixmap.isNull()) return placeholderImageWithSize(size);
    return pixmap;
}

QPixmap ghostIconWithIcon(const QPixmap& icon, QSize size) {
    QPixmap out(size);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setOpacity(0.3);
    p.drawPixmap(QPoint(0, 0), icon);
    return out;
}

QPixmap placeholderImageWithSize(QSize size) {
    QPixmap out(size.isValid() && !size.isEmpty() ? size : QSize(1, 1));
    out.fill(Qt::transparent);
    const qreal w = size.width() <= 20 ? 20 : size.width();
    const qreal h = size.height() <= 20 ? 20 : size.height();
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, w, h), 10, 10);
    // Shades of the palette's text colour: the outline shows on light, dark and high-contrast
    // palettes alike.
    QColor fill = QApplication::palette().color(QPalette::Text), line = fill;
    fill.setAlphaF(0.15f);
    line.setAlphaF(0.55f);
    p.fillPath(path, fill);
    p.setPen(QPen(line, 1));
    p.drawPath(path);
    return out;
}

QPixmap composedImageMainImage(const QPixmap& main, const QPixmap& adding) {
    QPixmap out(main.size());
    out.setDevicePixelRatio(main.devicePixelRatio());
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSizeF logical = main.deviceIndependentSize();
    p.drawPixmap(QPointF(0, 0), main);
    const QRectF quarter(logical.width() / 2, logical.height() / 2, logical.width() / 2, logical.height() / 2);
    p.drawPixmap(quarter, adding, QRectF(adding.rect()));
    return out;
}

}  // namespace quillo::mainwindow
