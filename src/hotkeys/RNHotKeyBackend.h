// What the hot-key centre asks of one way of grabbing keys system-wide (X11 key grabs, the
// desktop portal). Main thread only.
#pragma once

#include "hotkeys/RNHotKeyCenter.h"

#include <QObject>
#include <QString>

namespace quillo::hotkeys {

class RNHotKeyBackend : public QObject {
    Q_OBJECT
public:
    using Status = RNHotKeyCenter::Status;

    // Starts acting on the combination under `identifier`, which is not grabbed at the time.
    // A backend that learns the outcome later answers Registered now and reports a change
    // through statusChanged.
    virtual Status grab(const QString& identifier, int keyCode, unsigned modifierFlags) = 0;
    // Stops acting on it; nothing is reported for it afterwards.
    virtual void ungrab(const QString& identifier) = 0;
    virtual QString triggerDescription(const QString& /*identifier*/) const { return {}; }
    // Suspended: presses are handed to the application as ordinary keys where the backend can
    // do that, and do not act.
    virtual void setSuspended(bool suspended) { suspended_ = suspended; }

protected:
    bool suspended_ = false;

signals:
    void activated(const QString& identifier);
    void statusChanged(const QString& identifier, quillo::hotkeys::RNHotKeyCenter::Status status);
};

}  // namespace quillo::hotkeys
