#include "shell/RNQuillo.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNPreferences.h"
#include "helperclient/HelperInstallation.h"
#include "helperclient/RNSecureAccess.h"
#include "shell/RNDiskMenuItemView.h"
#include "shell/RNFullDiskAuthorization.h"
#include "mainwindow/RNVolumeListModel.h"
#include "mainwindow/RNWindowCntrl.h"
#include "shell/RNMountWatcher.h"
#include "shell/RNVolumeIcons.h"
#include "ui/RNInfoWindows.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <iostream>

// The icons are compiled into this library; a static library must ask for them explicitly.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace quillo::shell {

using namespace quillo::erase;

namespace {
RNQuillo* gDelegate = nullptr;
constexpr const char* kStartupQueue = "startupQueue";

}  // namespace

RNQuillo* sharedDelegate() { return gDelegate; }

void initQuilloResources() {
    ::initIconResources();
    // Outside a desktop session Qt knows no icon theme: fall back to the stock GNOME one.
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
}

RNQuillo::RNQuillo(QObject* parent) : QObject(parent) {
    initIconResources();
    gDelegate = this;
    menuTimer_.setSingleShot(true);
    menuTimer_.setInterval(kIdleTimeoutMs);
    connect(&menuTimer_, &QTimer::timeout, this, &RNQuillo::cleanSubmenuViews);
    lumoWindowTimer_.setSingleShot(true);
    lumoWindowTimer_.setInterval(kIdleTimeoutMs);
    connect(&lumoWindowTimer_, &QTimer::timeout, this, &RNQuillo::cleanLumoWindowMemory);
}

RNQuillo::~RNQuillo() {
    auto& center = RNNotificationCenter::defaultCenter();
    for (auto token : observers_) center.removeObserver(token);
    for (auto token : defaultsObservers_) RNUserDefaults::standardUserDefaults().removeObserver(token);
    for (RNDiskMenuItem* item : submenuViews_) delete item;
    submenuViews_.clear();
    delete lumoWindow_.data();
    if (gDelegate == this) gDelegate = nullptr;
}

QWidget* RNQuillo::lumoWindow() const { return lumoWindow_.data(); }

void RNQuillo::applicationDidFinishLaunching() {
    isWorking_ = false;
    setupDefaultsPreferences();
    setupStatusMenu();

    auto& center = RNNotificationCenter::defaultCenter();
    const ui::RNMainThreadPath back(this);
    observers_.push_back(center.addObserver(kStopWorking, nullptr, [this, back](const RNNotification& note) {
        // Posted from the erase's tick thread; handled on the main thread.
        back.post([this, copy = note] { stopWorking(copy); });
    }));
    observers_.push_back(center.addObserver("lumoWindowDidClose", nullptr, [this, back](const RNNotification& note) {
        const bool erased = note.info("erasedCount").uintValue() > 0;
        back.post([this, erased] { lumoWindowDidClose(erased); });
    }));
    for (const char* name : {"welcomeDidClose", "newsletterDidClose", "webPromoDidClose"}) {
        const std::string n = name;
        observers_.push_back(center.addObserver(n, this, [this, back, n](const RNNotification&) {
            back.post([this, n] {
                if (n == "welcomeDidClose") welcomeDidClose();
                else if (n == "newsletterDidClose" && subscribe_) subscribe_->deleteLater();
                else if (n == "webPromoDidClose" && webPromo_) webPromo_->deleteLater();
            });
        }));
    }
    mountWatcher_ = new RNMountWatcher(this);
    connect(mountWatcher_, &RNMountWatcher::didMount, this,
            [this](const QString& p) { workspaceHardDrivesObserver(true, mountPathFromQString(p)); });
    connect(mountWatcher_, &RNMountWatcher::willUnmount, this,
            [this](const QString& p) { workspaceHardDrivesObserver(false, mountPathFromQString(p)); });

    // The helper check may ask a question, run pkexec and wait for the system bus: it runs on a
    // worker, its questions come to the main thread through the prompt backend, and the rest of
    // the start-up follows when it is done.
    ui::runThen(
        RNOperationQueue::named(kStartupQueue), this,
        [] { return helperclient::RNSecureAccess::initWithDelegate(nullptr)->installHelperAppIfNeeded(); },
        [this](bool authorized) { continueStartup(authorized); });
}

void RNQuillo::continueStartup(bool helperAuthorized) {
    SetIsHelperAuthorized(helperAuthorized);
    // The update-check entry, at the top of the service menu set off by a separator.
    if (serviceMenu_ && !itemWithTag(serviceMenu_, kTagUpdate)) {
        QAction* first = serviceMenu_->actions().value(0);
        auto* update = new QAction(ui::L("check_update"), serviceMenu_);
        update->setData(kTagUpdate);
        connect(update, &QAction::triggered, this, [this] { QTimer::singleShot(0, this, [this] { checkForUpdate(); }); });
        serviceMenu_->insertAction(first, update);
        if (first) serviceMenu_->insertSeparator(first);
    }
    if (!showFirstWindow()) {
        checkForFullDiskAccess();
        showInfoWebWindow();
    }
    emit startupFinished();
}

bool RNQuillo::showFirstWindow() {
    if (!RNUserDefaults::standardUserDefaults().boolForKey(kPrefIsFirstRun)) return false;
    if (isUserAgree() == kAlertSecondButtonReturn) {
        QApplication::exit(0);
        // Nothing else runs; the event loop ends.
        return true;
    }
    showWelcome();
    return true;
}

int64_t RNQuillo::isUserAgree() {
    return RNErrorDelegate::sharedControl().askToTheUser("disclaimer", std::string(), {}, "agree_btn",
                                                         "disagree_btn", "", false, nullptr, false, nullptr);
}

void RNQuillo::checkForFullDiskAccess() {
    ui::runThen(
        RNOperationQueue::named(kStartupQueue), this,
        [] { return RNFullDiskAuthorization::sharedControl().authorizationStatus(); },
        [](int status) {
            if (status == RNFullDiskAuthorization::Authorized) return;
            RNFullDiskAuthorization::sharedControl().requestAuthorizationWithCompletion({});
            RNErrorDelegate::sharedControl().showError(std::string("full_disk_access_authorization"),
                                                       std::string("full_disk_access_authorization_mess"));
        });
}

void RNQuillo::showWelcome() {
    if (welcome_) {
        welcome_->showWindow();
        return;
    }
    welcome_ = new ui::RNWelcomeCntrl(this);
    welcome_->showWindow();
}

void RNQuillo::welcomeDidClose() {
    auto& defaults = RNUserDefaults::standardUserDefaults();
    if (defaults.boolForKey(kPrefIsFirstRun)) defaults.setBool(kPrefIsFirstRun, false);
    if (welcome_) welcome_->deleteLater();
    welcome_ = nullptr;
    checkForFullDiskAccess();
}

void RNQuillo::subscribeNewsletter() {
    if (subscribe_) {
        subscribe_->showWindow();
        return;
    }
    subscribe_ = new ui::RNSubscribe(this);
    subscribe_->showWindow();
}

void RNQuillo::showInfoWebWindow() {
    if (webPromo_) webPromo_->deleteLater();
    webPromo_ = new ui::RNWebPromo(this);
    webPromo_->showWindow();
}

// ---- Volumes -----------------------------------------------------------------------------------

void RNQuillo::refreshVolumes(std::function<void()> then) {
    // One read of the volume list for the tray and the Lumo Window: the shared volume model.
    QPointer<RNQuillo> self(this);
    mainwindow::RNVolumeListModel::sharedModel().refresh([self, then] {
        if (self) self->volumesDidRefresh(then);
    });
}

void RNQuillo::volumesDidRefresh(const std::function<void()>& then) {
    volumes_ = mainwindow::RNVolumeListModel::sharedModel().locations();
    volumesLoaded_ = true;
    // The holder of the per-disk submenu follows the number of volumes.
    addSubTrashMenu();
    // The rows' icons are drawn ahead, so that opening the submenu does not wait for them.
    for (const auto& v : volumes_) {
        const QIcon icon = iconForVolume(v.volumeURL);
        icon.pixmap(RNDiskMenuItemView::kIconSize, QIcon::Normal);
        icon.pixmap(RNDiskMenuItemView::kIconSize, QIcon::Disabled);
    }
    // Rows on screen take the fresh "trashIsEmpty".
    for (RNDiskMenuItem* item : submenuViews_)
        for (const auto& v : volumes_)
            if (v.trashURL == item->view()->diskDict().trashURL) {
                item->view()->setDiskDict(v);
                item->setEnabled(!item->view()->diskDict().trashIsEmpty && !item->view()->isUnreadable() && !isWorking_);
            }
    if (then) then();
    emit volumesRefreshed();
}

void RNQuillo::workspaceHardDrivesObserver(bool didMount, const std::string& devicePath) {
    // The volume model reads the list again; the Lumo Window follows its rows. The menu's row
    // comes with the fresh list; a row that goes is taken out at once.
    if (didMount) {
        refreshVolumes([this, devicePath] {
            updateDisksSubmenu(true, devicePath);
            emit mountHandled(true, mountPathToQString(devicePath));
        });
        return;
    }
    updateDisksSubmenu(false, devicePath);
    emit mountHandled(false, mountPathToQString(devicePath));
    refreshVolumes();
}

// ---- End of an erase, the Lumo Window, idle timers ---------------------------------------------

void RNQuillo::stopWorking(const RNNotification& note) {
    // Only the session started here ends the menu's work (the Lumo Window runs its own).
    if (deleteItemsCntrl_ && note.object && note.object != deleteItemsCntrl_.get()) return;
    setIsWorking(false);
    deleteItemsCntrl_.reset();
    if (note.userInfo && note.info("erasedCount").uintValue() > 0) {
        cleanMemoryNow();
        refreshVolumes();
    }
    emit eraseFinished();
}

void RNQuillo::lumoWindowDidClose(bool somethingErased) {
    setIsWorking(false);
    if (hasSubmenuViews_) installEmptyTimer();
    if (lumoWindow_) {
        if (somethingErased) cleanLumoWindowMemory();
        else installCleanLumoWindowMemory();
    }
}

void RNQuillo::installEmptyTimer() { menuTimer_.start(); }

void RNQuillo::cleanSubmenuViews() {
    if (menuIsOpen_) {
        menuTimer_.start();
        return;
    }
    cleanSubMenuMemory();
}

void RNQuillo::cleanSubMenuMemory() {
    // Rows made again are measured again.
    mainwindow::RNVolumeListModel::sharedModel().invalidateMeasurements();
    if (subTrashMenu_)
        for (RNDiskMenuItem* item : submenuViews_) subTrashMenu_->removeAction(item);
    for (RNDiskMenuItem* item : submenuViews_) item->deleteLater();
    submenuViews_.clear();
    hasSubmenuViews_ = false;
    menuTimer_.stop();
}

void RNQuillo::invalidateMenuTimer() { menuTimer_.stop(); }

void RNQuillo::installCleanLumoWindowMemory() { lumoWindowTimer_.start(); }

void RNQuillo::cleanLumoWindowMemory() {
    if (isWorking_) {
        lumoWindowTimer_.start();
        return;
    }
    if (lumoWindow_) lumoWindow_->deleteLater();
    lumoWindow_ = nullptr;
    lumoWindowTimer_.stop();
}

void RNQuillo::invalidateLumoWindowTimer() { lumoWindowTimer_.stop(); }

void RNQuillo::cleanMemoryNow() {
    invalidateLumoWindowTimer();
    if (lumoWindow_ && !lumoWindow_->isVisible()) {
        lumoWindow_->deleteLater();
        lumoWindow_ = nullptr;
    }
    invalidateMenuTimer();
    cleanSubMenuMemory();
}

// ---- Uninstall ---------------------------------------------------------------------------------

void RNQuillo::uninstall() {
    const int64_t answer = RNErrorDelegate::sharedControl().askToTheUser(
        "ask_uninstall", std::string("ask_uninstall_mees"), {}, "do_not_uninstall_button", "uninstall_button", "",
        false, nullptr, false, nullptr, 0);
    if (answer != kAlertSecondButtonReturn) return;
    // Removing the helper runs pkexec and waits for it: on a worker. The installer's "remove"
    // also stops a helper that is still running.
    ui::runThen(
        RNOperationQueue::named(kStartupQueue), this,
        [] {
            const std::string path = helperclient::HelperInstallation::current().installedHelperPath;
            struct stat st;
            if (::stat(path.c_str(), &st) == 0) helperclient::RNSecureAccess::initWithDelegate(nullptr)->removeHelper();
            return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
        },
        [this](bool gone) { finishUninstall(gone); });
}

void RNQuillo::finishUninstall(bool helperGone) {
    auto& errors = RNErrorDelegate::sharedControl();
    if (!helperGone) {
        errors.showError(std::string("uninstall_failed"), std::string("uninstall_failed_mess"));
        return;
    }
    // The login item goes with the preferences.
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string config = configHome && *configHome ? configHome : std::string(std::getenv("HOME") ? std::getenv("HOME") : "") + "/.config";
    ::unlink((config + "/autostart/" + RNUserDefaults::kApplicationIdentifier + ".desktop").c_str());

    auto& defaults = RNUserDefaults::standardUserDefaults();
    struct stat st;
    if (::stat(defaults.path().c_str(), &st) != 0) return;
    if (!defaults.removePersistentDomain()) {
        errors.showError(RNDictionary{{"error", std::string(std::strerror(errno))}, {"message", ""}, {"additionalName", RNArray{}}});
        return;
    }
    errors.showMessagePanel(nullptr, "uninstall_successful", std::string("uninstall_successful_mess"));
    revealApplication();
    QApplication::exit(0);
}

void RNQuillo::revealApplication() {
    const QString program = QCoreApplication::applicationFilePath();
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QUrl::fromLocalFile(program).toString()} << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(program).absolutePath()));
}

}  // namespace quillo::shell
