#include "shell/RNMountWatcher.h"

#include "files/MountTable.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace quillo::shell {

QString mountPathToQString(const std::string& path) {
    // Local 8-bit with Qt's lossless escaping of undecodable bytes.
    return QString::fromLocal8Bit(path.data(), qsizetype(path.size()));
}

std::string mountPathFromQString(const QString& path) { return path.toLocal8Bit().toStdString(); }

RNMountWatcher::RNMountWatcher(QObject* parent, std::string mountInfoPath)
    : QObject(parent), path_(std::move(mountInfoPath)) {
    mountPoints_ = readMountPoints();
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Exception, this);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        // POLLPRI stays raised until the file is read again from its start.
        char buf[4096];
        ::lseek(fd_, 0, SEEK_SET);
        while (::read(fd_, buf, sizeof buf) > 0) {
        }
        checkForChanges();
    });
}

RNMountWatcher::~RNMountWatcher() {
    notifier_.reset();
    if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> RNMountWatcher::readMountPoints() const {
    std::vector<std::string> points;
    for (const files::MountEntry& e : files::readMountTable(path_)) {
        if (files::isSystemMount(e)) continue;
        if (std::find(points.begin(), points.end(), e.mountPoint) == points.end()) points.push_back(e.mountPoint);
    }
    return points;
}

void RNMountWatcher::checkForChanges() {
    std::vector<std::string> now = readMountPoints();
    const std::set<std::string> before(mountPoints_.begin(), mountPoints_.end());
    const std::set<std::string> after(now.begin(), now.end());
    std::vector<std::string> gone, added;
    for (const auto& p : mountPoints_)
        if (!after.count(p)) gone.push_back(p);
    for (const auto& p : now)
        if (!before.count(p)) added.push_back(p);
    mountPoints_ = std::move(now);
    for (const auto& p : gone) emit willUnmount(mountPathToQString(p));
    for (const auto& p : added) emit didMount(mountPathToQString(p));
}

}  // namespace quillo::shell
