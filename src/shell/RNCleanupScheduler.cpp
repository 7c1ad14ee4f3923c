#include "shell/RNCleanupScheduler.h"

#include "shell/RNRunningNotice.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

namespace quillo::shell {

using erase::RNAutoCleanup;
using erase::RNCleanupRules;

RNCleanupScheduler::RNCleanupScheduler(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {
    timer_.setInterval(kIntervalMs);
    connect(&timer_, &QTimer::timeout, this, [this] { runPass(Trigger::Hourly); });
}

RNCleanupScheduler::~RNCleanupScheduler() {
    if (pass_) {
        pass_->stop();
        pass_->wait();
    }
}

bool RNCleanupScheduler::runPass(Trigger trigger) {
    if (trigger == Trigger::Startup && !timer_.isActive()) timer_.start();
    if (userBusy_ || eraseGuard_ || pass_) {
        // A volume mounted while a pass runs is not in its plan, nor one mounted while the user
        // erases: one more pass once the way is clear.
        if (trigger == Trigger::Mount) rerunAfterPass_ = true;
        return false;
    }
    const RNCleanupRules rules = RNCleanupRules::fromPreferences();
    if (!rules.anyRuleOn()) return false;
    RNAutoCleanup::Options options;
    options.lockFolder = lockFolder_;
    pass_ = std::make_unique<RNAutoCleanup>(rules, std::move(options));
    const ui::RNMainThreadPath back(this);
    RNAutoCleanup* pass = pass_.get();
    const bool started = pass_->start([this, back, pass, rules](const erase::RNCleanupPassResult& result) {
        back.post([this, pass, rules, result] {
            if (pass_.get() == pass) passEnded(result, rules);
        });
    });
    if (!started) {
        pass_.reset();
        return false;
    }
    emit passStarted();
    return true;
}

void RNCleanupScheduler::passEnded(const erase::RNCleanupPassResult& result, const RNCleanupRules& rules) {
    // The pass has called back: its thread is at its end, the join is short.
    pass_->wait();
    pass_.reset();
    const QString body = result.busy ? QString() : notificationBody(result, rules);
    if (!body.isEmpty()) notify(body);
    emit passFinished(result.busy, result.stopped, quint64(result.erasedItems()));
    runPendingPass();
}

void RNCleanupScheduler::runPendingPass() {
    if (!rerunAfterPass_ || userBusy_ || eraseGuard_ || pass_) return;
    rerunAfterPass_ = false;
    runPass(Trigger::Mount);
}

QString RNCleanupScheduler::notificationBody(const erase::RNCleanupPassResult& result, const RNCleanupRules& rules) {
    return ui::qstr(RNAutoCleanup::summaryText(result, rules));
}

void RNCleanupScheduler::notify(const QString& body) {
    if (!bus_.isConnected()) {
        emit notified(body);
        return;
    }
    const QString service = QString::fromLatin1(RNRunningNotice::kService);
    QDBusMessage call = QDBusMessage::createMethodCall(service, QString::fromLatin1(RNRunningNotice::kPath), service,
                                                       QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("org.quillo.quillo-3")},
                            {QStringLiteral("urgency"), QVariant::fromValue(uchar(0))}};
    call << QStringLiteral("Quillo") << uint(0) << QStringLiteral("org.quillo.quillo-3")
         << ui::L("cleanup_notification_title") << body << QStringList{} << hints << int(-1);
    // Asynchronous: a desktop without a notification service costs nothing but the answer.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, body](QDBusPendingCallWatcher*) {
        watcher->deleteLater();
        emit notified(body);
    });
}

void RNCleanupScheduler::stopPass() {
    if (pass_) pass_->stop();
}

void RNCleanupScheduler::setUserBusy(bool busy) {
    userBusy_ = busy;
    if (busy) stopPass();
    else runPendingPass();
}

void RNCleanupScheduler::userEraseWillStart(std::function<void()> start) {
    stopPass();
    const ui::RNMainThreadPath back(this);
    // `then` comes at once when no pass uses the engine, else from the pass's thread.
    RNAutoCleanup::stopAllThen([this, back, start = std::move(start)] {
        back.post([this, start] {
            // The pass has let go: the guard does not wait, and keeps the timer's pass away.
            if (!eraseGuard_) eraseGuard_ = std::make_unique<erase::RNUserEraseGuard>(lockFolder_);
            start();
        });
    });
}

void RNCleanupScheduler::userEraseEnded() {
    eraseGuard_.reset();
    runPendingPass();
}

}  // namespace quillo::shell
