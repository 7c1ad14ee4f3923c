#include "hotkeys/RNPortalHotKeys.h"

#include "util/Localization.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QTimer>

namespace {

// One entry of the portal's a(sa{sv}) shortcut lists.
struct PortalShortcut {
    QString id;
    QVariantMap options;
};
using PortalShortcutList = QList<PortalShortcut>;

}  // namespace

Q_DECLARE_METATYPE(PortalShortcut)
Q_DECLARE_METATYPE(PortalShortcutList)

namespace {

QDBusArgument& operator<<(QDBusArgument& arg, const PortalShortcut& s) {
    arg.beginStructure();
    arg << s.id << s.options;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, PortalShortcut& s) {
    arg.beginStructure();
    arg >> s.id >> s.options;
    arg.endStructure();
    return arg;
}

void registerTypes() {
    static const bool done = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<PortalShortcutList>();
        return true;
    }();
    (void)done;
}

// The id -> trigger description pairs of an a(sa{sv}) value inside a results dictionary.
QMap<QString, QString> boundShortcuts(const QVariant& value) {
    QMap<QString, QString> bound;
    if (!value.canConvert<QDBusArgument>()) return bound;
    const QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentSignature() != QLatin1String("a(sa{sv})")) return bound;
    PortalShortcutList list;
    arg >> list;
    for (const PortalShortcut& s : list) bound.insert(s.id, s.options.value(QStringLiteral("trigger_description")).toString());
    return bound;
}

// The session handle is a string in the portal's description and an object path in some
// implementations.
QString handleText(const QVariant& value) {
    if (value.canConvert<QDBusObjectPath>() && value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

QString description(const QString& identifier) {
    QString name = identifier;
    if (name.startsWith(QLatin1String("values."))) name = name.mid(7);
    return QString::fromStdString(quillo::util::RNLocalizedString((name + QStringLiteral("_hot_key")).toStdString()));
}

}  // namespace

namespace quillo::hotkeys {

RNPortalHotKeys* RNPortalHotKeys::create(QObject* parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return nullptr;
    QDBusMessage get = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << QLatin1String(kInterface) << QStringLiteral("version");
    // A portal that has to be started first answers within a second or two; a missing one at once.
    const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) return nullptr;
    return new RNPortalHotKeys(bus, parent);
}

RNPortalHotKeys::RNPortalHotKeys(const QDBusConnection& bus, QObject* parent) : bus_(bus) {
    setParent(parent);
    registerTypes();
    bus_.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface), QStringLiteral("Activated"),
                 this, SLOT(portalActivated(QDBusMessage)));
    bus_.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                 QStringLiteral("ShortcutsChanged"), this, SLOT(portalShortcutsChanged(QDBusMessage)));
    // A portal that restarts (a crash, a desktop update) has forgotten our session: make a new
    // one and bind the hot keys again.
    auto* watcher = new QDBusServiceWatcher(QLatin1String(kService), bus_,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { portalRestarted(newOwner); });
}

void RNPortalHotKeys::portalRestarted(const QString& newOwner) {
    for (auto it = requests_.cbegin(); it != requests_.cend(); ++it)
        bus_.disconnect(QLatin1String(kService), it.key(), QStringLiteral("org.freedesktop.portal.Request"),
                        QStringLiteral("Response"), this, SLOT(requestResponse(QDBusMessage)));
    requests_.clear();
    sessionHandle_.clear();
    session_ = SessionState::None;
    bindInFlight_ = false;
    bindAgain_ = false;
    if (newOwner.isEmpty() || shortcuts_.isEmpty()) return;
    for (auto it = shortcuts_.begin(); it != shortcuts_.end(); ++it) it->triggerDescription.clear();
    scheduleBind();
}

RNPortalHotKeys::~RNPortalHotKeys() {
    if (session_ == SessionState::Ready) {
        // Closing the session releases the shortcuts at once.
        bus_.call(QDBusMessage::createMethodCall(QLatin1String(kService), sessionHandle_,
                                                 QStringLiteral("org.freedesktop.portal.Session"),
                                                 QStringLiteral("Close")),
                  QDBus::NoBlock);
    }
}

QString RNPortalHotKeys::newToken() { return QStringLiteral("quillo%1").arg(++tokens_); }

// Where the portal puts the Request object of a call: known before the call, so the answer
// cannot arrive before we listen for it.
QString RNPortalHotKeys::requestPath(const QString& token) const {
    QString sender = bus_.baseService();
    if (sender.startsWith(QLatin1Char(':'))) sender.remove(0, 1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

void RNPortalHotKeys::watchRequest(const QString& path, RequestKind kind) {
    if (requests_.contains(path)) return;
    requests_.insert(path, kind);
    bus_.connect(QLatin1String(kService), path, QStringLiteral("org.freedesktop.portal.Request"),
                 QStringLiteral("Response"), this, SLOT(requestResponse(QDBusMessage)));
}

RNPortalHotKeys::Status RNPortalHotKeys::grab(const QString& identifier, int keyCode, unsigned modifierFlags) {
    Shortcut shortcut;
    shortcut.keyCode = keyCode;
    shortcut.modifierFlags = modifierFlags;
    shortcut.status = session_ == SessionState::Failed ? Status::Refused : Status::Registered;
    shortcuts_.insert(identifier, shortcut);
    if (session_ != SessionState::Failed) scheduleBind();
    return shortcut.status;
}

void RNPortalHotKeys::ungrab(const QString& identifier) {
    if (shortcuts_.remove(identifier) && session_ != SessionState::Failed) scheduleBind();
}

QString RNPortalHotKeys::triggerDescription(const QString& identifier) const {
    return shortcuts_.value(identifier).triggerDescription;
}

// Changes made together (both hot keys at start-up, unregister then register) go to the portal
// as one binding.
void RNPortalHotKeys::scheduleBind() {
    if (bindScheduled_) return;
    bindScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        bindScheduled_ = false;
        if (session_ == SessionState::None)
            createSession();
        else if (session_ == SessionState::Ready)
            bind();
    });
}

void RNPortalHotKeys::createSession() {
    session_ = SessionState::Creating;
    const QString token = newToken();
    watchRequest(requestPath(token), RequestKind::CreateSession);
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kInterface), QStringLiteral("CreateSession"));
    call << QVariantMap{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("session_handle_token"), newToken()}};
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            qWarning("Quillo: the desktop portal refused a shortcut session: %s",
                     qPrintable(reply.error().message()));
            session_ = SessionState::Failed;
            failAll();
            return;
        }
        // Portals older than the handle_token convention answer on another path.
        watchRequest(reply.value().path(), RequestKind::CreateSession);
    });
}

void RNPortalHotKeys::bind() {
    if (bindInFlight_) {
        bindAgain_ = true;
        return;
    }
    bindInFlight_ = true;
    bindAgain_ = false;
    PortalShortcutList list;
    for (auto it = shortcuts_.cbegin(); it != shortcuts_.cend(); ++it) {
        QVariantMap options{{QStringLiteral("description"), description(it.key())}};
        const QString trigger = RNHotKeyCenter::portalTrigger(it->keyCode, it->modifierFlags);
        if (!trigger.isEmpty()) options.insert(QStringLiteral("preferred_trigger"), trigger);
        list.append(PortalShortcut{it.key(), options});
    }
    const QString token = newToken();
    watchRequest(requestPath(token), RequestKind::Bind);
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kInterface), QStringLiteral("BindShortcuts"));
    call << QVariant::fromValue(QDBusObjectPath(sessionHandle_)) << QVariant::fromValue(list) << QString()
         << QVariantMap{{QStringLiteral("handle_token"), token}};
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError()) {
            qWarning("Quillo: the desktop portal refused the hot keys: %s", qPrintable(reply.error().message()));
            bindAnswered(2, {});
            return;
        }
        watchRequest(reply.value().path(), RequestKind::Bind);
    });
}

void RNPortalHotKeys::requestResponse(const QDBusMessage& message) {
    auto it = requests_.find(message.path());
    if (it == requests_.end()) return;
    const RequestKind kind = *it;
    // Every request answers once; the other path watched for it (if any) is dropped with it.
    for (auto r = requests_.begin(); r != requests_.end();) {
        if (r.value() == kind) {
            bus_.disconnect(QLatin1String(kService), r.key(), QStringLiteral("org.freedesktop.portal.Request"),
                            QStringLiteral("Response"), this, SLOT(requestResponse(QDBusMessage)));
            r = requests_.erase(r);
        } else {
            ++r;
        }
    }
    const QList<QVariant> args = message.arguments();
    const uint response = args.value(0).toUInt();
    QVariantMap results;
    if (args.size() > 1) {
        const QVariant v = args.at(1);
        if (v.canConvert<QDBusArgument>())
            v.value<QDBusArgument>() >> results;
        else
            results = v.toMap();
    }
    if (kind == RequestKind::CreateSession)
        sessionCreated(response, results);
    else
        bindAnswered(response, results);
}

void RNPortalHotKeys::sessionCreated(uint response, const QVariantMap& results) {
    const QString handle = handleText(results.value(QStringLiteral("session_handle")));
    if (response != 0 || handle.isEmpty()) {
        session_ = SessionState::Failed;
        failAll();
        return;
    }
    sessionHandle_ = handle;
    session_ = SessionState::Ready;
    bind();
}

void RNPortalHotKeys::bindAnswered(uint response, const QVariantMap& results) {
    bindInFlight_ = false;
    if (bindAgain_) {
        // The hot keys changed while the portal was answering: this answer is out of date.
        bind();
        return;
    }
    if (response != 0) {
        for (auto it = shortcuts_.begin(); it != shortcuts_.end(); ++it) setStatus(it.key(), Status::Refused, {});
        return;
    }
    applyBoundShortcuts(boundShortcuts(results.value(QStringLiteral("shortcuts"))));
}

void RNPortalHotKeys::applyBoundShortcuts(const QMap<QString, QString>& bound) {
    const QStringList ids = shortcuts_.keys();
    for (const QString& id : ids) {
        if (bound.contains(id))
            setStatus(id, Status::Registered, bound.value(id));
        else
            setStatus(id, Status::Refused, {});
    }
}

void RNPortalHotKeys::setStatus(const QString& identifier, Status status, const QString& trigger) {
    auto it = shortcuts_.find(identifier);
    if (it == shortcuts_.end()) return;
    if (it->status == status && it->triggerDescription == trigger) return;
    it->status = status;
    it->triggerDescription = trigger;
    emit statusChanged(identifier, status);
}

void RNPortalHotKeys::failAll() {
    const QStringList ids = shortcuts_.keys();
    for (const QString& id : ids) setStatus(id, Status::Refused, {});
}

void RNPortalHotKeys::portalActivated(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2 || session_ != SessionState::Ready) return;
    if (handleText(args.at(0)) != sessionHandle_) return;
    const QString identifier = args.at(1).toString();
    auto it = shortcuts_.constFind(identifier);
    if (it == shortcuts_.cend() || it->status != Status::Registered) return;
    emit activated(identifier);
}

void RNPortalHotKeys::portalShortcutsChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2 || session_ != SessionState::Ready) return;
    if (handleText(args.at(0)) != sessionHandle_) return;
    applyBoundShortcuts(boundShortcuts(args.at(1)));
}

}  // namespace quillo::hotkeys
