#include "hotkeys/RNHotKeyCenter.h"

#include "hotkeys/RNHotKeyBackend.h"
#include "hotkeys/RNKeyNames.h"
#include "hotkeys/RNPortalHotKeys.h"
#include "hotkeys/RNX11HotKeys.h"

#include <QGuiApplication>

namespace quillo::hotkeys {

RNHotKeyCenter& RNHotKeyCenter::sharedCenter() {
    // Never deleted: the application's destructor closes the X connection before it deletes its
    // children, and the grabs end with the connection anyway.
    static RNHotKeyCenter* center = new RNHotKeyCenter();
    return *center;
}

RNHotKeyCenter::RNHotKeyCenter() {
    // An X11 client in a Wayland session (XWayland) could grab keys only for other X11
    // clients; the portal, where the desktop has one, reaches every application.
    const bool x11Session = QGuiApplication::platformName() == QLatin1String("xcb") &&
                            qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    if (x11Session) {
        if (auto* x11 = RNX11HotKeys::create()) {
            backend_.reset(x11);
            backendKind_ = Backend::X11;
        }
    }
    if (!backend_) {
        if (auto* portal = RNPortalHotKeys::create()) {
            backend_.reset(portal);
            backendKind_ = Backend::Portal;
        }
    }
    if (!backend_ && QGuiApplication::platformName() == QLatin1String("xcb")) {
        // XWayland without a portal: grabs work at least while an X11 window has the keyboard.
        if (auto* x11 = RNX11HotKeys::create()) {
            backend_.reset(x11);
            backendKind_ = Backend::X11;
        }
    }
    if (backend_) {
        connect(backend_.get(), &RNHotKeyBackend::activated, this, &RNHotKeyCenter::backendActivated);
        connect(backend_.get(), &RNHotKeyBackend::statusChanged, this, &RNHotKeyCenter::backendStatusChanged);
    }
}

RNHotKeyCenter::~RNHotKeyCenter() = default;

RNHotKeyCenter::Status RNHotKeyCenter::registerHotKey(const QString& identifier, int keyCode,
                                                      unsigned modifierFlags) {
    // Keypad or mode-switch bits of a recorded sequence are not part of the combination.
    keyCode &= ~int(Qt::KeyboardModifierMask);
    modifierFlags &= unsigned(Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);

    const auto old = entries_.constFind(identifier);
    const bool existed = old != entries_.cend();
    const Status before = existed ? old->status : Status::Unavailable;
    if (existed && backend_) backend_->ungrab(identifier);

    Entry entry;
    entry.keyCode = keyCode;
    entry.modifierFlags = modifierFlags;
    entry.status = backend_ ? backend_->grab(identifier, keyCode, modifierFlags) : Status::Unavailable;
    entries_.insert(identifier, entry);
    if (!existed || before != entry.status) emit statusChanged(identifier);
    return entry.status;
}

void RNHotKeyCenter::unregisterHotKey(const QString& identifier) {
    if (!entries_.remove(identifier)) return;
    if (backend_) backend_->ungrab(identifier);
    emit statusChanged(identifier);
}

RNHotKeyCenter::Status RNHotKeyCenter::status(const QString& identifier) const {
    auto it = entries_.constFind(identifier);
    if (it != entries_.cend()) return it->status;
    return backend_ ? Status::Refused : Status::Unavailable;
}

bool RNHotKeyCenter::hasHotKey(const QString& identifier) const { return entries_.contains(identifier); }

QString RNHotKeyCenter::triggerDescription(const QString& identifier) const {
    return backend_ && entries_.contains(identifier) ? backend_->triggerDescription(identifier) : QString();
}

void RNHotKeyCenter::backendStatusChanged(const QString& identifier, Status status) {
    auto it = entries_.find(identifier);
    if (it == entries_.end()) return;
    it->status = status;
    emit statusChanged(identifier);
}

void RNHotKeyCenter::backendActivated(const QString& identifier) {
    if (!suspended_ && entries_.contains(identifier)) emit hotKeyPressed(identifier);
}

void RNHotKeyCenter::setSuspended(bool suspended) {
    suspended_ = suspended;
    if (backend_) backend_->setSuspended(suspended);
}

QString RNHotKeyCenter::portalTrigger(int keyCode, unsigned modifierFlags) {
    auto name = keyNameForQtKey(keyCode & ~int(Qt::KeyboardModifierMask));
    if (!name) return {};
    QString text;
    if (modifierFlags & Qt::ShiftModifier) text += QLatin1String("SHIFT+");
    if (modifierFlags & Qt::ControlModifier) text += QLatin1String("CTRL+");
    if (modifierFlags & Qt::AltModifier) text += QLatin1String("ALT+");
    if (modifierFlags & Qt::MetaModifier) text += QLatin1String("LOGO+");
    return text + QLatin1String(name->name);
}

}  // namespace quillo::hotkeys
