#include "shell/RNQuillo.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNPreferences.h"
#include "helperclient/HelperInstallation.h"
#include "helperclient/RNSecureAccess.h"
#include "hotkeys/RNHotKeyCenter.h"
#include "hotkeys/RNKeyNames.h"
#include "mainwindow/RNWindowCntrl.h"
#include "shell/RNCleanupScheduler.h"
#include "shell/RNDiskMenuItemView.h"
#include "shell/RNFullDiskAuthorization.h"
#include "mainwindow/RNVolumeListModel.h"
#include "shell/RNMountWatcher.h"
#include "shell/RNRunningNotice.h"
#include "shell/RNStatusMenu.h"
#include "shell/RNVolumeIcons.h"
#include "ui/RNInfoWindows.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"
#include "ui/preferences/RNPreferencesWindow.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMessageBox>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <iostream>

// The icons are compiled into this library; a static library must ask for them explicitly.
static void initIconResources() { Q_INIT_RESOURCE(icons); }

namespace quillo::shell {

using namespace quillo::erase;
using hotkeys::RNHotKeyCenter;
using ui::L;

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
    cleanup_ = new RNCleanupScheduler(QDBusConnection::sessionBus(), this);
    // What a pass removed shows in the rows and the window's list.
    connect(cleanup_, &RNCleanupScheduler::passFinished, this, [this](bool, bool, quint64 erased) {
        showCleanupInToolTip();
        if (erased > 0) refreshVolumes();
    });
    // While a pass erases, the icon says so: nothing else shows that files are going.
    connect(cleanup_, &RNCleanupScheduler::passStarted, this, &RNQuillo::showCleanupInToolTip);
}

RNQuillo::~RNQuillo() {
    auto& center = RNNotificationCenter::defaultCenter();
    for (auto token : observers_) center.removeObserver(token);
    for (auto token : defaultsObservers_) RNUserDefaults::standardUserDefaults().removeObserver(token);
    for (RNDiskMenuItem* item : submenuViews_) delete item;
    submenuViews_.clear();
    delete lumoWindow_.data();
    delete welcome_.data();
    delete subscribe_.data();
    if (gDelegate == this) gDelegate = nullptr;
}

QWidget* RNQuillo::lumoWindow() const { return lumoWindow_.data(); }

void RNQuillo::applicationDidFinishLaunching() {
    isWorking_ = false;
    setupDefaultsPreferences();
    auto& defaults = RNUserDefaults::standardUserDefaults();
    // A damaged preferences file was put aside and the defaults apply. Whoever had one has run
    // Quillo before: the message below takes the place of the first-run windows.
    const auto damage = defaults.takeDamage();
    if (damage) defaults.setBool(kPrefIsFirstRun, false);
    setupStatusMenu();

    auto& center = RNNotificationCenter::defaultCenter();
    const ui::RNMainThreadPath back(this);
    observers_.push_back(center.addObserver(kStopWorking, nullptr, [this, back](const RNNotification& note) {
        // Posted from the erase's tick thread; handled on the main thread.
        back.post([this, copy = note] { stopWorking(copy); });
    }));
    mountWatcher_ = new RNMountWatcher(this);
    connect(mountWatcher_, &RNMountWatcher::didMount, this,
            [this](const QString& p) { workspaceHardDrivesObserver(true, mountPathFromQString(p)); });
    connect(mountWatcher_, &RNMountWatcher::willUnmount, this,
            [this](const QString& p) { workspaceHardDrivesObserver(false, mountPathFromQString(p)); });

    if (damage) reportDamagedPreferences(*damage);
    // On a first run the disclaimer comes before anything else is asked (the helper's install
    // question included): who disagrees is asked nothing more.
    const bool firstRun = defaults.boolForKey(kPrefIsFirstRun);
    if (firstRun && isUserAgree() == kAlertSecondButtonReturn) {
        QApplication::exit(0);
        return;
    }

    // The helper check may ask a question, run pkexec and wait for the system bus: it runs on a
    // worker, its questions come to the main thread through the prompt backend, and the rest of
    // the start-up follows when it is done.
    ui::runThen(
        RNOperationQueue::named(kStartupQueue), this,
        [] { return helperclient::RNSecureAccess::initWithDelegate(nullptr)->installHelperAppIfNeeded(); },
        [this, firstRun](bool authorized) { continueStartup(authorized, firstRun); });
}

void RNQuillo::reportDamagedPreferences(const RNUserDefaults::Damage& damage) {
    const bool kept = !damage.keptAt.empty();
    RNErrorDelegate::sharedControl().showError(
        RNDictionary{{"error", std::string("preferences_reset")},
                     {"message", std::string(kept ? "preferences_reset_mess" : "preferences_reset_in_place_mess")},
                     {"additionalName", RNArray{}},
                     {"mess_names", RNArray{RNValue(kept ? damage.keptAt : damage.path)}}});
}

void RNQuillo::continueStartup(bool helperAuthorized, bool firstRun) {
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
    if (!(firstRun && showFirstWindow())) {
        checkForFullDiskAccess();
        showInfoWebWindow();
    }
    startupContinued_ = true;
    runStartupCleanupWhenReady();
    emit startupFinished();
}

void RNQuillo::runStartupCleanupWhenReady() {
    // After the helper check (a pass allowed to use the helper needs its answer) and the first
    // volume listing.
    if (startupCleanupDone_ || !startupContinued_ || !volumesLoaded_ || !cleanup_) return;
    startupCleanupDone_ = true;
    cleanup_->runPass(RNCleanupScheduler::Trigger::Startup);
}

bool RNQuillo::showFirstWindow() {
    if (!RNUserDefaults::standardUserDefaults().boolForKey(kPrefIsFirstRun)) return false;
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

QString RNQuillo::hotKeyText(const char* preferenceKey) const {
    if (!hotkeys::RNHotKeyCenter::sharedCenter().isAvailable()) return {};
    const auto dict = RNUserDefaults::standardUserDefaults().dictionaryForKey(preferenceKey);
    if (!dict) return {};
    const int key = int(RNValue::lookup(*dict, kHotKeyCode).intValue());
    const unsigned mods = unsigned(RNValue::lookup(*dict, kHotKeyModifierFlags).intValue()) &
                          unsigned(Qt::KeyboardModifierMask);
    return hotkeys::hotKeyText(QKeyCombination(Qt::KeyboardModifiers(int(mods)), Qt::Key(key)));
}

void RNQuillo::showWelcome() {
    if (welcome_) {
        welcome_->showWindow();
        return;
    }
    welcome_ = new ui::RNWelcomeCntrl(hotKeyText(kPrefEmptyTrash), hotKeyText(kPrefLumoDelete));
    // Every way of closing it (the last page's button, the title bar, Escape) finishes it.
    connect(welcome_, &QDialog::finished, this, [this] { welcomeDidClose(); });
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
    subscribe_ = new ui::RNSubscribe;
    connect(subscribe_, &QDialog::finished, subscribe_, &QObject::deleteLater);
    subscribe_->showWindow();
}

void RNQuillo::showInfoWebWindow() {
    if (!runningNotice_) runningNotice_ = new RNRunningNotice(QDBusConnection::sessionBus(), this);
    runningNotice_->show(QSystemTrayIcon::isSystemTrayAvailable(), hotKeyText(kPrefEmptyTrash),
                         hotKeyText(kPrefLumoDelete));
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
    runStartupCleanupWhenReady();
    emit volumesRefreshed();
}

void RNQuillo::workspaceHardDrivesObserver(bool didMount, const std::string& devicePath) {
    // The volume model reads the list again; the Lumo Window follows its rows. The menu's row
    // comes with the fresh list; a row that goes is taken out at once.
    if (didMount) {
        refreshVolumes([this, devicePath] {
            updateDisksSubmenu(true, devicePath);
            if (cleanup_) cleanup_->runPass(RNCleanupScheduler::Trigger::Mount);
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
    // The end of an automatic pass's erase is the pass's business.
    if (!deleteItemsCntrl_ && cleanup_ && cleanup_->passRunning()) return;
    if (cleanup_) cleanup_->userEraseEnded();
    // An erase of the hot key may end while the Lumo Window is open: the menu stays as the
    // window wants it until the window closes.
    setIsWorking(lumoWindow_ && lumoWindow_->isVisible());
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

void RNQuillo::showCleanupInToolTip() {
    if (!statusItem_) return;
    statusItem_->setToolTip(cleanup_ && cleanup_->passRunning() ? L("cleanup_tray_tooltip") : QStringLiteral("Quillo"));
}

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

// ---- The status menu, the per-disk submenu and the menu actions ------------------------------

namespace {

QAction* addTagged(QMenu* menu, const QString& text, int tag) {
    QAction* action = menu->addAction(text);
    action->setData(tag);
    return action;
}

erase::RNDictionary trashDict(const files::TrashLocation& t) {
    return RNDictionary{{"trashURL", t.trashURL},
                        {"volumeURL", t.volumeURL},
                        {"volumeName", t.volumeName},
                        {"volumePath", t.volumePath},
                        {"trashIsEmpty", t.trashIsEmpty}};
}

}  // namespace

QAction* RNQuillo::itemWithTag(QMenu* menu, int tag) {
    if (!menu) return nullptr;
    for (QAction* a : menu->actions())
        if (tagOf(a) == tag) return a;
    return nullptr;
}

int RNQuillo::tagOf(QAction* action) {
    if (auto* row = qobject_cast<RNDiskMenuItem*>(action)) return row->tag();
    bool ok = false;
    const int tag = action ? action->data().toInt(&ok) : 0;
    return ok ? tag : 0;
}

bool RNQuillo::canPopUpMenuAtPointer() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QIcon RNQuillo::trayIcon() const {
    QIcon icon(QStringLiteral(":/quillo/quillo-tray.svg"));
    return icon;
}

void RNQuillo::setupStatusMenu() {
    quilloMenu_ = std::make_unique<RNStatusMenu>();
    quilloMenu_->setObjectName("quilloMenu");
    auto defer = [this](int tag) {
        return [this, tag] { QTimer::singleShot(0, this, [this, tag] { mainMenuAction(tag); }); };
    };
    connect(addTagged(quilloMenu_.get(), L("empty_all_menu_item_title"), kTagEmptyAll), &QAction::triggered, this,
            defer(kTagEmptyAll));
    connect(addTagged(quilloMenu_.get(), L("lumo_menu_item_title"), kTagLumo), &QAction::triggered, this,
            defer(kTagLumo));
    quilloMenu_->addSeparator();
    connect(addTagged(quilloMenu_.get(), L("preferences_menu_item_title"), kTagPreferences), &QAction::triggered,
            this, defer(kTagPreferences));

    // The service menu: its own submenu, enabled only when idle (tag 33).
    serviceMenu_ = new QMenu(L("service_menu_title"), quilloMenu_.get());
    serviceMenu_->setObjectName("serviceMenu");
    serviceMenu_->menuAction()->setData(kTagServiceMenu);
    quilloMenu_->addMenu(serviceMenu_);
    auto service = [this](const QString& text, int tag) {
        QAction* a = addTagged(serviceMenu_, text, tag);
        connect(a, &QAction::triggered, this,
                [this, tag] { QTimer::singleShot(0, this, [this, tag] { serviceMenuAction(tag); }); });
    };
    service(L("welcome_menu_item_title"), kTagWelcome);
    service(L("newsletter_menu_item_title"), kTagNewsletter);
    service(L("tell_friend_menu_item_title"), kTagTellFriend);
    service(L("contact_menu_item_title"), kTagContact);
    serviceMenu_->addSeparator();
    service(L("uninstall_menu_item_title"), kTagUninstall);
    serviceMenu_->addSeparator();
    connect(serviceMenu_->addAction(L("about_menu_item_title")), &QAction::triggered, this,
            [this] { QTimer::singleShot(0, this, [this] { showAboutPanel(); }); });

    quilloMenu_->addSeparator();
    QAction* quit = quilloMenu_->addAction(L("quit_menu_item_title"));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit, Qt::QueuedConnection);

    connect(quilloMenu_.get(), &QMenu::aboutToShow, this, [this] {
        menuNeedsUpdate(quilloMenu_.get());
        refreshVolumes();
    });

    statusItem_ = new QSystemTrayIcon(trayIcon(), this);
    showCleanupInToolTip();
    statusItem_->setContextMenu(quilloMenu_.get());
    connect(statusItem_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger) return;
        // A left click opens the same menu as a right click. A Wayland client cannot put a menu
        // at the pointer without a window of its own: there the click opens the window, and the
        // panel shows the exported menu on a right click.
        if (canPopUpMenuAtPointer()) quilloMenu_->popup(QCursor::pos());
        else mainMenuAction(kTagLumo);
    });
    statusItem_->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable() && !trayMissingReported_) {
        trayMissingReported_ = true;
        std::cerr << "quillo: no system tray on this desktop; the tray icon appears when one starts. "
                     "The hot keys work, and starting quillo again opens its window.\n";
    }

    // The two hot keys and the menu's key equivalents follow their preferences, from now on.
    connect(&RNHotKeyCenter::sharedCenter(), &RNHotKeyCenter::hotKeyPressed, this, &RNQuillo::hotKeyPressed);
    const ui::RNMainThreadPath back(this);
    for (const char* key : {kPrefEmptyTrash, kPrefLumoDelete}) {
        const std::string keyPath = std::string("values.") + key;
        defaultsObservers_.push_back(RNUserDefaults::standardUserDefaults().addObserverForKey(
            key, [this, back, keyPath](const std::string&, const RNValue&) {
                back.post([this, keyPath] { hotKeyPreferenceChanged(keyPath); });
            }));
        hotKeyPreferenceChanged(keyPath);
    }
    refreshVolumes();
}

void RNQuillo::updateKeyEquivalent(int tag, const std::string& prefKey) {
    const QString identifier = QString::fromStdString("values." + prefKey);
    auto& hotKeys = RNHotKeyCenter::sharedCenter();
    QAction* action = itemWithTag(quilloMenu_.get(), tag);
    const auto dict = RNUserDefaults::standardUserDefaults().dictionaryForKey(prefKey);
    if (!dict) {
        // No value: the hot key stays unregistered.
        hotKeys.unregisterHotKey(identifier);
        if (action) action->setShortcut({});
        return;
    }
    const int key = int(RNValue::lookup(*dict, kHotKeyCode).intValue());
    const unsigned mods = unsigned(RNValue::lookup(*dict, kHotKeyModifierFlags).intValue()) &
                          unsigned(Qt::KeyboardModifierMask);
    // The old combination is let go before the new one is taken.
    hotKeys.registerHotKey(identifier, key, mods);
    if (!action) return;
    // Shown only: the global hot key acts, the menu's shortcut never fires on its own.
    action->setShortcutContext(Qt::WidgetShortcut);
    action->setShortcut(QKeySequence(QKeyCombination(Qt::KeyboardModifiers(int(mods)), Qt::Key(key))));
}

void RNQuillo::hotKeyPreferenceChanged(const std::string& keyPath) {
    if (keyPath == "values.empty_trash") updateKeyEquivalent(kTagEmptyAll, kPrefEmptyTrash);
    else if (keyPath == "values.lumo_delete") updateKeyEquivalent(kTagLumo, kPrefLumoDelete);
}

void RNQuillo::hotKeyPressed(const QString& identifier) {
    if (identifier == QLatin1String("values.empty_trash")) emptyAllTrashesAction();
    else if (identifier == QLatin1String("values.lumo_delete")) lumoDeletion();
}

void RNQuillo::addSubTrashMenu() {
    QAction* holder = itemWithTag(quilloMenu_.get(), kTagDiskSubmenu);
    if (volumes_.size() >= 2) {
        if (holder) return;
        if (!subTrashMenu_) {
            subTrashMenu_ = new QMenu(L("empty_bin_menu_item_title"), quilloMenu_.get());
            subTrashMenu_->setObjectName("subTrashMenu");
            connect(subTrashMenu_, &QMenu::aboutToShow, this, [this] {
                menuIsOpen_ = true;
                menuNeedsUpdate(subTrashMenu_);
            });
            connect(subTrashMenu_, &QMenu::aboutToHide, this, [this] {
                installEmptyTimer();
                menuIsOpen_ = false;
            });
        }
        subTrashMenu_->menuAction()->setData(kTagDiskSubmenu);
        subTrashMenu_->menuAction()->setEnabled(!isWorking_);
        QAction* emptyAll = itemWithTag(quilloMenu_.get(), kTagEmptyAll);
        const auto actions = quilloMenu_->actions();
        const qsizetype at = actions.indexOf(emptyAll);
        quilloMenu_->insertMenu(actions.value(at + 1), subTrashMenu_);
    } else if (holder) {
        quilloMenu_->removeAction(holder);
    }
}

RNDiskMenuItem* RNQuillo::makeDiskMenuItem(const files::TrashLocation& dict) {
    auto* item = new RNDiskMenuItem(dict, this);
    connect(item, &QAction::triggered, this, [this, item] {
        QPointer<RNDiskMenuItem> guard(item);
        QTimer::singleShot(0, this, [this, guard] {
            if (guard) emptyHardDriveTrashAction(guard);
        });
    });
    return item;
}

void RNQuillo::createMenuViewsWithCount(size_t count, bool createNewArray) {
    if (createNewArray) {
        for (RNDiskMenuItem* item : submenuViews_) item->deleteLater();
        submenuViews_.clear();
    }
    hasSubmenuViews_ = true;
    for (size_t i = submenuViews_.size(); i < count && i < volumes_.size(); ++i)
        submenuViews_.push_back(makeDiskMenuItem(volumes_[i]));
}

RNDiskMenuItem* RNQuillo::addDiskMenuItemWithDict(const files::TrashLocation& dict, RNDiskMenuItem* item, int tag) {
    item->view()->setDiskDict(dict);
    item->setTag(tag);
    item->setEnabled(!item->view()->diskDict().trashIsEmpty && !item->view()->isUnreadable() && !isWorking_);
    subTrashMenu_->addAction(item);
    // Measured as soon as it is in the menu, so that a menu exported over D-Bus (which never
    // shows the row's widget) gets the figures too.
    if (!item->view()->diskDict().trashIsEmpty) item->view()->gatherTrashInfo();
    return item;
}

void RNQuillo::menuNeedsUpdate(QMenu* menu) {
    if (menu == subTrashMenu_ && subTrashMenu_) {
        invalidateMenuTimer();
        const size_t n = volumes_.size();
        for (QAction* a : subTrashMenu_->actions()) subTrashMenu_->removeAction(a);
        if (n < 2) return;
        if (!hasSubmenuViews_) createMenuViewsWithCount(n, true);
        // One row per volume, in the list's order. A row belongs to its trash: a row whose trash
        // is no longer listed is dropped, a new trash gets a new row (never another volume's
        // figures).
        std::vector<RNDiskMenuItem*> rows;
        for (const auto& v : volumes_) {
            RNDiskMenuItem* match = nullptr;
            for (RNDiskMenuItem*& item : submenuViews_)
                if (item && item->view()->diskDict().trashURL == v.trashURL) {
                    match = item;
                    item = nullptr;
                    break;
                }
            rows.push_back(match ? match : makeDiskMenuItem(v));
        }
        for (RNDiskMenuItem* stale : submenuViews_)
            if (stale) stale->deleteLater();
        submenuViews_ = std::move(rows);
        for (size_t i = 0; i < n; ++i) addDiskMenuItemWithDict(volumes_[i], submenuViews_[i], int(kTagFirstDisk + i));
        return;
    }
    if (menu == quilloMenu_.get()) applyMenuEnabledStates();
}

void RNQuillo::applyMenuEnabledStates() {
    for (int tag : {kTagEmptyAll, kTagLumo, kTagPreferences, kTagServiceMenu, kTagDiskSubmenu})
        if (QAction* a = itemWithTag(quilloMenu_.get(), tag)) a->setEnabled(!isWorking_);
    for (RNDiskMenuItem* item : submenuViews_)
        item->setEnabled(!isWorking_ && !item->view()->diskDict().trashIsEmpty && !item->view()->isUnreadable());
}

void RNQuillo::setIsWorking(bool working) {
    isWorking_ = working;
    // A tray erase, a hot key's or the Lumo Window: no automatic pass meanwhile.
    if (cleanup_) cleanup_->setUserBusy(working);
    if (quilloMenu_) applyMenuEnabledStates();
}

size_t RNQuillo::indexOfMenuItemInArray(const std::string& path) const {
    if (!subTrashMenu_) return files::RNFilesUtilities::kNotFound;
    const auto actions = subTrashMenu_->actions();
    for (qsizetype i = 0; i < actions.size(); ++i)
        if (auto* row = qobject_cast<RNDiskMenuItem*>(actions[i]))
            if (row->view()->diskDict().volumePath == path) return size_t(i);
    return files::RNFilesUtilities::kNotFound;
}

void RNQuillo::updateDisksSubmenu(bool added, const std::string& devicePath) {
    const bool wasOpen = menuIsOpen_;
    menuIsOpen_ = true;
    if (hasSubmenuViews_ && subTrashMenu_) {
        if (added) {
            const size_t i = files::RNFilesUtilities::indexOfNewMountedDiskInArray(volumes_, devicePath);
            if (i != files::RNFilesUtilities::kNotFound) {
                RNDiskMenuItem* item = makeDiskMenuItem(volumes_[i]);
                submenuViews_.push_back(item);
                addDiskMenuItemWithDict(volumes_[i], item, int(1000 + submenuViews_.size()));
            }
        } else {
            const size_t i = indexOfMenuItemInArray(devicePath);
            if (i != files::RNFilesUtilities::kNotFound && submenuViews_.size() > 1) {
                auto* row = qobject_cast<RNDiskMenuItem*>(subTrashMenu_->actions().at(qsizetype(i)));
                subTrashMenu_->removeAction(row);
                std::erase(submenuViews_, row);
                row->deleteLater();
            }
        }
    }
    menuIsOpen_ = wasOpen;
}

// ---- Actions -----------------------------------------------------------------------------------

void RNQuillo::mainMenuAction(int tag) {
    switch (tag) {
        case kTagPreferences: preferencesAction(); break;
        case kTagEmptyAll:
            setIsWorking(true);
            emptyAllTrashesAction();
            break;
        case kTagLumo:
            setIsWorking(true);
            lumoDeletion();
            break;
        default: break;
    }
}

void RNQuillo::startErase(const RNDictionary& request, const RNItemList* items) {
    auto session = RNDeleteItems::create();
    deleteItemsCntrl_ = session;
    setIsWorking(true);
    std::optional<RNItemList> array;
    if (items) array = *items;
    auto ask = [this, session, request, array] {
        if (deleteItemsCntrl_ != session) return;
        if (!session->askToContinue(request)) return;  // declined: "stopWorking" follows
        QTimer::singleShot(kProceedDelayMs, this, [session, array] { session->proceedToEraseWithArray(array); });
    };
    // A running automatic pass stops first; the erase starts once it has let go of the engine
    // (after the item in hand), without the main thread waiting for it.
    if (cleanup_) cleanup_->userEraseWillStart(ask);
    else ask();
}

void RNQuillo::emptyAllTrashesAction() {
    // One erase at a time: a hot key pressed while one runs does nothing.
    if (deleteItemsCntrl_) return;
    setIsWorking(true);
    // The volume list is read afresh in the background; the confirmation follows.
    refreshVolumes([this] {
        if (deleteItemsCntrl_) return;
        RNArray volumes(volumes_.size());
        for (size_t i = 0; i < volumes_.size(); ++i) volumes[i] = trashDict(volumes_[i]);
        startErase(RNDictionary{{"isLumoErase", false},
                                {"isAllDisks", true},
                                {"volumeArray", volumes},
                                {"volumeName", ""},
                                {"size", uint64_t(0)},
                                {"count", uint64_t(0)}},
                   nullptr);
    });
}

void RNQuillo::emptyHardDriveTrashAction(RNDiskMenuItem* item) {
    if (deleteItemsCntrl_ || !item) return;
    RNDiskMenuItemView* row = item->view();
    const auto& dict = row->diskDict();
    const RNItemList items = row->itemsCount() == 0 ? RNItemList{} : row->itemsToErase();
    startErase(RNDictionary{{"isLumoErase", false},
                            {"isAllDisks", false},
                            {"volumeName", dict.volumeName.empty() ? std::string("Hard Drive") : dict.volumeName},
                            {"size", row->itemsSize()},
                            {"count", row->itemsCount()},
                            {"topLevelCount", row->topLevelCount()}},
               &items);
}

void RNQuillo::lumoDeletion() {
    invalidateLumoWindowTimer();
    if (!lumoWindow_) {
        lumoWindow_ = new mainwindow::RNWindowCntrl;
        connect(lumoWindow_, &mainwindow::RNWindowCntrl::closed, this,
                [this](uint64_t erased) { lumoWindowDidClose(erased > 0); });
    }
    lumoWindow_->showWindow();
    setIsWorking(true);
}

void RNQuillo::preferencesAction() {
    if (!prefWindowCntrl_) prefWindowCntrl_ = new ui::RNPreferencesWindow;
    prefWindowCntrl_->setParent(this);
    prefWindowCntrl_->openWindowInModal(false);
}

void RNQuillo::activateFromOtherInstance() {
    if (QSystemTrayIcon::isSystemTrayAvailable() && quilloMenu_ && canPopUpMenuAtPointer())
        quilloMenu_->popup(QCursor::pos());
    else
        mainMenuAction(kTagLumo);
}

void RNQuillo::serviceMenuAction(int tag) {
    switch (tag) {
        case kTagWelcome: showWelcome(); break;
        case kTagNewsletter: subscribeNewsletter(); break;
        case kTagTellFriend: {
            const QString text = L("tell_to_friend");
            QDesktopServices::openUrl(QUrl(QString::fromUtf8(QUrl::toPercentEncoding(text, ":/?&=@#+,;"))));
            break;
        }
        case kTagContact: QDesktopServices::openUrl(QUrl(L("contact"))); break;
        case kTagUninstall: uninstall(); break;
        default: break;
    }
}

void RNQuillo::checkForUpdate() {
    // No updater on Linux (the package manager updates): the release page tells what is new.
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(ui::kProjectReleasesPage)));
}

void RNQuillo::showAboutPanel() {
    QMessageBox about;
    about.setWindowTitle(L("about_menu_item_title"));
    about.setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    about.setTextFormat(Qt::RichText);
    about.setText(QStringLiteral("<b>Quillo</b> %1").arg(QApplication::applicationVersion()));
    about.setInformativeText(L("about_text") + QStringLiteral("<br><a href=\"%1\">%1</a>").arg(QString::fromLatin1(ui::kProjectHomePage)));
    about.exec();
}

}  // namespace quillo::shell
