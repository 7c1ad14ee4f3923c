// Global hot keys: key combinations that reach Quillo whichever application has the keyboard.
//
// Two ways exist on a Linux desktop, and the centre picks one when it is first used:
//  - an X11 session (Qt on xcb, no Wayland display): passive key grabs on the root window, one
//    per NumLock/CapsLock state, so a lit NumLock does not turn the hot key off;
//  - elsewhere (Wayland), the org.freedesktop.portal.GlobalShortcuts desktop portal, where the
//    desktop offers it: the shortcuts are bound with their preferred triggers and the compositor
//    reports their activation.
// Where neither exists every registration answers Status::Unavailable, so that the preferences
// window can say that global hot keys are not available on this desktop.
//
// Hot keys are identified by a string (the preference key path, "values.empty_trash"); a key is
// a Qt::Key value and the modifiers are Qt::KeyboardModifiers bits, the form in which the
// {"keyCode", "modifierFlags"} preference stores them.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>

#include <memory>

namespace quillo::hotkeys {

class RNHotKeyBackend;

class RNHotKeyCenter : public QObject {  // process-wide; main thread only
    Q_OBJECT
public:
    enum class Status {
        Registered,
        Refused,      // another program holds the combination (or the desktop declined it)
        Unavailable,  // no global hot keys on this desktop
    };
    enum class Backend { None, X11, Portal };

    // Made on first use, which chooses the way (on Wayland this asks the desktop portal, a
    // short wait on the session bus); needs the QGuiApplication to exist.
    static RNHotKeyCenter& sharedCenter();

    // Unregisters whatever is registered under `identifier` first, so the old combination stops
    // working at once. keyCode = Qt::Key, modifierFlags = Qt::KeyboardModifiers bits.
    Status registerHotKey(const QString& identifier, int keyCode, unsigned modifierFlags);
    void unregisterHotKey(const QString& identifier);

    // The outcome of the last registration under `identifier`. An identifier with nothing
    // registered reads Unavailable when the desktop has no global hot keys, Refused otherwise
    // (it does not act); hasHotKey() tells the two cases apart.
    Status status(const QString& identifier) const;
    bool hasHotKey(const QString& identifier) const;

    Backend backend() const { return backendKind_; }
    bool isAvailable() const { return backend() != Backend::None; }
    // The trigger as the desktop describes it, when the portal bound the shortcut (it may differ
    // from the preferred one: the user or the compositor decides). Empty otherwise.
    QString triggerDescription(const QString& identifier) const;

    // While suspended (a recorder of the preferences window has the keyboard) no hot key acts:
    // on X11 a press of a grabbed combination goes to the application's focused widget as an
    // ordinary key event, so that it can be recorded; the portal's activations are ignored.
    void setSuspended(bool suspended);
    bool isSuspended() const { return suspended_; }

    // The text of a shortcut in the desktop-shortcut notation the portal takes as a preferred
    // trigger ("CTRL+LOGO+BackSpace"); empty for a key that has no name there.
    static QString portalTrigger(int keyCode, unsigned modifierFlags);

signals:
    void hotKeyPressed(const QString& identifier);  // "values.empty_trash" / "values.lumo_delete"
    void statusChanged(const QString& identifier);

private:
    RNHotKeyCenter();
    ~RNHotKeyCenter() override;
    void backendStatusChanged(const QString& identifier, Status status);
    void backendActivated(const QString& identifier);

    struct Entry {
        int keyCode = 0;
        unsigned modifierFlags = 0;
        Status status = Status::Unavailable;
    };
    Backend backendKind_ = Backend::None;
    bool suspended_ = false;
    std::unique_ptr<RNHotKeyBackend> backend_;
    QHash<QString, Entry> entries_;
};

}  // namespace quillo::hotkeys
