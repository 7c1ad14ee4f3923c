// The status menu, the per-disk submenu and the menu actions of the application delegate.
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "shell/RNDiskMenuItemView.h"
#include "mainwindow/RNWindowCntrl.h"
#include "shell/RNQuillo.h"
#include "shell/hotkeys/RNHotKeyCenter.h"
#include "ui/preferences/RNPreferencesWindow.h"
#include "ui/RNInfoWindows.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QDesktopServices>
#include <QKeySequence>
#include <QMessageBox>
#include <QUrl>

#include <iostream>

namespace quillo::shell {

using namespace quillo::erase;
using ui::L;

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
    quilloMenu_ = std::make_unique<QMenu>();
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
    statusItem_->setToolTip(QStringLiteral("Quillo"));
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
    if (!session->askToContinue(request)) return;  // declined: "stopWorking" follows
    QTimer::singleShot(kProceedDelayMs, this, [session, array] { session->proceedToEraseWithArray(array); });
}

void RNQuillo::emptyAllTrashesAction() {
    // One erase at a time: a hot key pressed while one runs does nothing.
    if (deleteItemsCntrl_) return;
    setIsWorking(true);
    // The volume list is read afresh in the background; the confirmation follows.
    refreshVolumes([this] {
        if (deleteItemsCntrl_) return;
        RNArray volumes;
        for (const auto& v : volumes_) volumes.push_back(trashDict(v));
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
    if (!lumoWindow_) lumoWindow_ = new mainwindow::RNWindowCntrl;
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
