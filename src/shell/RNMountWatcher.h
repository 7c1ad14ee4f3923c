// Mounts and unmounts as events: the kernel marks /proc/self/mountinfo with POLLPRI whenever the
// mount table changes; each change is diffed against the last table into did-mount and
// will-unmount events with the mount path (pseudo and system mounts are left out). On Linux the
// unmount is already done when it is seen, so "will unmount" means "is going away from the list".
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <string>
#include <vector>

namespace quillo::shell {

class RNMountWatcher : public QObject {
    Q_OBJECT
public:
    explicit RNMountWatcher(QObject* parent = nullptr, std::string mountInfoPath = "/proc/self/mountinfo");
    ~RNMountWatcher() override;

    bool isWatching() const { return notifier_ != nullptr; }
    // Re-reads the table now and reports what changed (the notifier calls it).
    void checkForChanges();
    const std::vector<std::string>& mountPoints() const { return mountPoints_; }

signals:
    void didMount(const QString& devicePath);
    void willUnmount(const QString& devicePath);

private:
    std::vector<std::string> readMountPoints() const;

    std::string path_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<std::string> mountPoints_;
};

// Mount points are paths as bytes; Qt signals carry them as text made with this pair.
QString mountPathToQString(const std::string& path);
std::string mountPathFromQString(const QString& path);

}  // namespace quillo::shell
