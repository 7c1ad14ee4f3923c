// Global hot keys through the desktop portal org.freedesktop.portal.GlobalShortcuts (Wayland
// desktops, where no client may grab keys): one portal session for the application, the hot keys
// bound in it with their preferred triggers, and the portal's Activated signal acting on them.
//
// The portal answers asynchronously through Request objects, and the user or the compositor
// may choose another trigger or decline: a hot key reads Registered while the answer is awaited
// and becomes Refused when the portal leaves it out; statusChanged reports every such change
// (and changes of the trigger the desktop actually uses).
#pragma once

#include "hotkeys/RNHotKeyBackend.h"

#include <QDBusConnection>
#include <QMap>
#include <QString>
#include <QVariantMap>

class QDBusMessage;

namespace quillo::hotkeys {

class RNPortalHotKeys : public RNHotKeyBackend {
    Q_OBJECT
public:
    static constexpr const char* kService = "org.freedesktop.portal.Desktop";
    static constexpr const char* kPath = "/org/freedesktop/portal/desktop";
    static constexpr const char* kInterface = "org.freedesktop.portal.GlobalShortcuts";

    // Nullptr when the session bus has no portal that offers global shortcuts (this asks the
    // portal, starting it if the bus can).
    static RNPortalHotKeys* create(QObject* parent = nullptr);
    ~RNPortalHotKeys() override;

    Status grab(const QString& identifier, int keyCode, unsigned modifierFlags) override;
    void ungrab(const QString& identifier) override;
    QString triggerDescription(const QString& identifier) const override;

private Q_SLOTS:
    void requestResponse(const QDBusMessage& message);
    void portalActivated(const QDBusMessage& message);
    void portalShortcutsChanged(const QDBusMessage& message);

private:
    enum class SessionState { None, Creating, Ready, Failed };
    enum class RequestKind { CreateSession, Bind };
    struct Shortcut {
        int keyCode = 0;
        unsigned modifierFlags = 0;
        Status status = Status::Registered;
        QString triggerDescription;
    };

    explicit RNPortalHotKeys(const QDBusConnection& bus, QObject* parent);
    QString newToken();
    QString requestPath(const QString& token) const;
    void watchRequest(const QString& path, RequestKind kind);
    void scheduleBind();
    void createSession();
    void bind();
    void sessionCreated(uint response, const QVariantMap& results);
    void bindAnswered(uint response, const QVariantMap& results);
    void applyBoundShortcuts(const QMap<QString, QString>& bound);
    void setStatus(const QString& identifier, Status status, const QString& trigger);
    void failAll();
    void portalRestarted(const QString& newOwner);

    QDBusConnection bus_;
    SessionState session_ = SessionState::None;
    QString sessionHandle_;
    QMap<QString, Shortcut> shortcuts_;
    QMap<QString, RequestKind> requests_;  // request object path -> what it answers
    bool bindScheduled_ = false;
    bool bindInFlight_ = false;
    bool bindAgain_ = false;
    quint64 tokens_ = 0;
};

}  // namespace quillo::hotkeys
