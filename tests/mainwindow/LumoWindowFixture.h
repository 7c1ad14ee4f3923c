// The fixture the Lumo Window's offscreen tests share: a temporary home with planted trashes, the
// window opened on them as the tray's entry opens it, and waits until its lists hold still.
#pragma once

#include "GuiTest.h"
#include "LumoTestSupport.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNQtMainThread.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace quillo::test {

class LumoWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        erase::RNUserDefaults::resetStandardUserDefaults();
        dispatcher = ui::RNQtMainThread::install();
    }
    void TearDown() override {
        window.reset();
        erase::RNErrorDelegate::sharedControl().setBackend(nullptr);
        erase::RNMainThread::setActive(nullptr);
        erase::RNUserDefaults::resetStandardUserDefaults();
    }
    // Opens the window and waits until its `expectedSources` trashes are listed and settled.
    void open(size_t expectedSources) {
        window = std::make_unique<mainwindow::RNWindowCntrl>();
        window->showWindow();
        ASSERT_TRUE(waitUntil([&] { return sources()->listingFinished() && int(expectedSources) == sources()->rowCount(); }));
        settle();
    }
    // Every trash measured and dated, the source list's work applied, no sort under way.
    void settle() {
        ASSERT_TRUE(waitUntil([&] {
            for (const auto& s : sources()->sourceItems())
                if (s->lockedGathering() > 0 || !s->datesLoaded) return false;
            return !list()->isSorting();
        }));
        ASSERT_TRUE(waitUntil([&] { return sources()->isIdle() && !list()->isSorting(); }));
    }
    mainwindow::RNSourceListModel* sources() { return window->sourceViewCntrl()->model(); }
    mainwindow::RNListCntrl* list() { return window->contentViewCntrl()->listCntrl(); }
    void showSource(int row) {
        window->sourceViewCntrl()->selectRow(row);
        ASSERT_TRUE(waitUntil([&] { return list()->sourceItem() == sources()->sourceAt(row) && !list()->isSorting(); }));
    }
    // The content list's row of the item named `name`, or -1.
    int rowNamed(const std::string& name) {
        for (int r = 0; r < list()->model()->rowCount(); ++r)
            if (list()->model()->itemAt(r)->name == name) return r;
        return -1;
    }

    TempHome home;
    PlantedTrashes trashes{home};
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::unique_ptr<mainwindow::RNWindowCntrl> window;
};

}  // namespace quillo::test
