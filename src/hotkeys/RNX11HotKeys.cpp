#include "hotkeys/RNX11HotKeys.h"

#include "hotkeys/RNKeyNames.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <cstdlib>

namespace quillo::hotkeys {

namespace {

constexpr std::uint32_t kNumLock = 0xff7f;
constexpr std::uint32_t kSuperL = 0xffeb;
constexpr std::uint32_t kSuperR = 0xffec;
constexpr std::uint32_t kAltL = 0xffe9;
constexpr std::uint32_t kAltR = 0xffea;

// The modifier bits a key press can carry (Shift, Lock, Control, Mod1..Mod5).
constexpr std::uint16_t kModifierBits = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL |
                                        XCB_MOD_MASK_1 | XCB_MOD_MASK_2 | XCB_MOD_MASK_3 |
                                        XCB_MOD_MASK_4 | XCB_MOD_MASK_5;

}  // namespace

RNX11HotKeys* RNX11HotKeys::create(QObject* parent) {
    auto* app = qGuiApp;
    if (!app) return nullptr;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return nullptr;
    return new RNX11HotKeys(x11->connection(), parent);
}

RNX11HotKeys::RNX11HotKeys(xcb_connection_t* connection, QObject* parent) : connection_(connection) {
    setParent(parent);
    symbols_ = xcb_key_symbols_alloc(connection_);
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_)); it.rem; xcb_screen_next(&it))
        roots_.push_back(it.data->root);
    readModifierMapping();
    QCoreApplication::instance()->installNativeEventFilter(this);
}

RNX11HotKeys::~RNX11HotKeys() {
    if (auto* app = QCoreApplication::instance()) app->removeNativeEventFilter(this);
    for (const Grab& grab : std::as_const(grabs_)) ungrabKeys(grab);
    xcb_flush(connection_);
    if (symbols_) xcb_key_symbols_free(symbols_);
}

// Which ModN bits NumLock, Alt and Super sit on: a property of the server's keymap, usually
// Mod2, Mod1 and Mod4.
void RNX11HotKeys::readModifierMapping() {
    numLockMask_ = 0;
    altMask_ = 0;
    superMask_ = 0;
    xcb_get_modifier_mapping_reply_t* reply =
        xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
    if (reply) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply);
        const int perModifier = reply->keycodes_per_modifier;
        for (int mod = 0; mod < 8; ++mod) {
            for (int i = 0; i < perModifier; ++i) {
                xcb_keycode_t code = codes[mod * perModifier + i];
                if (code == 0) continue;
                for (int column = 0; column < 4; ++column) {
                    xcb_keysym_t sym = xcb_key_symbols_get_keysym(symbols_, code, column);
                    const auto bit = std::uint16_t(1u << mod);
                    if (sym == kNumLock) numLockMask_ |= bit;
                    if (sym == kSuperL || sym == kSuperR) superMask_ |= bit;
                    if (sym == kAltL || sym == kAltR) altMask_ |= bit;
                }
            }
        }
        std::free(reply);
    }
    // Only the eight real modifiers count; Shift, Lock and Control are never Alt or Super.
    const std::uint16_t fixed = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL;
    numLockMask_ &= ~fixed;
    altMask_ &= ~fixed;
    superMask_ &= ~fixed;
    if (!altMask_) altMask_ = XCB_MOD_MASK_1;
    if (!superMask_) superMask_ = XCB_MOD_MASK_4;
    if (!numLockMask_) numLockMask_ = XCB_MOD_MASK_2;
    // A keymap that puts Alt and Super together leaves them as they are: both then mean the same.
}

std::uint16_t RNX11HotKeys::xModifiers(unsigned qtModifiers, bool* complete) const {
    std::uint16_t mods = 0;
    if (qtModifiers & Qt::ShiftModifier) mods |= XCB_MOD_MASK_SHIFT;
    if (qtModifiers & Qt::ControlModifier) mods |= XCB_MOD_MASK_CONTROL;
    if (qtModifiers & Qt::AltModifier) mods |= altMask_;
    if (qtModifiers & Qt::MetaModifier) mods |= superMask_;
    // A mode-switch (AltGr) hot key has no stable meaning across layouts.
    if (complete) *complete = !(qtModifiers & Qt::GroupSwitchModifier);
    return mods;
}

std::vector<std::uint16_t> RNX11HotKeys::lockVariants() const {
    return {0, XCB_MOD_MASK_LOCK, numLockMask_, std::uint16_t(XCB_MOD_MASK_LOCK | numLockMask_)};
}

bool RNX11HotKeys::grabKeys(Grab& grab) {
    grab.active = false;
    grab.keycodes.clear();
    bool complete = true;
    auto name = keyNameForQtKey(grab.keyCode);
    grab.modifiers = xModifiers(grab.modifierFlags, &complete);
    if (!name || !complete) return false;

    if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols_, name->keysym)) {
        for (xcb_keycode_t* c = codes; *c != XCB_NO_SYMBOL; ++c)
            if (std::find(grab.keycodes.begin(), grab.keycodes.end(), *c) == grab.keycodes.end())
                grab.keycodes.push_back(*c);
        std::free(codes);
    }
    if (grab.keycodes.empty()) return false;  // no key on this keyboard makes that symbol

    struct Sent {
        xcb_void_cookie_t cookie;
        std::uint32_t root;
        std::uint8_t keycode;
        std::uint16_t modifiers;
    };
    std::vector<Sent> sent;
    for (std::uint32_t root : roots_)
        for (std::uint8_t code : grab.keycodes)
            for (std::uint16_t lock : lockVariants()) {
                const std::uint16_t mods = grab.modifiers | lock;
                sent.push_back({xcb_grab_key_checked(connection_, 0, root, mods, code, XCB_GRAB_MODE_ASYNC,
                                                     XCB_GRAB_MODE_ASYNC),
                                root, code, mods});
            }
    bool refused = false;
    std::vector<const Sent*> granted;
    for (const Sent& s : sent) {
        if (xcb_generic_error_t* error = xcb_request_check(connection_, s.cookie)) {
            // BadAccess is another client's grab; anything else (BadValue for a strange mask)
            // leaves the combination just as unusable.
            refused = true;
            std::free(error);
        } else {
            granted.push_back(&s);
        }
    }
    if (refused) {
        // Half a hot key (working only with NumLock on, say) would be worse than none.
        for (const Sent* s : granted) xcb_ungrab_key(connection_, s->keycode, s->root, s->modifiers);
        xcb_flush(connection_);
        return false;
    }
    xcb_flush(connection_);
    grab.active = true;
    return true;
}

void RNX11HotKeys::ungrabKeys(const Grab& grab) {
    if (!grab.active) return;
    for (std::uint32_t root : roots_)
        for (std::uint8_t code : grab.keycodes)
            for (std::uint16_t lock : lockVariants())
                xcb_ungrab_key(connection_, code, root, grab.modifiers | lock);
}

RNX11HotKeys::Status RNX11HotKeys::grab(const QString& identifier, int keyCode, unsigned modifierFlags) {
    Grab grab;
    grab.keyCode = keyCode;
    grab.modifierFlags = modifierFlags;
    grabKeys(grab);
    grabs_.insert(identifier, grab);
    return grab.active ? Status::Registered : Status::Refused;
}

void RNX11HotKeys::ungrab(const QString& identifier) {
    auto it = grabs_.find(identifier);
    if (it == grabs_.end()) return;
    ungrabKeys(*it);
    grabs_.erase(it);
    // The ungrab must reach the server now: the old combination stops at once.
    xcb_flush(connection_);
}

// The keyboard changed (another layout, a keymap tool): key codes and modifier bits may mean
// something else now, so every hot key is grabbed again.
void RNX11HotKeys::keyboardMappingChanged() {
    remapPending_ = false;
    for (const Grab& grab : std::as_const(grabs_)) ungrabKeys(grab);
    readModifierMapping();
    QList<QPair<QString, Status>> changes;
    for (auto it = grabs_.begin(); it != grabs_.end(); ++it) {
        const bool was = it->active;
        grabKeys(*it);
        if (was != it->active) changes.append({it.key(), it->active ? Status::Registered : Status::Refused});
    }
    xcb_flush(connection_);
    down_.clear();
    for (const auto& [identifier, status] : changes) emit statusChanged(identifier, status);
}

bool RNX11HotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !message) return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & ~0x80;

    if (type == XCB_MAPPING_NOTIFY) {
        auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
        xcb_refresh_keyboard_mapping(symbols_, mapping);
        // Several arrive together; grab once, after Qt has taken in the new map as well.
        if (!remapPending_ && !grabs_.isEmpty()) {
            remapPending_ = true;
            QTimer::singleShot(0, this, [this] { keyboardMappingChanged(); });
        }
        return false;
    }
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;

    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    // Our grabs are on the root windows; keys typed into our own windows are Qt's.
    if (std::find(roots_.begin(), roots_.end(), key->event) == roots_.end()) return false;
    const std::uint16_t state = key->state & kModifierBits & ~std::uint16_t(XCB_MOD_MASK_LOCK | numLockMask_);

    if (type == XCB_KEY_RELEASE) {
        const bool ours = down_.removeAll(key->detail) > 0;
        lastRelease_.insert(key->detail, key->time);
        if (ours && suspended_) {
            for (const Grab& grab : std::as_const(grabs_))
                if (grab.active && std::find(grab.keycodes.begin(), grab.keycodes.end(), key->detail) != grab.keycodes.end()) {
                    forwardKey(QEvent::KeyRelease, grab);
                    break;
                }
        }
        return ours;
    }
    for (auto it = grabs_.cbegin(); it != grabs_.cend(); ++it) {
        const Grab& grab = *it;
        if (!grab.active || grab.modifiers != state) continue;
        if (std::find(grab.keycodes.begin(), grab.keycodes.end(), key->detail) == grab.keycodes.end()) continue;
        // The server's key repeat: either presses without releases, or release/press pairs
        // with one time stamp.
        const bool repeat = down_.contains(key->detail) ||
                            (lastRelease_.contains(key->detail) && lastRelease_.value(key->detail) == key->time);
        if (!down_.contains(key->detail)) down_.append(key->detail);
        if (suspended_) {
            forwardKey(QEvent::KeyPress, grab);
        } else if (!repeat) {
            const QString identifier = it.key();
            // Deferred to the next turn of the event loop (this is the main thread already): the
            // action may open windows and run event loops, which must not happen inside Qt's
            // event dispatch of this very key. Dropped with this object.
            QTimer::singleShot(0, this, [this, identifier] {
                if (grabs_.contains(identifier)) emit activated(identifier);
            });
        }
        return true;
    }
    return false;
}

// The grab takes the key from every window, ours included: while suspended it is given to our
// focused widget as the key it is.
void RNX11HotKeys::forwardKey(QEvent::Type type, const Grab& grab) {
    QObject* target = QGuiApplication::focusObject();
    if (!target) return;
    QKeyEvent event(type, grab.keyCode, Qt::KeyboardModifiers(int(grab.modifierFlags)));
    QCoreApplication::sendEvent(target, &event);
}

}  // namespace quillo::hotkeys
