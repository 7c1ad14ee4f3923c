// What a later start tells the user: Quillo is running, and where to find it. On a desktop with
// a system tray that is a desktop notification (org.freedesktop.Notifications) pointing at the
// tray icon and naming the hot keys; a window there would open at every start for nothing. With
// no tray, or when no notification service answers, it is the "Quillo is running" window: the
// one way a user who started Quillo from the desktop's menu learns how to reach it.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>

namespace quillo::ui {
class RNWebPromo;
}

namespace quillo::shell {

class RNRunningNotice : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";

    // Notifications go to `bus` (the session bus in the application).
    explicit RNRunningNotice(QDBusConnection bus, QObject* parent = nullptr);
    ~RNRunningNotice() override;

    // Tells it: a notification when `trayAvailable`, else (or when the notification cannot be
    // shown) the window. The hot keys are named as the desktop names them; empty when this
    // desktop has none. The bus call does not block: shown() follows.
    void show(bool trayAvailable, const QString& emptyAllKey, const QString& lumoKey);

    // The window, while it is open.
    ui::RNWebPromo* window() const;

    // The texts, as shown: where the icon is in the tray (the notification, or the window when
    // no notification service answers), and where there is no tray.
    static QString notificationText(const QString& emptyAllKey, const QString& lumoKey);
    static QString windowText(const QString& emptyAllKey, const QString& lumoKey);

signals:
    // `asNotification`: the desktop took the notification; otherwise the window is up.
    void shown(bool asNotification);

private:
    void showWindow(const QString& text);

    QDBusConnection bus_;
    QPointer<ui::RNWebPromo> window_;
};

}  // namespace quillo::shell
