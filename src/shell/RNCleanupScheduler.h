// When the tray application runs the automatic clean-up: once at start-up (after the first
// volume listing), every hour, and when a volume is mounted; never while the user's own erase
// runs (a tray erase, a hot key, the Lumo Window open), and at most one pass at a time (a pass
// of the systemd timer holds the per-user lock: this one is then skipped). The pass itself runs
// on its own thread at idle CPU and I/O priority (RNAutoCleanup); the main thread only starts
// it and hears its end.
//
// The user's erase stops a running pass and never waits for it: userEraseWillStart() asks the
// pass to stop and starts the erase as soon as the pass has let go of the erase engine (after
// the item in hand), from the main thread's queue. While the user's erase runs it holds the
// erase guard, so that the timer's pass in another process stops too.
//
// At the end of a pass that removed something one desktop notification says what went
// (org.freedesktop.Notifications on the session bus); none when nothing went.
#pragma once

#include "erase/RNAutoCleanup.h"
#include "erase/RNCleanupLock.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

namespace quillo::shell {

class RNCleanupScheduler : public QObject {
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 60 * 60 * 1000;

    enum class Trigger { Startup, Hourly, Mount };

    explicit RNCleanupScheduler(QDBusConnection bus, QObject* parent = nullptr);
    // Stops a running pass and waits for its thread.
    ~RNCleanupScheduler() override;

    // The hourly timer (started by the first start-up pass).
    void setInterval(int ms) { timer_.setInterval(ms); }
    bool timerActive() const { return timer_.isActive(); }
    // Where the per-user lock files are (empty: the default place).
    void setLockFolder(std::string folder) { lockFolder_ = std::move(folder); }
    void setBus(QDBusConnection bus) { bus_ = std::move(bus); }

    // Starts a pass now unless every rule is off, the user is busy or a pass runs (a mount seen
    // meanwhile runs one after). True: a pass started.
    bool runPass(Trigger trigger);
    bool passRunning() const { return pass_ != nullptr; }

    // The user is erasing (or has the Lumo Window open): no pass starts, a running one stops.
    void setUserBusy(bool busy);
    bool userBusy() const { return userBusy_; }
    // The user's erase: `start` runs on the main thread once no pass uses the erase engine;
    // the guard is held until userEraseEnded().
    void userEraseWillStart(std::function<void()> start);
    void userEraseEnded();

    // The notification's text for a pass's result ("" when nothing went).
    static QString notificationBody(const erase::RNCleanupPassResult& result, const erase::RNCleanupRules& rules);

signals:
    void passStarted();
    // Every end, skipped (busy) or not; `stopped` when the user's erase stopped it.
    void passFinished(bool busy, bool stopped, quint64 erasedItems);
    // The notification sent (the Notify call answered or not).
    void notified(const QString& body);

private:
    void passEnded(const erase::RNCleanupPassResult& result, const erase::RNCleanupRules& rules);
    void notify(const QString& body);
    void stopPass();
    // The pass a mount asked for while the way was not clear.
    void runPendingPass();

    QDBusConnection bus_;
    QTimer timer_;
    std::string lockFolder_;
    std::unique_ptr<erase::RNAutoCleanup> pass_;
    std::unique_ptr<erase::RNUserEraseGuard> eraseGuard_;
    bool userBusy_ = false;
    bool rerunAfterPass_ = false;
};

}  // namespace quillo::shell
