#include "shell/RNSingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace quillo::shell {

RNSingleInstance::RNSingleInstance(QObject* parent) : QObject(parent) {}

RNSingleInstance::Outcome RNSingleInstance::claim(const QString& request) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        error_ = bus.lastError().message();
        return Outcome::NoBus;
    }
    // The object is served before the name is taken, so a caller never finds the name without it.
    bus.registerObject(QString::fromLatin1(kObjectPath), this, QDBusConnection::ExportScriptableSlots);
    const auto reply = bus.interface()->registerService(QString::fromLatin1(kServiceName),
                                                        QDBusConnectionInterface::DontQueueService,
                                                        QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) return Outcome::Primary;
    bus.unregisterObject(QString::fromLatin1(kObjectPath));

    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kServiceName), QString::fromLatin1(kObjectPath),
                                                       QString::fromLatin1(kInterfaceName), request);
    const QDBusMessage answer = bus.call(call, QDBus::Block, 10000);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        error_ = answer.errorMessage();
        return Outcome::NoBus;
    }
    return Outcome::HandedOver;
}

void RNSingleInstance::Activate() { emit activateRequested(); }
void RNSingleInstance::OpenLumoWindow() { emit lumoRequested(); }
void RNSingleInstance::EmptyAllTrashes() { emit emptyAllRequested(); }

}  // namespace quillo::shell
