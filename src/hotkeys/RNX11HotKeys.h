// Global hot keys on an X11 display: a passive grab of each combination on every root window,
// through the xcb connection Qt already has, so the key presses arrive in Qt's own event stream
// and are picked out by a native event filter before Qt sees them.
//
// One grab per NumLock/CapsLock state (the server matches modifiers exactly), for every key
// code that produces the key's symbol. A grab the server refuses (BadAccess: another client
// holds the combination) is undone and reported as Refused. Only key presses act; the server's
// key repeat does not act again while the key is held.
#pragma once

#include "hotkeys/RNHotKeyBackend.h"

#include <QAbstractNativeEventFilter>
#include <QEvent>
#include <QHash>
#include <QList>

#include <cstdint>
#include <vector>

struct xcb_connection_t;
struct _XCBKeySymbols;

namespace quillo::hotkeys {

class RNX11HotKeys : public RNHotKeyBackend, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // Nullptr when the application does not run on an X11 connection.
    static RNX11HotKeys* create(QObject* parent = nullptr);
    ~RNX11HotKeys() override;

    Status grab(const QString& identifier, int keyCode, unsigned modifierFlags) override;
    void ungrab(const QString& identifier) override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    explicit RNX11HotKeys(xcb_connection_t* connection, QObject* parent);

    struct Grab {
        int keyCode = 0;          // as registered (Qt)
        unsigned modifierFlags = 0;
        std::vector<std::uint8_t> keycodes;  // X key codes grabbed
        std::uint16_t modifiers = 0;         // X modifier mask grabbed (without lock states)
        bool active = false;
    };

    void readModifierMapping();
    std::uint16_t xModifiers(unsigned qtModifiers, bool* complete) const;
    std::vector<std::uint16_t> lockVariants() const;
    bool grabKeys(Grab& grab);
    void ungrabKeys(const Grab& grab);
    void keyboardMappingChanged();
    void forwardKey(QEvent::Type type, const Grab& grab);

    xcb_connection_t* connection_;
    _XCBKeySymbols* symbols_ = nullptr;
    std::vector<std::uint32_t> roots_;
    std::uint16_t numLockMask_ = 0;
    std::uint16_t altMask_ = 0;
    std::uint16_t superMask_ = 0;
    QHash<QString, Grab> grabs_;
    // Key codes held down, for telling the server's key repeat from a new press.
    QHash<std::uint8_t, std::uint32_t> lastRelease_;
    QList<std::uint8_t> down_;
    bool remapPending_ = false;
};

}  // namespace quillo::hotkeys
