// A stand-in org.freedesktop.Notifications for the shell's tests: records every Notify call it
// gets on the bus it is registered on.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace quillo::test {

struct Notification {
    QString app, icon, summary, body;
    QVariantMap hints;
    int timeout = 0;
};

class Notifications : public QObject {
    Q_OBJECT
public:
    QList<Notification> received;
};

class NotificationsAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit NotificationsAdaptor(Notifications* n) : QDBusAbstractAdaptor(n), n_(n) {}
public slots:
    uint Notify(const QString& app, uint, const QString& icon, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int timeout) {
        n_->received << Notification{app, icon, summary, body, hints, timeout};
        return uint(n_->received.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    void CloseNotification(uint) {}
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        vendor = version = specVersion = QStringLiteral("test");
        return QStringLiteral("stand-in");
    }

private:
    Notifications* n_;
};

// Registers the stand-in on `bus` (a connection of its own, not the application's).
inline bool startNotificationService(QDBusConnection bus, Notifications& n) {
    new NotificationsAdaptor(&n);
    return bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &n) &&
           bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

}  // namespace quillo::test
