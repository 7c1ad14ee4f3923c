// The preferences window's "Clean up automatically" section, offscreen: each control writes its
// own key and follows changes made elsewhere, every control can be reached and named, and the
// preview shows what a planted trash would lose, with the total, and never a stale answer.
// As root in a private mount namespace (then the temporary home's trash is the only one).
#include "GuiTest.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "erase/RNUserDefaultsController.h"
#include "support/TestSupport.h"
#include "ui/preferences/RNCleanupSection.h"
#include "ui/preferences/RNPreferencesWindow.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QSpinBox>

using namespace quillo;
using namespace quillo::erase;
using namespace quillo::test;
using ui::RNCleanupSection;

namespace {

class CleanupSectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        controller = std::make_unique<RNUserDefaultsController>(&RNUserDefaults::standardUserDefaults());
        setupDefaultsPreferences(defaults(), *controller);
        prefs = std::make_unique<ui::RNPreferencesWindow>(*controller);
        section = prefs->window()->findChild<RNCleanupSection*>("cleanupSection");
        ASSERT_NE(section, nullptr);
    }
    void TearDown() override {
        prefs.reset();  // stops a preview under way
        controller.reset();
        RNUserDefaults::resetStandardUserDefaults();
    }

    RNUserDefaults& defaults() { return controller->defaults(); }
    template <class T>
    T* child(const char* name) {
        T* w = section->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    bool waitForPreview() {
        return waitUntil([&] { return !section->previewPending(); }, 60000);
    }

    TempHome home;
    std::unique_ptr<RNUserDefaultsController> controller;
    std::unique_ptr<ui::RNPreferencesWindow> prefs;
    RNCleanupSection* section = nullptr;
};

}  // namespace

TEST_F(CleanupSectionTest, EachControlWritesItsKeyAndFollowsChangesMadeElsewhere) {
    prefs->openWindowInModal(false);
    auto* older = child<QCheckBox>("cleanupOlderThanCheck");
    auto* days = child<QSpinBox>("cleanupOlderThanDays");
    auto* maxCheck = child<QCheckBox>("cleanupMaxTrashCheck");
    auto* maxValue = child<QDoubleSpinBox>("cleanupMaxTrashValue");
    auto* maxUnit = child<QComboBox>("cleanupMaxTrashUnit");
    auto* freeCheck = child<QCheckBox>("cleanupMinFreeCheck");
    auto* freeValue = child<QDoubleSpinBox>("cleanupMinFreeValue");
    auto* freeUnit = child<QComboBox>("cleanupMinFreeUnit");
    auto* minimumAge = child<QSpinBox>("cleanupMinimumAge");
    auto* helper = child<QCheckBox>("cleanupAllowHelperCheck");

    // Off by default: the values wait, disabled, until their rule is on.
    EXPECT_FALSE(older->isChecked() || maxCheck->isChecked() || freeCheck->isChecked());
    EXPECT_FALSE(days->isEnabled() || maxValue->isEnabled() || minimumAge->isEnabled() || helper->isEnabled());

    older->click();
    days->setValue(45);
    EXPECT_TRUE(defaults().boolForKey(kPrefAutoCleanupOlderThan));
    EXPECT_EQ(defaults().integerForKey(kPrefAutoCleanupOlderThanDays), 45);

    // A size in a unit: 2.5 GB is 2,500,000,000 bytes (decimal units, as every size shown).
    maxCheck->click();
    maxUnit->setCurrentIndex(1);
    emit maxUnit->activated(1);
    maxValue->setValue(2.5);
    EXPECT_TRUE(defaults().boolForKey(kPrefAutoCleanupMaxTrash));
    EXPECT_EQ(defaults().integerForKey(kPrefAutoCleanupMaxTrashBytes), 2'500'000'000);
    EXPECT_TRUE(minimumAge->isEnabled());

    // Free space as a share of the volume (the factory form), then as a size: the switch between
    // them is a key too, and each form keeps its own value ("500 MB" never becomes "100 %").
    freeCheck->click();
    const int percent = freeUnit->count() - 1;
    EXPECT_EQ(freeUnit->currentIndex(), percent);
    freeValue->setValue(15);
    EXPECT_TRUE(defaults().boolForKey(kPrefAutoCleanupMinFreeByPercent));
    EXPECT_DOUBLE_EQ(defaults().doubleForKey(kPrefAutoCleanupMinFreePercent), 15);
    freeUnit->setCurrentIndex(0);
    emit freeUnit->activated(0);
    EXPECT_FALSE(defaults().boolForKey(kPrefAutoCleanupMinFreeByPercent));
    EXPECT_EQ(freeValue->value(), 5) << "the stored size, shown in GB";
    EXPECT_EQ(freeUnit->currentIndex(), 1);
    freeValue->setValue(500);
    freeUnit->setCurrentIndex(0);
    emit freeUnit->activated(0);
    EXPECT_EQ(defaults().integerForKey(kPrefAutoCleanupMinFreeBytes), 500'000'000);
    freeUnit->setCurrentIndex(percent);
    emit freeUnit->activated(percent);
    EXPECT_TRUE(defaults().boolForKey(kPrefAutoCleanupMinFreeByPercent));
    EXPECT_DOUBLE_EQ(defaults().doubleForKey(kPrefAutoCleanupMinFreePercent), 15);
    EXPECT_EQ(freeValue->value(), 15);
    EXPECT_EQ(defaults().integerForKey(kPrefAutoCleanupMinFreeBytes), 500'000'000) << "the other form is kept";

    minimumAge->setValue(3);
    EXPECT_DOUBLE_EQ(defaults().doubleForKey(kPrefAutoCleanupMinimumAgeDays), 3);
    helper->click();
    EXPECT_TRUE(defaults().boolForKey(kPrefAutoCleanupAllowHelper));

    // From the terminal (`quillo-cli prefs`): the controls follow, in the unit that reads best.
    defaults().setInteger(kPrefAutoCleanupOlderThanDays, 7);
    defaults().setInteger(kPrefAutoCleanupMaxTrashBytes, 1'500'000'000'000);
    defaults().setBool(kPrefAutoCleanupMinFreeByPercent, false);
    EXPECT_TRUE(waitUntil([&] {
        return days->value() == 7 && maxUnit->currentIndex() == 2 && maxValue->value() == 1.5 &&
               freeUnit->currentIndex() == 0 && freeValue->value() == 500;
    }));

    // "Restore Defaults" is for every setting of the window: the rules go back to off.
    section->window()->findChild<QAbstractButton*>("restoreBtn")->click();
    EXPECT_FALSE(defaults().boolForKey(kPrefAutoCleanupOlderThan) || defaults().boolForKey(kPrefAutoCleanupMaxTrash) ||
                 defaults().boolForKey(kPrefAutoCleanupMinFree) || defaults().boolForKey(kPrefAutoCleanupAllowHelper));
    EXPECT_EQ(defaults().integerForKey(kPrefAutoCleanupOlderThanDays), 30);
    EXPECT_TRUE(waitUntil([&] { return !older->isChecked() && days->value() == 30 && !helper->isChecked(); }));

    // Reachable from the keyboard and named for a screen reader, every one.
    for (QWidget* w : section->findChildren<QWidget*>()) {
        if (qobject_cast<QLabel*>(w) && w->objectName() != "cleanupPreview") continue;
        if (!qobject_cast<QAbstractButton*>(w) && !qobject_cast<QAbstractSpinBox*>(w) && !qobject_cast<QComboBox*>(w) &&
            !qobject_cast<QLabel*>(w))
            continue;
        EXPECT_TRUE(w->focusPolicy() & Qt::TabFocus) << w->objectName().toStdString();
        const bool named = !w->accessibleName().isEmpty() ||
                           (qobject_cast<QAbstractButton*>(w) && !qobject_cast<QAbstractButton*>(w)->text().isEmpty());
        EXPECT_TRUE(named) << w->objectName().toStdString();
    }
}

TEST_F(CleanupSectionTest, PreviewShowsTheTotalOfAPlantedTrashAndNoStaleAnswer) {
    if (!std::getenv("QUILLO_TEST_ISOLATED"))
        GTEST_SKIP() << "needs root (a private mount namespace: the home trash must be the only one)";
    // Three items from 2024 and one trashed now.
    const std::string trash = home.homeTrash();
    makeDirs(trash + "/files", 0700);
    makeDirs(trash + "/info", 0700);
    for (int i = 0; i < 3; ++i) {
        writeFile(trash + "/files/old" + std::to_string(i), std::string(size_t(4096) * (i + 1), 'x'));
        TempHome::plantTrashInfo(trash, "old" + std::to_string(i));
    }
    writeFile(trash + "/files/fresh", std::string(4096, 'y'));
    TempHome::plantTrashInfo(trash, "fresh", QDateTime::currentDateTime().toString("yyyy-MM-ddTHH:mm:ss").toStdString());

    prefs->openWindowInModal(false);
    ASSERT_TRUE(waitForPreview());
    EXPECT_EQ(section->previewText().toStdString(), util::RNLocalizedString("cleanup_preview_off"));

    defaults().setBool(kPrefAutoCleanupOlderThan, true);
    EXPECT_TRUE(section->previewPending()) << "a change starts a new preview";
    ASSERT_TRUE(waitForPreview());
    const std::string total = util::RNLocalizedMessage(
        "cleanup_preview_total",
        {{"count", uint64_t(3)},
         {"size", util::RNNumberUtilities::sharedControl().sizeToFormatString(6 * 4096, 4, false)}});
    EXPECT_TRUE(section->previewText().startsWith(QString::fromStdString(total))) << section->previewText().toStdString();

    // A change right after another: only the last one's answer shows.
    defaults().setInteger(kPrefAutoCleanupOlderThanDays, 3650);
    ASSERT_TRUE(waitForPreview());
    EXPECT_EQ(section->previewText().toStdString(), util::RNLocalizedString("cleanup_preview_nothing"));
    defaults().setInteger(kPrefAutoCleanupOlderThanDays, 30);
    defaults().setInteger(kPrefAutoCleanupOlderThanDays, 3650);
    ASSERT_TRUE(waitForPreview());
    EXPECT_EQ(section->previewText().toStdString(), util::RNLocalizedString("cleanup_preview_nothing"));
    EXPECT_EQ(listFolder(trash + "/files").size(), 4u) << "the preview erases nothing";
}
