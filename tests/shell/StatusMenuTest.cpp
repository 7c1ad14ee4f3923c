// The status menu and its disk rows, offscreen, in a private mount namespace when run as root
// (then the volumes are / with the temporary home's trash and the tmpfs volumes the tests mount).
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "GuiTest.h"
#include "shell/RNDiskMenuItemView.h"
#include "shell/RNMountWatcher.h"
#include "shell/RNQuillo.h"
#include "shell/RNStatusMenu.h"
#include "mainwindow/RNVolumeListModel.h"
#include "support/TestSupport.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "ui/RNSpinner.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

#include <sys/mount.h>

#include <future>
#include <map>

using namespace quillo;
using namespace quillo::erase;
using namespace quillo::test;
using shell::RNDiskMenuItem;
using shell::RNQuillo;

namespace {

QString text(const char* key) { return QString::fromStdString(util::RNLocalizedString(key)); }

class StatusMenuTest : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        auto& defaults = RNUserDefaults::standardUserDefaults();
        defaults.setBool(kPrefIsFirstRun, false);
        defaults.setBool(kPrefShowInstallHelperTool, true);
        dispatcher = ui::RNQtMainThread::install();
        shell::initQuilloResources();
    }
    void TearDown() override {
        delegate.reset();
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNDeleteItems::setProgressWindowFactory(nullptr);
        RNDeleteItems::waitForTickToEnd();
        RNMainThread::setActive(nullptr);
        RNUserDefaults::resetStandardUserDefaults();
    }

    void start() {
        delegate = std::make_unique<RNQuillo>();
        QSignalSpy started(delegate.get(), &RNQuillo::startupFinished);
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(waitUntil([&] { return started.count() > 0 && delegate->volumesLoaded(); }));
    }

    // Isolated runs only: the volumes are then ours.
    bool isolated() const { return std::getenv("QUILLO_TEST_ISOLATED") != nullptr; }

    // A tmpfs volume whose trash holds `count` files of 5 bytes.
    std::unique_ptr<ScopedMount> plantedVolume(int count) {
        auto m = std::make_unique<ScopedMount>(home.root(), ScopedMount::Kind::Tmpfs);
        if (!m->ok()) return nullptr;
        const std::string trash = m->mountPoint() + "/.Trash-0";
        makeDirs(trash + "/files", 0700);
        makeDirs(trash + "/info", 0700);
        for (int i = 0; i < count; ++i) {
            writeFile(trash + "/files/item" + std::to_string(i), "12345");
            TempHome::plantTrashInfo(trash, "item" + std::to_string(i));
        }
        return m;
    }

    RNDiskMenuItem* rowFor(const std::string& volumePath) {
        for (RNDiskMenuItem* r : delegate->submenuViews())
            if (r->view()->diskDict().volumePath == volumePath) return r;
        return nullptr;
    }

    void openSubmenu() {
        ASSERT_NE(delegate->subTrashMenu(), nullptr);
        delegate->subTrashMenu()->popup(QPoint(10, 10));
        ASSERT_TRUE(waitUntil([&] { return delegate->subTrashMenu()->isVisible(); }));
    }

    TempHome home;
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::unique_ptr<RNQuillo> delegate;
};

}  // namespace

TEST_F(StatusMenuTest, TagsAndEnabledStatesFollowIsWorking) {
    start();
    QMenu* menu = delegate->quilloMenu();
    for (int tag : {31, 30, 20, 33}) ASSERT_NE(RNQuillo::itemWithTag(menu, tag), nullptr) << tag;
    // The service menu got its update-check entry at the top.
    ASSERT_NE(RNQuillo::itemWithTag(delegate->serviceMenu(), shell::kTagUpdate), nullptr);
    EXPECT_EQ(RNQuillo::tagOf(delegate->serviceMenu()->actions().first()), shell::kTagUpdate);
    for (bool working : {true, false, true, false}) {
        delegate->setIsWorking(working);
        for (int tag : {31, 30, 20, 33})
            EXPECT_EQ(RNQuillo::itemWithTag(menu, tag)->isEnabled(), !working) << tag << " working " << working;
    }
    // The key equivalents show the hot keys from the preferences, and follow a change.
    EXPECT_EQ(RNQuillo::itemWithTag(menu, 31)->shortcut(), QKeySequence(Qt::CTRL | Qt::META | Qt::Key_Backspace));
    EXPECT_EQ(RNQuillo::itemWithTag(menu, 30)->shortcut(), QKeySequence(Qt::SHIFT | Qt::META | Qt::Key_S));
    // One name for one key: the menu spells them as the preferences do (Super, after Ctrl).
    auto* statusMenu = qobject_cast<shell::RNStatusMenu*>(menu);
    ASSERT_NE(statusMenu, nullptr);
    EXPECT_EQ(statusMenu->shownText(RNQuillo::itemWithTag(menu, 31)),
              text("empty_all_menu_item_title") + "\tCtrl+Super+Backspace");
    EXPECT_EQ(statusMenu->shownText(RNQuillo::itemWithTag(menu, 30)),
              text("lumo_menu_item_title") + "\tShift+Super+S");
    RNUserDefaults::standardUserDefaults().setObject(
        kPrefEmptyTrash, RNDictionary{{kHotKeyCode, int64_t(Qt::Key_E)},
                                      {kHotKeyModifierFlags, int64_t(Qt::ControlModifier | Qt::AltModifier)}});
    EXPECT_TRUE(waitUntil([&] {
        return RNQuillo::itemWithTag(menu, 31)->shortcut() == QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_E);
    }));
    if (!isolated()) return;
    // Only / is mounted here: with one volume there is no per-disk submenu.
    EXPECT_EQ(delegate->volumes().size(), 1u);
    EXPECT_EQ(RNQuillo::itemWithTag(menu, 32), nullptr);
}

TEST_F(StatusMenuTest, RowsShowGatheringThenTheMeasuredFiguresAndEmptyTrashesAreDisabled) {
    if (!isolated()) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    auto volume = plantedVolume(2);
    ASSERT_TRUE(volume);
    // Hold the measurement queue so that the rows are seen before their figures arrive.
    auto& queue = RNOperationQueue::named(shell::kMenuCreationOperationQueue);
    queue.setMaxConcurrentOperationCount(1);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    queue.addOperation([released] { released.wait(); });
    start();

    QMenu* menu = delegate->quilloMenu();
    QAction* holder = RNQuillo::itemWithTag(menu, 32);
    ASSERT_NE(holder, nullptr);
    const auto actions = menu->actions();
    EXPECT_EQ(actions.indexOf(holder), actions.indexOf(RNQuillo::itemWithTag(menu, 31)) + 1);

    openSubmenu();
    ASSERT_EQ(delegate->submenuViews().size(), 2u);
    RNDiskMenuItem* full = rowFor(volume->mountPoint());
    RNDiskMenuItem* empty = rowFor("/");
    ASSERT_TRUE(full && empty);
    EXPECT_GE(full->tag(), 1001);
    EXPECT_LE(full->tag(), 1002);
    EXPECT_EQ(full->view()->infoText(), text("gathering_info"));
    EXPECT_TRUE(full->view()->spinner()->spinnerIsWorking());
    EXPECT_TRUE(full->isEnabled());
    EXPECT_EQ(empty->view()->infoText(), text("trash_empty"));
    EXPECT_FALSE(empty->isEnabled());
    EXPECT_TRUE(full->view()->title().endsWith(QChar(0x2026)));

    release.set_value();
    ASSERT_TRUE(waitUntil([&] { return full->view()->info().has_value(); }));
    queue.setMaxConcurrentOperationCount(RNOperationQueue::kDefaultMaxConcurrentOperationCount);
    EXPECT_EQ(full->view()->infoText(), "2 items, 10 bytes");
    EXPECT_EQ(full->view()->itemsCount(), 2u);
    EXPECT_EQ(full->view()->itemsSize(), 10u);
    EXPECT_EQ(full->view()->itemsToErase().size(), 2u);
    EXPECT_FALSE(full->view()->spinner()->spinnerIsWorking());
    // An exported menu shows no widget: the action's own text carries the figures.
    EXPECT_TRUE(full->text().contains("2 items, 10 bytes")) << full->text().toStdString();
    EXPECT_TRUE(empty->text().contains(text("trash_empty")));

    // While working, every row is disabled; afterwards only the empty one stays so.
    delegate->setIsWorking(true);
    EXPECT_FALSE(full->isEnabled());
    EXPECT_FALSE(holder->isEnabled());
    delegate->setIsWorking(false);
    EXPECT_TRUE(full->isEnabled());
    EXPECT_FALSE(empty->isEnabled());
    delegate->subTrashMenu()->close();
}

TEST_F(StatusMenuTest, ChoosingARowBlinksThreeTimesClosesTheMenuThenSendsTheAction) {
    if (!isolated()) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    auto volume = plantedVolume(1);
    ASSERT_TRUE(volume);
    start();
    openSubmenu();
    RNDiskMenuItem* row = rowFor(volume->mountPoint());
    ASSERT_NE(row, nullptr);
    ASSERT_TRUE(waitUntil([&] { return row->view()->info().has_value(); }));
    // No prompt front end: the confirmation gets its safe answer (cancel), nothing is erased.
    QSignalSpy sent(row->view(), &shell::RNDiskMenuItemView::actionSent);
    QSignalSpy finished(delegate.get(), &RNQuillo::eraseFinished);

    row->view()->setMenuItemIsSelected(true);
    QElapsedTimer clock;
    clock.start();
    row->view()->chosenItemAction();
    std::vector<qint64> toggles{0};
    bool last = row->view()->menuItemIsSelected();
    EXPECT_FALSE(last);  // the first toggle happens at once
    qint64 closedAt = -1, sentAt = -1;
    waitUntil([&] {
        if (row->view()->menuItemIsSelected() != last && toggles.size() < 3) {
            last = !last;
            toggles.push_back(clock.elapsed());
        }
        if (closedAt < 0 && !delegate->subTrashMenu()->isVisible()) closedAt = clock.elapsed();
        if (sentAt < 0 && sent.count() > 0) sentAt = clock.elapsed();
        return sentAt >= 0;
    }, 3000);
    ASSERT_EQ(toggles.size(), 3u);
    // Qt timers may fire a millisecond or two before their interval as the clock reads it.
    EXPECT_GE(toggles[1], 123);
    EXPECT_GE(toggles[2], 248);
    EXPECT_GE(closedAt, 373);
    EXPECT_GE(sentAt, closedAt + 98);
    EXPECT_LT(sentAt, 2000);
    // The action ran: the declined confirmation ended the session and cleared isWorking.
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }));
    EXPECT_FALSE(delegate->isWorking());
    EXPECT_EQ(listFolder(volume->mountPoint() + "/.Trash-0/files").size(), 1u);

    // A disabled row is not chosen: it only closes the menu.
    openSubmenu();
    RNDiskMenuItem* empty = rowFor("/");
    ASSERT_NE(empty, nullptr);
    QSignalSpy emptySent(empty->view(), &shell::RNDiskMenuItemView::actionSent);
    empty->view()->chosenItemAction();
    EXPECT_TRUE(waitUntil([&] { return !delegate->subTrashMenu()->isVisible(); }, 1000));
    // Only the blink sends the action, and its first toggle is at once: none was started.
    EXPECT_FALSE(empty->view()->menuItemIsSelected());
    EXPECT_EQ(empty->view()->fireTimes(), 0);
    EXPECT_EQ(emptySent.count(), 0);
}

TEST_F(StatusMenuTest, MountAddsTheRowWithTheFreshListAndUnmountRemovesItAtOnce) {
    if (!isolated()) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    auto first = plantedVolume(1);
    ASSERT_TRUE(first);
    start();
    openSubmenu();
    delegate->subTrashMenu()->close();
    ASSERT_EQ(delegate->submenuViews().size(), 2u);

    struct Seen {
        bool added;
        std::string path;
        bool rowPresent;
    };
    std::vector<Seen> seen;
    QObject::connect(delegate.get(), &RNQuillo::mountHandled, [&](bool added, const QString& p) {
        const std::string path = shell::mountPathFromQString(p);
        seen.push_back({added, path, rowFor(path) != nullptr});
    });
    QSignalSpy handled(delegate.get(), &RNQuillo::mountHandled);
    auto& volumes = mainwindow::RNVolumeListModel::sharedModel();
    auto second = plantedVolume(3);
    ASSERT_TRUE(second);
    ASSERT_TRUE(waitUntil([&] { return handled.count() >= 1; }));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].added);
    EXPECT_EQ(seen[0].path, second->mountPoint());
    EXPECT_TRUE(seen[0].rowPresent);  // the row came with the fresh list
    EXPECT_GE(volumes.rowOfVolumePath(second->mountPoint()), 0) << "the shared model has it too";
    ASSERT_EQ(delegate->submenuViews().size(), 3u);
    RNDiskMenuItem* added = rowFor(second->mountPoint());
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->tag(), 1003);
    ASSERT_TRUE(waitUntil([&] { return added->view()->info().has_value(); }));
    EXPECT_EQ(added->view()->itemsCount(), 3u);

    const std::string gonePath = second->mountPoint();
    second.reset();  // unmounts
    ASSERT_TRUE(waitUntil([&] { return handled.count() >= 2; }));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[1].added);
    EXPECT_EQ(seen[1].path, gonePath);
    EXPECT_FALSE(seen[1].rowPresent);  // taken out at once
    EXPECT_EQ(rowFor(gonePath), nullptr);
    EXPECT_EQ(delegate->submenuViews().size(), 2u);
    EXPECT_TRUE(waitUntil([&] { return volumes.rowOfVolumePath(gonePath) < 0; }));
}

// Rows belong to their trash, not to a position: a volume that comes into the list before
// measured rows (a read-only volume turned writable keeps its place in the mount table) gets a
// row of its own, and every other row keeps its own figures and enabled state.
TEST_F(StatusMenuTest, AVolumeListedBeforeMeasuredRowsLeavesEachRowItsOwnFigures) {
    if (!isolated()) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    auto early = plantedVolume(4);  // mounted first, so listed before `late`...
    ASSERT_TRUE(early);
    ASSERT_TRUE(early->remount(true)) << "...but read-only: not listed yet";
    auto late = plantedVolume(2);
    ASSERT_TRUE(late);
    start();
    openSubmenu();
    ASSERT_EQ(delegate->submenuViews().size(), 2u);
    RNDiskMenuItem* lateRow = rowFor(late->mountPoint());
    ASSERT_NE(lateRow, nullptr);
    ASSERT_TRUE(waitUntil([&] { return lateRow->view()->info().has_value(); }));
    EXPECT_EQ(lateRow->view()->infoText(), "2 items, 10 bytes");
    delegate->subTrashMenu()->close();

    ASSERT_TRUE(early->remount(false));
    QSignalSpy refreshed(delegate.get(), &RNQuillo::volumesRefreshed);
    delegate->refreshVolumes();
    ASSERT_TRUE(waitUntil([&] { return refreshed.count() > 0; }));
    ASSERT_EQ(delegate->volumes().size(), 3u);
    EXPECT_EQ(delegate->volumes()[1].volumePath, early->mountPoint()) << "listed before the measured row";
    openSubmenu();
    ASSERT_EQ(delegate->submenuViews().size(), 3u);
    RNDiskMenuItem* earlyRow = rowFor(early->mountPoint());
    ASSERT_NE(earlyRow, nullptr);
    EXPECT_EQ(rowFor(late->mountPoint()), lateRow) << "the measured row is kept, not rebuilt";
    EXPECT_EQ(lateRow->view()->infoText(), "2 items, 10 bytes");
    EXPECT_EQ(lateRow->view()->diskDict().trashURL, late->mountPoint() + "/.Trash-0/files");
    EXPECT_TRUE(lateRow->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return earlyRow->view()->info().has_value(); }));
    EXPECT_EQ(earlyRow->view()->infoText(), "4 items, 20 bytes");
    EXPECT_EQ(earlyRow->view()->itemsToErase().size(), 4u);
    EXPECT_TRUE(earlyRow->isEnabled());
    EXPECT_FALSE(rowFor("/")->isEnabled());
    // The menu shows them in the list's order, each tagged by its place.
    const auto actions = delegate->subTrashMenu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[1], earlyRow);
    EXPECT_EQ(actions[2], lateRow);
    EXPECT_EQ(earlyRow->tag(), 1002);
    EXPECT_EQ(lateRow->tag(), 1003);
    delegate->subTrashMenu()->close();
}

TEST_F(StatusMenuTest, AnEraseThatRemovedItemsReleasesTheRowsOneThatRemovedNothingKeepsThem) {
    if (!isolated()) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    auto volume = plantedVolume(1);
    ASSERT_TRUE(volume);
    start();
    openSubmenu();
    delegate->subTrashMenu()->close();
    ASSERT_TRUE(delegate->hasSubmenuViews());
    delegate->setIsWorking(true);
    delegate->stopWorking(RNNotification{kStopWorking, nullptr, RNDictionary{{"erasedCount", uint64_t(0)}}});
    EXPECT_FALSE(delegate->isWorking());
    EXPECT_TRUE(delegate->hasSubmenuViews());
    delegate->stopWorking(RNNotification{kStopWorking, nullptr, std::nullopt});
    EXPECT_TRUE(delegate->hasSubmenuViews());
    delegate->stopWorking(RNNotification{kStopWorking, nullptr, RNDictionary{{"erasedCount", uint64_t(4)}}});
    EXPECT_FALSE(delegate->hasSubmenuViews());
    EXPECT_TRUE(delegate->submenuViews().empty());
}

// One volume's trash emptied from its row with the real dialogs: confirm, the progress panel's
// session runs, the trash is empty, the log is written and the menu is idle again.
TEST_F(StatusMenuTest, EmptyingOneVolumeThroughTheRowWithTheQtDialogs) {
    if (!isolated()) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    auto volume = plantedVolume(4);
    ASSERT_TRUE(volume);
    ASSERT_TRUE(volumeListIsOurs({volume->mountPoint()}));  // this test erases
    RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
    RNDeleteItems::setProgressWindowFactory(ui::RNProgressWindowCntrl::factory());
    start();
    openSubmenu();
    RNDiskMenuItem* row = rowFor(volume->mountPoint());
    ASSERT_NE(row, nullptr);
    ASSERT_TRUE(waitUntil([&] { return row->view()->info().has_value(); }));
    QString question;
    onNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        question = box->text();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == text("empty_trash_button")) b->click();
    });
    QSignalSpy finished(delegate.get(), &RNQuillo::eraseFinished);
    row->trigger();  // as a click in an exported menu does
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 20000));
    EXPECT_TRUE(question.contains(QString::fromStdString(files::lastPathComponent(volume->mountPoint()))))
        << question.toStdString();
    EXPECT_TRUE(listFolder(volume->mountPoint() + "/.Trash-0/files").empty());
    EXPECT_FALSE(delegate->isWorking());
    EXPECT_EQ(delegate->deleteItemsCntrl(), nullptr);
    EXPECT_FALSE(delegate->hasSubmenuViews());  // something was erased: rows are rebuilt
    EXPECT_FALSE(listFolder(home.stateHome() + "/Quillo 3").empty());
}

TEST_F(StatusMenuTest, TheLumoWindowEntryPointAndBothIdleTimers) {
    start();
    delegate->mainMenuAction(shell::kTagLumo);
    ASSERT_NE(delegate->lumoWindow(), nullptr);
    EXPECT_TRUE(delegate->lumoWindow()->isVisible());
    EXPECT_TRUE(delegate->isWorking());
    delegate->lumoWindow()->close();  // emits closed()
    ASSERT_TRUE(waitUntil([&] { return !delegate->isWorking(); }));
    EXPECT_TRUE(delegate->lumoWindowTimerActive());
    // While an erase runs the window is kept; once idle it is released.
    delegate->setIsWorking(true);
    delegate->cleanLumoWindowMemory();
    EXPECT_NE(delegate->lumoWindow(), nullptr);
    EXPECT_TRUE(delegate->lumoWindowTimerActive());
    delegate->setIsWorking(false);
    delegate->cleanLumoWindowMemory();
    EXPECT_TRUE(waitUntil([&] { return delegate->lumoWindow() == nullptr; }));
    EXPECT_FALSE(delegate->lumoWindowTimerActive());

    if (!isolated()) return;
    auto volume = plantedVolume(1);
    ASSERT_TRUE(volume);
    ASSERT_TRUE(waitUntil([&] { return delegate->subTrashMenu() != nullptr; }));
    openSubmenu();
    EXPECT_TRUE(delegate->menuIsOpen());
    delegate->cleanSubmenuViews();  // the timer fired while the submenu is open: wait more
    EXPECT_TRUE(delegate->hasSubmenuViews());
    EXPECT_TRUE(delegate->menuTimerActive());
    delegate->subTrashMenu()->close();
    EXPECT_FALSE(delegate->menuIsOpen());
    EXPECT_TRUE(delegate->menuTimerActive());
    delegate->cleanSubmenuViews();
    EXPECT_FALSE(delegate->hasSubmenuViews());
    EXPECT_FALSE(delegate->menuTimerActive());
}

// Emptying every trash from the hot key (or quillo --empty-all) while the Lumo Window is open:
// when that erase ends, declined here, the menu stays disabled until the window closes.
TEST_F(StatusMenuTest, AnEraseEndingWhileTheLumoWindowIsOpenKeepsTheMenuDisabled) {
    RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
    start();
    delegate->mainMenuAction(shell::kTagLumo);
    ASSERT_TRUE(delegate->isWorking());
    bool asked = false;
    onNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box) return;
        asked = true;
        for (QAbstractButton* b : box->buttons())
            if (box->buttonRole(b) == QMessageBox::RejectRole) b->click();
    });
    QSignalSpy finished(delegate.get(), &RNQuillo::eraseFinished);
    delegate->emptyAllTrashesAction();
    ASSERT_TRUE(waitUntil([&] { return finished.count() > 0; }, 20000));
    EXPECT_TRUE(asked);
    EXPECT_TRUE(delegate->isWorking()) << "the Lumo Window is still open";
    delegate->lumoWindow()->close();
    EXPECT_TRUE(waitUntil([&] { return !delegate->isWorking(); }));
}

// A row belongs to its trash, not to its place in the list. A volume that comes before an
// already measured one in the volume list (mounted out of sight under /run, then moved into
// view: a moved mount keeps its place in the kernel's table) must not take over that row's
// figures when the submenu is built again.
TEST_F(StatusMenuTest, RowsKeepTheirOwnTrashesFiguresWhenAVolumeComesBeforeThem) {
    if (!isolated()) GTEST_SKIP() << "needs root (a private mount namespace and a tmpfs)";
    RootOnlyFolder hidden;  // under /run: no volume there is listed
    ASSERT_FALSE(hidden.path().empty());
    ScopedMount early(hidden.path(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(early.ok()) << early.error();
    makeDirs(early.mountPoint() + "/.Trash-0/files", 0700);
    writeFile(early.mountPoint() + "/.Trash-0/files/only", "1");
    auto existing = plantedVolume(3);
    ASSERT_TRUE(existing);
    start();
    openSubmenu();
    RNDiskMenuItem* measured = rowFor(existing->mountPoint());
    ASSERT_NE(measured, nullptr);
    ASSERT_TRUE(waitUntil([&] { return measured->view()->info().has_value(); }));
    EXPECT_EQ(measured->view()->itemsCount(), 3u);
    delegate->subTrashMenu()->close();

    QSignalSpy handled(delegate.get(), &RNQuillo::mountHandled);
    const std::string moved = home.root() + "/early";
    makeDirs(moved);
    ASSERT_EQ(run("mount --move " + shellQuote(early.mountPoint()) + " " + shellQuote(moved) + " 2>&1"), 0);
    ASSERT_TRUE(waitUntil([&] { return handled.count() > 0; }, 20000));
    // The premise: the new volume is listed before the measured one.
    std::vector<std::string> order;
    for (const auto& v : delegate->volumes()) order.push_back(v.volumePath);
    ASSERT_EQ(order, (std::vector<std::string>{"/", moved, existing->mountPoint()}));

    openSubmenu();
    ASSERT_EQ(delegate->submenuViews().size(), 3u);
    const std::map<std::string, uint64_t> counts{{moved, 1}, {existing->mountPoint(), 3}};
    for (const auto& [path, count] : counts) {
        RNDiskMenuItem* row = rowFor(path);
        ASSERT_NE(row, nullptr) << path;
        ASSERT_TRUE(waitUntil([&] { return row->view()->info().has_value(); })) << path;
        EXPECT_EQ(row->view()->itemsCount(), count) << path;
        EXPECT_EQ(row->view()->diskDict().trashURL, path + "/.Trash-0/files");
        EXPECT_TRUE(row->isEnabled()) << path;
    }
    // The rows are in the list's order, and the empty home trash's row stays disabled.
    const auto actions = delegate->subTrashMenu()->actions();
    ASSERT_EQ(actions.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(qobject_cast<RNDiskMenuItem*>(actions[i])->view()->diskDict().volumePath, order[size_t(i)]);
    EXPECT_FALSE(rowFor("/")->isEnabled());
    EXPECT_EQ(rowFor("/")->view()->infoText(), text("trash_empty"));
    delegate->subTrashMenu()->close();
    ::umount2(moved.c_str(), MNT_DETACH);
}
