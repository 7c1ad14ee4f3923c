// End to end through StatusNotifierItem + DBusMenu: a private session bus on which this test is
// the StatusNotifierWatcher (and so the tray host), quillo under Xvfb. The test reads the
// exported menu with GetLayout, finds one row per volume with its measured figures, clicks one
// row, confirms, and finds that volume's trash empty and the other one untouched. When the
// watcher goes away and comes back (the panel restarted), quillo registers its icon again.
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "GuiTest.h"
#include "PrivateSessionBus.h"
#include "files/RNFilesUtilities.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>

using namespace quillo;
using namespace quillo::test;

namespace {

// The watcher: records every item that registers.
class Watcher : public QObject {
    Q_OBJECT
public:
    QStringList items;
};

class WatcherAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registered)
public:
    explicit WatcherAdaptor(Watcher* w) : QDBusAbstractAdaptor(w), watcher_(w) {}
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList registered() const { return watcher_->items; }
public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        // Qt passes its own well-known name, or an object path on the caller's connection.
        watcher_->items << (service.startsWith('/') ? message.service() + service : service);
        emit StatusNotifierItemRegistered(service);
    }
    void RegisterStatusNotifierHost(const QString&) {}
signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    Watcher* watcher_;
};

struct MenuItem {
    int id = 0;
    QVariantMap properties;
    QList<MenuItem> children;
    QString label() const { return properties.value("label").toString(); }
};

const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItem& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant v;
        arg >> v;
        MenuItem child;
        v.variant().value<QDBusArgument>() >> child;
        item.children << child;
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

const MenuItem* findItem(const MenuItem& root, const std::function<bool(const MenuItem&)>& match) {
    if (match(root)) return &root;
    for (const MenuItem& c : root.children)
        if (const MenuItem* m = findItem(c, match)) return m;
    return nullptr;
}

void plantTrash(const std::string& trashDir, int count) {
    makeDirs(trashDir + "/files", 0700);
    makeDirs(trashDir + "/info", 0700);
    for (int i = 0; i < count; ++i) {
        writeFile(trashDir + "/files/item" + std::to_string(i), "data");
        TempHome::plantTrashInfo(trashDir, "item" + std::to_string(i));
    }
}

// A call that keeps this process's event loop running (quillo calls the watcher, which lives
// here, while it answers).
QDBusMessage callWaiting(QDBusConnection& bus, const QDBusMessage& message) {
    QDBusPendingCall pending = bus.asyncCall(message, 5000);
    waitUntil([&] { return pending.isFinished(); }, 6000);
    return pending.reply();
}

class StatusNotifierTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (QProcess* p : {quillo_, xvfb_}) {
            if (!p) continue;
            p->terminate();
            if (!p->waitForFinished(3000)) p->kill();
            p->waitForFinished(1000);
            delete p;
        }
        bus_.stop();
    }

    bool startBus() {
        if (!bus_.start()) return false;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_.address().toLocal8Bit().constData(), 1);
        return true;
    }

    bool startX() {
        // Xvfb picks a free display itself and writes its number once it accepts clients.
        xvfb_ = new QProcess;
        xvfb_->start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        QElapsedTimer waited;
        waited.start();
        while (!xvfb_->canReadLine() && waited.elapsed() < 10000 && xvfb_->state() != QProcess::NotRunning)
            xvfb_->waitForReadyRead(200);
        const QString number = QString::fromLatin1(xvfb_->readLine()).trimmed();
        if (number.isEmpty()) return false;
        display_ = ":" + number;
        return true;
    }

    MenuItem layout(QDBusConnection& bus, const QString& service, const QString& path) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, "com.canonical.dbusmenu", "GetLayout");
        call << 0 << -1 << QStringList{};
        const QDBusMessage reply = callWaiting(bus, call);
        MenuItem root;
        if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2)
            reply.arguments().at(1).value<QDBusArgument>() >> root;
        return root;
    }

    void menuEvent(QDBusConnection& bus, const QString& service, const QString& path, int id, const QString& event) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, "com.canonical.dbusmenu", "Event");
        call << id << event << QVariant::fromValue(QDBusVariant(QVariant(0))) << 0u;
        callWaiting(bus, call);
        QDBusMessage show = QDBusMessage::createMethodCall(service, path, "com.canonical.dbusmenu", "AboutToShow");
        show << id;
        if (event == "opened") callWaiting(bus, show);
    }

    QProcess* quillo_ = nullptr;
    QProcess* xvfb_ = nullptr;
    PrivateSessionBus bus_;
    QString display_;
};

}  // namespace

TEST_F(StatusNotifierTest, ExportedMenuListsMeasuredRowsAndAClickedRowEmptiesThatTrash) {
    if (!std::getenv("QUILLO_TEST_ISOLATED")) GTEST_SKIP() << "needs root (the test erases trashes: private mount namespace)";
    for (const char* tool : {"Xvfb", "dbus-daemon", "xdotool"})
        if (!haveTool(tool)) GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
    TempHome home;
    erase::RNUserDefaults::resetStandardUserDefaults();
    erase::RNUserDefaults::standardUserDefaults().setBool(erase::kPrefIsFirstRun, false);
    erase::RNUserDefaults::standardUserDefaults().setBool(erase::kPrefShowInstallHelperTool, true);
    plantTrash(home.homeTrash(), 3);
    ScopedMount volume(home.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(volume.ok()) << volume.error();
    plantTrash(volume.mountPoint() + "/.Trash-0", 2);
    ASSERT_TRUE(volumeListIsOurs({volume.mountPoint()}));  // quillo erases here

    ASSERT_TRUE(startBus());
    ASSERT_TRUE(startX());
    QDBusConnection bus = QDBusConnection::connectToBus(bus_.address(), "sni-test");
    ASSERT_TRUE(bus.isConnected());
    Watcher watcher;
    new WatcherAdaptor(&watcher);
    ASSERT_TRUE(bus.registerObject("/StatusNotifierWatcher", &watcher));
    ASSERT_TRUE(bus.registerService("org.kde.StatusNotifierWatcher"));

    quillo_ = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus_.address());
    quillo_->setProcessEnvironment(env);
    quillo_->setProcessChannelMode(QProcess::ForwardedChannels);
    quillo_->start(QUILLO_PATH, {});
    ASSERT_TRUE(waitUntil([&] { return !watcher.items.isEmpty(); }, 20000)) << "quillo registered no tray icon";

    // The item's menu.
    QString service = watcher.items.first(), itemPath = "/StatusNotifierItem";
    if (service.contains('/')) {
        itemPath = service.mid(service.indexOf('/'));
        service = service.left(service.indexOf('/'));
    }
    QDBusMessage get = QDBusMessage::createMethodCall(service, itemPath, "org.freedesktop.DBus.Properties", "Get");
    get << "org.kde.StatusNotifierItem" << "Menu";
    const QDBusMessage reply = callWaiting(bus, get);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    const QString menuPath = reply.arguments().at(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
    ASSERT_FALSE(menuPath.isEmpty());

    // The per-disk submenu fills when it is about to show; its rows carry the figures.
    const QString submenuTitle = QString::fromStdString(util::RNLocalizedString("empty_bin_menu_item_title"));
    int submenuId = -1;
    ASSERT_TRUE(waitUntil([&] {
        const MenuItem root = layout(bus, service, menuPath);
        const MenuItem* sub = findItem(root, [&](const MenuItem& m) { return m.label() == submenuTitle; });
        if (sub) submenuId = sub->id;
        return sub != nullptr;
    }, 10000)) << "no per-disk submenu in the exported menu";
    menuEvent(bus, service, menuPath, submenuId, "opened");

    const QString volumeName = QString::fromStdString(files::lastPathComponent(volume.mountPoint()));
    int rowId = -1;
    MenuItem root;
    ASSERT_TRUE(waitUntil([&] {
        root = layout(bus, service, menuPath);
        const MenuItem* row = findItem(root, [&](const MenuItem& m) {
            return m.label().startsWith(volumeName) && m.label().contains("2 items, 8 bytes");
        });
        const MenuItem* homeRow = findItem(root, [&](const MenuItem& m) { return m.label().contains("3 items, 12 bytes"); });
        if (row) rowId = row->id;
        return row && homeRow;
    }, 15000)) << "the rows never showed their measured figures";
    const MenuItem* sub = findItem(root, [&](const MenuItem& m) { return m.id == submenuId; });
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->children.size(), 2) << "one row per volume";

    menuEvent(bus, service, menuPath, rowId, "clicked");
    // The confirmation comes up on the X server; Return is its default button (Empty Trash).
    const std::string xenv = "DISPLAY=" + display_.toStdString() + " ";
    ASSERT_TRUE(waitUntil([&] {
        std::string out;
        run(xenv + "xdotool search --onlyvisible --name '^Quillo$' 2>/dev/null", &out);
        return !out.empty();
    }, 10000)) << "no confirmation after clicking the row";
    // The key goes to the confirmation once it has taken the input focus (it asks for it itself;
    // there is no window manager).
    ASSERT_TRUE(waitUntil([&] {
        std::string focused;
        run(xenv + "xdotool getwindowfocus getwindowname 2>/dev/null", &focused);
        return focused == "Quillo\n";
    }, 10000)) << "the confirmation never took the focus";
    run(xenv + "xdotool key Return");
    EXPECT_TRUE(waitUntil([&] { return listFolder(volume.mountPoint() + "/.Trash-0/files").empty(); }, 20000));
    EXPECT_EQ(listFolder(home.homeTrash() + "/files").size(), 3u) << "only the clicked volume's trash is emptied";

    // The panel restarts: the watcher leaves the bus and comes back; the icon registers again.
    const int before = int(watcher.items.size());
    // The bus tells quillo of the owner leaving before it tells of the new one: no pause needed.
    bus.unregisterService("org.kde.StatusNotifierWatcher");
    ASSERT_TRUE(bus.registerService("org.kde.StatusNotifierWatcher"));
    EXPECT_TRUE(waitUntil([&] { return watcher.items.size() > before; }, 10000))
        << "the icon did not come back after the tray host restarted";
    EXPECT_EQ(quillo_->state(), QProcess::Running);
    erase::RNUserDefaults::resetStandardUserDefaults();
}

#include "StatusNotifierTest.moc"
