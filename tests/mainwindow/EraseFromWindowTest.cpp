// Erasing from the Lumo Window end to end, with the real Qt confirmation sheet and progress panel,
// on planted trashes. The window is built on its own, as the tray's entry builds it, without the
// tray application: what the window promises is what it posts when it closes.
#include "GuiTest.h"
#include "LumoTestSupport.h"

#include "erase/RNDeleteItems.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

#include <condition_variable>
#include <filesystem>

using namespace quillo;
using namespace quillo::mainwindow;
using namespace quillo::test;
using erase::RNDeleteItems;

namespace {

class EraseFromWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        erase::RNUserDefaults::resetStandardUserDefaults();
        erase::setupDefaultsPreferences();  // as the application registers them at launch
        auto& defaults = erase::RNUserDefaults::standardUserDefaults();
        defaults.setBool(erase::kPrefIsFirstRun, false);
        defaults.setBool(erase::kPrefShowInstallHelperTool, true);
        dispatcher = ui::RNQtMainThread::install();
        erase::RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
        RNDeleteItems::setProgressWindowFactory(ui::RNProgressWindowCntrl::factory());
        auto& center = erase::RNNotificationCenter::defaultCenter();
        observers.push_back(center.addObserver("lumoWindowDidClose", nullptr, [this](const erase::RNNotification& n) {
            closedWithErased.push_back(n.info("erasedCount").uintValue());
        }));
        // Posted from the erase's tick thread.
        observers.push_back(center.addObserver(erase::kStopWorking, nullptr, [this](const erase::RNNotification&) {
            ++sessionsEnded;
        }));
    }
    void TearDown() override {
        window.reset();
        for (auto& token : observers) erase::RNNotificationCenter::defaultCenter().removeObserver(token);
        erase::RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNDeleteItems::setProgressWindowFactory(nullptr);
        RNDeleteItems::waitForTickToEnd();
        erase::RNMainThread::setActive(nullptr);
        erase::RNUserDefaults::resetStandardUserDefaults();
    }

    // Opens the window as the tray menu's entry does, and waits for its trashes to be listed.
    RNWindowCntrl* openWindow(size_t sources) {
        window = std::make_unique<RNWindowCntrl>();
        window->showWindow();
        auto* model = window->sourceViewCntrl()->model();
        EXPECT_TRUE(waitUntil([&] { return model->listingFinished() && model->rowCount() == int(sources); }));
        return window.get();
    }

    // The window closed by itself and said how many items were erased.
    bool closedAfterErasing() const { return !closedWithErased.empty() && closedWithErased.back() > 0; }

    static RNLumoWindowItemPtr child(const RNSourceItemPtr& source, const std::string& name) {
        for (const auto& c : source->children)
            if (c->name == name) return c;
        return nullptr;
    }

    // Answers the confirmation sheet on the window with its erase button.
    static void confirmOn(QWidget* window, QString* question = nullptr) {
        ASSERT_TRUE(waitUntil([&] {
            for (auto* box : window->findChildren<QMessageBox*>())
                if (box->isVisible()) return true;
            return false;
        }, 10000));
        for (auto* box : window->findChildren<QMessageBox*>()) {
            if (!box->isVisible()) continue;
            if (question) *question = box->text() + QLatin1Char('\n') + box->informativeText();
            for (QAbstractButton* b : box->buttons())
                if (b->text() == QString::fromStdString(util::RNLocalizedString("erase_checked_button"))) b->click();
        }
    }

    std::string logText() {
        std::string all;
        const std::string dir = home.stateHome() + "/Quillo 3";
        std::error_code ec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
            if (e.is_regular_file()) all += readFile(e.path().string());
        return all;
    }

    TempHome home;
    PlantedTrashes trashes{home};
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::unique_ptr<RNWindowCntrl> window;
    std::vector<erase::RNObserverToken> observers;
    std::vector<uint64_t> closedWithErased;  // "lumoWindowDidClose", main thread
    std::atomic<int> sessionsEnded{0};
};

}  // namespace

TEST_F(EraseFromWindowTest, MarkedItemsOfTwoTrashesAreErasedInOneGo) {
    const size_t a = trashes.addVolume("Alpha");
    const size_t b = trashes.addVolume("Beta");
    trashes.addFile(a, "a1", "aaaa");
    trashes.addFile(a, "keepA", "k");
    trashes.addFolder(a, "dirA", 3);
    trashes.addFile(b, "b\xff" "1", "bbbbbb");
    trashes.addFile(b, "keepB", "k");
    RNWindowCntrl* window = openWindow(2);
    ASSERT_NE(window, nullptr);
    auto* model = window->sourceViewCntrl()->model();
    auto srcA = model->sourceAt(0), srcB = model->sourceAt(1);
    ASSERT_TRUE(waitUntil([&] { return srcA->lockedGathering() == 0 && srcB->lockedGathering() == 0; }));
    for (auto item : {child(srcA, "a1"), child(srcA, "dirA"), child(srcB, "b\xff" "1")}) {
        ASSERT_NE(item, nullptr);
        item->isMarked = true;
    }
    model->updateMarkedItems(srcA);
    model->updateMarkedItems(srcB);
    EXPECT_EQ(srcA->markedCount, 2u);

    window->contentViewCntrl()->eraseBtn()->click();
    QString question;
    confirmOn(window, &question);
    // Something was erased: the window closes by itself and says so.
    ASSERT_TRUE(waitUntil([&] { return closedAfterErasing(); }, 20000));
    EXPECT_FALSE(window->isVisible());

    EXPECT_EQ(listFolder(trashes.filesDir(a)), (std::vector<std::string>{"keepA"}));
    EXPECT_EQ(listFolder(trashes.filesDir(b)), (std::vector<std::string>{"keepB"}));
    EXPECT_EQ(listFolder(trashes.trashDir(a) + "/info"), (std::vector<std::string>{"keepA.trashinfo"}));
    EXPECT_EQ(listFolder(trashes.trashDir(b) + "/info"), (std::vector<std::string>{"keepB.trashinfo"}));
    const std::string log = logText();
    EXPECT_NE(log.find(trashes.filesDir(a) + "/a1"), std::string::npos) << log;
    EXPECT_NE(log.find(trashes.filesDir(a) + "/dirA"), std::string::npos) << log;
    // The log is text: the byte that is not UTF-8 is written escaped.
    EXPECT_NE(log.find(trashes.filesDir(b) + "/b\\xFF1"), std::string::npos) << log;
    EXPECT_EQ(log.find("keep"), std::string::npos) << log;
    EXPECT_TRUE(waitUntil([&] { return sessionsEnded > 0; }));
}

TEST_F(EraseFromWindowTest, OnlyAnEmptyFolderMarkedWhileMeasuringErasesWithoutAStop) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFolder(a, "empty", 0);
    trashes.addFile(a, "keep", "k");
    // The folder's walk is held back, so the erase starts before its totals are known.
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    RNSourceListModel::setWillMeasureFolderHook([&](const std::string&) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return go; });
    });
    RNWindowCntrl* window = openWindow(1);
    ASSERT_NE(window, nullptr);
    auto src = window->sourceViewCntrl()->model()->sourceAt(0);
    ASSERT_TRUE(waitUntil([&] { return src->children.size() == 2; }));
    const RNLumoWindowItemPtr empty = child(src, "empty");
    ASSERT_NE(empty, nullptr);
    empty->isMarked.store(true);
    window->contentViewCntrl()->eraseBtn()->click();
    confirmOn(window);
    // The erase has begun once the confirmation is gone.
    ASSERT_TRUE(waitUntil([&] {
        for (auto* box : window->findChildren<QMessageBox*>())
            if (box->isVisible()) return false;
        return true;
    }));
    {
        std::lock_guard lock(m);
        go = true;
    }
    cv.notify_all();
    // The totals (0 entries below the folder) arrive late; the erase goes on by itself.
    ASSERT_TRUE(waitUntil([&] { return closedAfterErasing(); }, 20000));
    EXPECT_EQ(listFolder(trashes.filesDir(a)), (std::vector<std::string>{"keep"}));
    EXPECT_FALSE(logText().empty());
    RNSourceListModel::setWillMeasureFolderHook(nullptr);
}

TEST_F(EraseFromWindowTest, CancelledConfirmationKeepsEverythingAndTheWindow) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "a1");
    RNWindowCntrl* window = openWindow(1);
    ASSERT_NE(window, nullptr);
    auto src = window->sourceViewCntrl()->model()->sourceAt(0);
    ASSERT_TRUE(waitUntil([&] { return src->children.size() == 1; }));
    src->children[0]->isMarked = true;
    window->contentViewCntrl()->eraseBtn()->click();
    ASSERT_TRUE(waitUntil([&] {
        for (auto* box : window->findChildren<QMessageBox*>())
            if (box->isVisible()) return true;
        return false;
    }, 10000));
    for (auto* box : window->findChildren<QMessageBox*>())
        if (box->isVisible())
            for (QAbstractButton* b : box->buttons())
                if (b->text() == QString::fromStdString(util::RNLocalizedString("cancel_btn"))) b->click();
    // The confirmation is answered and gone; the window stays open and says nothing.
    ASSERT_TRUE(waitUntil([&] {
        for (auto* box : window->findChildren<QMessageBox*>())
            if (box->isVisible()) return false;
        return true;
    }));
    drainPostedEvents();
    EXPECT_TRUE(closedWithErased.empty());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(listFolder(trashes.filesDir(a)), (std::vector<std::string>{"a1"}));
}
