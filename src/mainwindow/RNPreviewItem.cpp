#include "mainwindow/RNPreviewItem.h"

#include "files/RNFilesUtilities.h"
#include "files/TrashLocator.h"
#include "mainwindow/RNImages.h"
#include "ui/RNQtStrings.h"
#include "util/RNNumberUtilities.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QApplication>
#include <QDesktopServices>
#include <QUrl>

namespace quillo::mainwindow {

std::string RNPreviewItem::url() const {
    auto i = item.lock();
    return i ? i->url : std::string();
}
QString RNPreviewItem::name() const {
    auto i = item.lock();
    return i ? i->displayName() : QString();
}
QString RNPreviewItem::kind() const {
    auto i = item.lock();
    return i ? i->kind() : QString();
}
QString RNPreviewItem::size() const {
    auto i = item.lock();
    return sizeText(i ? i->size.load() : 0);
}
QString RNPreviewItem::sizeText(uint64_t bytes) {
    if (bytes == 0) return QStringLiteral("--");
    return QString::fromStdString(util::RNNumberUtilities::sharedControl().sizeToFormatString(bytes, 4, true));
}
QString RNPreviewItem::dateModified() const {
    auto i = item.lock();
    return i ? i->formattedDateModified() : QString();
}
QString RNPreviewItem::dateCreated() const {
    auto i = item.lock();
    return i ? i->formattedDateCreated() : QString();
}
std::vector<RNPathEntry> RNPreviewItem::oldStylePath() const { return oldStylePathForPath(url()); }

RNPathEntry RNPreviewItem::serviceDictionaryWithURL(const std::string& url) {
    auto& fu = files::RNFilesUtilities::sharedControl();
    RNPathEntry e;
    const std::string display = url.empty() ? std::string() : fu.itemDisplayNameWithURL(url);
    if (display.empty()) {
        e.name = ui::L("no_item_found");
        return e;
    }
    e.name = ui::displayPath(display);
    e.url = url;
    e.isInvisible = fu.isHiddenWithURL(url);
    e.finderTag = fu.systemLabelNumberWithURL(url);
    e.mimeName = mimeTypeOfItem(url).name();
    return e;
}

std::vector<RNPathEntry> RNPreviewItem::oldStylePathForPath(const std::string& path) {
    std::vector<RNPathEntry> chain;
    if (path.empty() || path[0] != '/') return {serviceDictionaryWithURL("/")};
    const std::string volume = files::volumeOfPath(path);
    std::string current = path;
    while (current.size() > 1 && current != volume) {
        chain.insert(chain.begin(), serviceDictionaryWithURL(current));
        current = files::deletingLastPathComponent(current);
    }
    chain.insert(chain.begin(), serviceDictionaryWithURL(current));
    return chain;
}

QString fileUriOfPath(const std::string& path) {
    const QByteArray bytes(path.data(), qsizetype(path.size()));
    return QStringLiteral("file://") + QString::fromLatin1(bytes.toPercentEncoding("/"));
}

void revealInFileManager(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    QStringList uris;
    for (const auto& p : paths) uris << fileUriOfPath(p);
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("ShowItems"));
    call << uris << QString();
    const QUrl folder(fileUriOfPath(files::deletingLastPathComponent(paths.front())));
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 3000), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [folder](QDBusPendingCallWatcher* w) {
        if (w->isError()) QDesktopServices::openUrl(folder);
        w->deleteLater();
    });
}

void openWithDefaultApplication(const std::string& path) { QDesktopServices::openUrl(QUrl(fileUriOfPath(path))); }

}  // namespace quillo::mainwindow
