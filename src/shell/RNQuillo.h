// The application delegate: start-up in its fixed order, the tray icon and status menu with the
// per-disk submenu, the reaction to mounts, to the end of an erase and to the Lumo Window
// closing, the two idle timers that release memory-heavy interface, the service menu and
// uninstall. One class, one source file: the menu's drawing is RNStatusMenu's, its rows are
// RNDiskMenuItem's.
//
// Everything here runs on the main thread; work that touches the file system (the volume list,
// the trash measurements, the helper check) runs on worker threads and comes back as events.
#pragma once

#include "erase/RNDeleteItems.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNUserDefaults.h"
#include "files/RNFilesUtilities.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillo::ui {
class RNPreferencesWindow;
class RNWelcomeCntrl;
class RNSubscribe;
}  // namespace quillo::ui

namespace quillo::mainwindow {
class RNWindowCntrl;
}

namespace quillo::shell {

class RNCleanupScheduler;
class RNDiskMenuItem;
class RNMountWatcher;
class RNRunningNotice;

// Menu item tags.
enum RNMenuTag : int {
    kTagPreferences = 20,
    kTagLumo = 30,
    kTagEmptyAll = 31,
    kTagDiskSubmenu = 32,
    kTagServiceMenu = 33,
    kTagWelcome = 1,
    kTagUpdate = 2,
    kTagNewsletter = 4,
    kTagTellFriend = 5,
    kTagContact = 6,
    kTagUninstall = 12,
    kTagFirstDisk = 1001,
};

class RNQuillo : public QObject {
    Q_OBJECT
public:
    static constexpr int kIdleTimeoutMs = 120 * 1000;
    static constexpr int kProceedDelayMs = 100;

    explicit RNQuillo(QObject* parent = nullptr);
    ~RNQuillo() override;

    // The start-up sequence; startupFinished() is emitted when it has run to its end.
    void applicationDidFinishLaunching();

    // State.
    bool isWorking() const { return isWorking_; }
    void setIsWorking(bool working);
    bool menuIsOpen() const { return menuIsOpen_; }
    QMenu* quilloMenu() const { return quilloMenu_.get(); }
    QMenu* subTrashMenu() const { return subTrashMenu_; }
    QMenu* serviceMenu() const { return serviceMenu_; }
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    const std::vector<RNDiskMenuItem*>& submenuViews() const { return submenuViews_; }
    bool hasSubmenuViews() const { return hasSubmenuViews_; }
    const std::shared_ptr<erase::RNDeleteItems>& deleteItemsCntrl() const { return deleteItemsCntrl_; }
    QWidget* lumoWindow() const;
    bool menuTimerActive() const { return menuTimer_.isActive(); }
    bool lumoWindowTimerActive() const { return lumoWindowTimer_.isActive(); }
    // The volume list as last read (in the background).
    const std::vector<files::TrashLocation>& volumes() const { return volumes_; }
    ui::RNPreferencesWindow* preferencesWindowController() const { return prefWindowCntrl_; }
    // The automatic clean-up's timing (made by applicationDidFinishLaunching()).
    RNCleanupScheduler* cleanupScheduler() const { return cleanup_; }
    bool volumesLoaded() const { return volumesLoaded_; }

    // Menu operations.
    void setupStatusMenu();
    void addSubTrashMenu();
    void menuNeedsUpdate(QMenu* menu);
    void updateDisksSubmenu(bool added, const std::string& devicePath);
    static QAction* itemWithTag(QMenu* menu, int tag);
    static int tagOf(QAction* action);

    // Actions.
    void mainMenuAction(int tag);
    void emptyAllTrashesAction();
    void emptyHardDriveTrashAction(RNDiskMenuItem* item);
    void lumoDeletion();
    void preferencesAction();
    void serviceMenuAction(int tag);
    void showAboutPanel();
    void checkForUpdate();
    void uninstall();
    // A second start asked this one to show itself.
    void activateFromOtherInstance();

    // Notifications and timers.
    void workspaceHardDrivesObserver(bool didMount, const std::string& devicePath);
    void stopWorking(const erase::RNNotification& note);
    // After an erase from the window that removed something, the window is released at once.
    void lumoWindowDidClose(bool somethingErased = false);
    void installEmptyTimer();
    void cleanSubmenuViews();
    void cleanSubMenuMemory();
    void invalidateMenuTimer();
    void installCleanLumoWindowMemory();
    // The icon's tool tip: what the automatic clean-up is doing, when it runs.
    void showCleanupInToolTip();
    void cleanLumoWindowMemory();
    void invalidateLumoWindowTimer();
    void cleanMemoryNow();

    // First run and the access check. The disclaimer (isUserAgree) comes first, before the
    // helper's install question; showFirstWindow() then shows the welcome pages on a first run.
    int64_t isUserAgree();
    bool showFirstWindow();
    void checkForFullDiskAccess();
    void showWelcome();
    void subscribeNewsletter();
    // "Quillo is running": a desktop notification where there is a tray, else a window.
    void showInfoWebWindow();
    RNRunningNotice* runningNotice() const { return runningNotice_; }
    // A stored hot key as the desktop names it ("Ctrl+Super+Backspace"); empty when this
    // desktop has no global hot keys.
    QString hotKeyText(const char* preferenceKey) const;

    // Reads the volume list on a worker and runs `then` on the main thread with it in place.
    void refreshVolumes(std::function<void()> then = {});

    // Hot keys: (re)registers the global hot key (identifier = the key path) and the menu key
    // equivalent of "values.empty_trash" or "values.lumo_delete" from the stored preference.
    void hotKeyPreferenceChanged(const std::string& keyPath);
    // A hot key was pressed.
    void hotKeyPressed(const QString& identifier);

signals:
    void startupFinished();
    void volumesRefreshed();
    void eraseFinished();
    void mountHandled(bool didMount, const QString& devicePath);

private:
    void continueStartup(bool helperAuthorized, bool firstRun);
    // The start-up clean-up pass, once both the start-up and the first volume listing are done.
    void runStartupCleanupWhenReady();
    // Says once that the preferences file could not be read, and where it is kept.
    void reportDamagedPreferences(const erase::RNUserDefaults::Damage& damage);
    void volumesDidRefresh(const std::function<void()>& then);
    RNDiskMenuItem* addDiskMenuItemWithDict(const files::TrashLocation& dict, RNDiskMenuItem* item, int tag);
    RNDiskMenuItem* makeDiskMenuItem(const files::TrashLocation& dict);
    void createMenuViewsWithCount(size_t count, bool createNewArray);
    size_t indexOfMenuItemInArray(const std::string& path) const;
    void applyMenuEnabledStates();
    void updateKeyEquivalent(int tag, const std::string& prefKey);
    void startErase(const erase::RNDictionary& request, const erase::RNItemList* items);
    void welcomeDidClose();
    void finishUninstall(bool helperGone);
    void revealApplication();
    QIcon trayIcon() const;
    static bool canPopUpMenuAtPointer();

    bool isWorking_ = false;
    bool menuIsOpen_ = false;
    std::unique_ptr<QMenu> quilloMenu_;
    QMenu* subTrashMenu_ = nullptr;    // owned by quilloMenu_
    QMenu* serviceMenu_ = nullptr;     // owned by quilloMenu_
    QPointer<mainwindow::RNWindowCntrl> lumoWindow_;
    QSystemTrayIcon* statusItem_ = nullptr;
    std::vector<RNDiskMenuItem*> submenuViews_;  // owned by this object
    bool hasSubmenuViews_ = false;
    ui::RNPreferencesWindow* prefWindowCntrl_ = nullptr;  // made on first use, kept
    QTimer lumoWindowTimer_;
    QTimer menuTimer_;
    std::shared_ptr<erase::RNDeleteItems> deleteItemsCntrl_;
    RNRunningNotice* runningNotice_ = nullptr;
    QPointer<ui::RNSubscribe> subscribe_;
    QPointer<ui::RNWelcomeCntrl> welcome_;

    std::vector<files::TrashLocation> volumes_;
    bool volumesLoaded_ = false;
    RNMountWatcher* mountWatcher_ = nullptr;
    std::vector<erase::RNObserverToken> observers_;
    std::vector<erase::RNObserverToken> defaultsObservers_;
    bool trayMissingReported_ = false;
    RNCleanupScheduler* cleanup_ = nullptr;
    bool startupContinued_ = false;
    bool startupCleanupDone_ = false;
};

// The process's delegate (set by the constructor), for the preferences window.
RNQuillo* sharedDelegate();

// Makes the built-in icons available (call once before the first icon is loaded).
void initQuilloResources();

}  // namespace quillo::shell
