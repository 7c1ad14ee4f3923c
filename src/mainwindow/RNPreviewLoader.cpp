#include "mainwindow/RNPreviewLoader.h"

#include "erase/RNOperationQueue.h"
#include "mainwindow/RNImages.h"

#include <QCache>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeType>
#include <QMutex>
#include <QPointer>
#include <QUrl>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillo::mainwindow {

erase::RNOperationQueue& previewOperationQueue() {
    static erase::RNOperationQueue& queue = [] () -> erase::RNOperationQueue& {
        auto& q = erase::RNOperationQueue::named("previewOperationQueue");
        q.setMaxConcurrentOperationCount(2);
        return q;
    }();
    return queue;
}

namespace {

constexpr int kPreviewNice = 10;

QString fromBytes(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// Decoded pictures by path, side and modification time; the cost is in kilobytes. Never
// destroyed: the preview queue's workers live until the process ends, and one may still be
// reading the cache while exit runs the static destructors.
QMutex& gCacheMutex = *new QMutex;
QCache<QString, QImage>& gThumbnails = *new QCache<QString, QImage>(64 * 1024);

QImage readScaled(const QString& file, int side) {
    QImageReader reader(file);
    reader.setAutoTransform(true);
    if (!reader.canRead()) return {};
    const QSize full = reader.size();
    // The JPEG reader decodes straight to a fraction of the size; others scale while reading.
    if (full.isValid() && (full.width() > side || full.height() > side))
        reader.setScaledSize(full.scaled(side, side, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (!image.isNull() && (image.width() > side || image.height() > side))
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

}  // namespace

QImage thumbnailImageOfPath(const std::string& path, int side) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || side <= 0) return {};
    const QString key = QString::number(side) + QLatin1Char(':') + QString::number(st.st_mtim.tv_sec) + QLatin1Char('.') +
                        QString::number(st.st_mtim.tv_nsec) + QLatin1Char(':') + fromBytes(path);
    {
        QMutexLocker lock(&gCacheMutex);
        if (const QImage* cached = gThumbnails.object(key)) return *cached;
    }
    // The freedesktop.org thumbnail cache first (named by the MD5 of the file URI), then the file.
    const QByteArray uri = QByteArrayLiteral("file://") + QByteArray(path.data(), qsizetype(path.size())).toPercentEncoding("/");
    const QByteArray md5 = QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex();
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty()) cache = QDir::homePath() + QStringLiteral("/.cache");
    QImage image;
    for (const char* dir : {"x-large", "large", "normal"}) {
        const QString file = cache + QStringLiteral("/thumbnails/") + QLatin1String(dir) + QLatin1Char('/') +
                             QString::fromLatin1(md5) + QStringLiteral(".png");
        if (QFileInfo::exists(file)) image = readScaled(file, side);
        if (!image.isNull()) break;
    }
    if (image.isNull()) image = readScaled(fromBytes(path), side);
    if (image.isNull()) return {};
    QMutexLocker lock(&gCacheMutex);
    gThumbnails.insert(key, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes() / 1024));
    return image;
}

RNPreviewDetails previewDetailsOfItem(const RNLumoWindowItem& item, int side, bool withChain) {
    RNPreviewDetails d;
    const QMimeType type = mimeTypeOfItem(item.url);
    d.mimeName = type.name();
    d.kind = type.isValid() ? type.comment() : QString();
    d.size = RNPreviewItem::sizeText(item.size.load());
    d.dateModified = item.formattedDateModified();
    d.dateCreated = item.formattedDateCreated();
    if (withChain) d.path = RNPreviewItem::oldStylePathForPath(item.url);
    if (side <= 0) return d;
    struct stat st {};
    const bool regular = ::lstat(item.url.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (regular && type.inherits(QStringLiteral("text/plain"))) {
        // The first few kilobytes, read without following a link.
        const int fd = ::open(item.url.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            QByteArray bytes(4096, 0);
            const ssize_t n = ::read(fd, bytes.data(), size_t(bytes.size()));
            ::close(fd);
            if (n >= 0) {
                bytes.resize(n);
                d.text = QString::fromUtf8(bytes);
                if (d.text.isNull()) d.text = QLatin1String("");
                return d;
            }
        }
    }
    if (regular) d.image = thumbnailImageOfPath(item.url, side);
    return d;
}

namespace {

// Decoding uses Qt's image plugins and hands its result to the application object: neither may
// be gone while a worker still reads. When the application object ends, waiting loads are
// dropped and running ones are waited for, before Qt's own state is torn down.
std::atomic<bool> gStopRegistered{false};

void stopPreviewsAtApplicationEnd() {
    previewOperationQueue().cancelAllOperations();
    previewOperationQueue().waitUntilAllOperationsAreFinished();
    gStopRegistered = false;  // a later application object registers again
}

}  // namespace

void loadPreviewDetails(const RNLumoWindowItemPtr& item, int side, bool withChain, QObject* context,
                        const std::shared_ptr<std::atomic<bool>>& cancelled,
                        std::function<void(const RNPreviewDetails&)> then) {
    if (!QCoreApplication::instance()) return;
    if (!gStopRegistered.exchange(true)) qAddPostRoutine(stopPreviewsAtApplicationEnd);
    QPointer<QObject> guard(context);
    previewOperationQueue().addOperation([item, side, withChain, guard, cancelled, then = std::move(then)] {
        if (cancelled && cancelled->load()) return;
        // Decoding yields to the main thread (and to whatever else the user runs): the window
        // must keep answering while dozens of large pictures are read.
        ::setpriority(PRIO_PROCESS, pid_t(::gettid()), kPreviewNice);
        auto details = std::make_shared<RNPreviewDetails>(previewDetailsOfItem(*item, side, withChain));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, cancelled, then, details] {
                if (!guard || (cancelled && cancelled->load())) return;
                then(*details);
            },
            Qt::QueuedConnection);
    });
}

}  // namespace quillo::mainwindow
