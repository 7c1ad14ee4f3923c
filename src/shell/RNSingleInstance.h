// One Quillo per session: the first instance owns the session-bus name org.quillo.quillo-3 and
// serves /org/quillo/Quillo3 (interface org.quillo.Quillo3: Activate, OpenLumoWindow,
// EmptyAllTrashes). A later start hands its request to the owner and ends.
#pragma once

#include <QObject>
#include <QString>

namespace quillo::shell {

inline constexpr const char* kServiceName = "org.quillo.quillo-3";
inline constexpr const char* kObjectPath = "/org/quillo/Quillo3";
inline constexpr const char* kInterfaceName = "org.quillo.Quillo3";

class RNSingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.quillo.Quillo3")
public:
    enum class Outcome { Primary, HandedOver, NoBus };

    explicit RNSingleInstance(QObject* parent = nullptr);

    // Tries to become the instance of this session. When another owns the name, `request`
    // ("Activate", "OpenLumoWindow" or "EmptyAllTrashes") is sent to it.
    Outcome claim(const QString& request);
    QString error() const { return error_; }

public slots:
    Q_SCRIPTABLE void Activate();
    Q_SCRIPTABLE void OpenLumoWindow();
    Q_SCRIPTABLE void EmptyAllTrashes();

signals:
    void activateRequested();
    void lumoRequested();
    void emptyAllRequested();

private:
    QString error_;
};

}  // namespace quillo::shell
