#include "shell/RNRunningNotice.h"

#include "ui/RNInfoWindows.h"
#include "ui/RNQtStrings.h"
#include "util/Localization.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace quillo::shell {

namespace {

QString withKeys(const char* key, const char* noKeysKey, const QString& emptyAllKey, const QString& lumoKey) {
    if (emptyAllKey.isEmpty() || lumoKey.isEmpty()) return ui::L(noKeysKey);
    return ui::qstr(util::RNFormat(util::RNLocalizedString(key), {emptyAllKey.toStdString(), lumoKey.toStdString()}));
}

}  // namespace

RNRunningNotice::RNRunningNotice(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {}

RNRunningNotice::~RNRunningNotice() { delete window_.data(); }

ui::RNWebPromo* RNRunningNotice::window() const { return window_.data(); }

QString RNRunningNotice::notificationText(const QString& emptyAllKey, const QString& lumoKey) {
    return withKeys("running_notification_text", "running_notification_text_no_keys", emptyAllKey, lumoKey);
}

QString RNRunningNotice::windowText(const QString& emptyAllKey, const QString& lumoKey) {
    return withKeys("info_window_text", "info_window_text_no_keys", emptyAllKey, lumoKey);
}

void RNRunningNotice::show(bool trayAvailable, const QString& emptyAllKey, const QString& lumoKey) {
    if (!trayAvailable) {
        showWindow(windowText(emptyAllKey, lumoKey));
        return;
    }
    // The icon is in the tray: whatever carries the news says so, the window included (it must
    // not tell of a missing tray on a desktop that shows the icon).
    if (!bus_.isConnected()) {
        showWindow(notificationText(emptyAllKey, lumoKey));
        return;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                         QString::fromLatin1(kService), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("org.quillo.quillo-3")},
                            {QStringLiteral("urgency"), QVariant::fromValue(uchar(0))}};
    notify << QStringLiteral("Quillo") << uint(0) << QStringLiteral("org.quillo.quillo-3")
           << ui::L("running_notification_title") << notificationText(emptyAllKey, lumoKey) << QStringList{}
           << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(notify, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, emptyAllKey, lumoKey](QDBusPendingCallWatcher*) {
                watcher->deleteLater();
                const QDBusPendingReply<uint> reply = *watcher;
                if (reply.isError()) {
                    // No notification service on this desktop: the window says it instead.
                    showWindow(notificationText(emptyAllKey, lumoKey));
                    return;
                }
                emit shown(true);
            });
}

void RNRunningNotice::showWindow(const QString& text) {
    if (window_) window_->deleteLater();
    window_ = new ui::RNWebPromo(text);
    window_->setAttribute(Qt::WA_DeleteOnClose);
    window_->showWindow();
    emit shown(false);
}

}  // namespace quillo::shell
