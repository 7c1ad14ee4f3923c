// The first start: the disclaimer before anything else is asked (the helper's install question
// comes after it), then the welcome pages in the platform's wizard order; closing them ends the
// first run. The small windows tell their owner they closed through QDialog::finished.
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "GuiTest.h"
#include "helperclient/HelperInstallation.h"
#include "shell/RNQuillo.h"
#include "support/TestSupport.h"
#include "ui/RNInfoWindows.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QWizardPage>

using namespace quillo;
using namespace quillo::erase;
using namespace quillo::test;

namespace {

QString text(const char* key) { return QString::fromStdString(util::RNLocalizedString(key)); }

// Answers the next application-modal question, noting its text: the disclaimer is agreed to,
// the helper's install question declined (whichever comes first).
void answerNext(std::vector<std::string>& asked, std::function<void()> then = {}) {
    onNextModal([&asked, then](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box) return;
        asked.push_back(box->text().toStdString());
        if (then) then();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == text("agree_btn") || b->text() == text("dont_install_button")) {
                b->click();
                return;
            }
    });
}

}  // namespace

TEST(FirstRun, DisclaimerFirstThenTheHelperQuestionThenTheWelcomePages) {
    TempHome home;
    RNUserDefaults::resetStandardUserDefaults();
    const auto saved = helperclient::HelperInstallation::current();
    helperclient::HelperInstallation missing;
    missing.installedHelperPath = home.root() + "/no-helper";
    missing.serviceFilePath = home.root() + "/no-service-file";
    helperclient::HelperInstallation::setCurrent(missing);
    auto& defaults = RNUserDefaults::standardUserDefaults();
    setupDefaultsPreferences();
    ASSERT_TRUE(defaults.boolForKey(kPrefIsFirstRun));  // the factory value
    auto dispatcher = ui::RNQtMainThread::install();
    RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());

    std::vector<std::string> asked;
    // Whichever comes first is answered; the second is answered from the first's handler.
    answerNext(asked, [&] { answerNext(asked); });
    shell::RNQuillo delegate;
    QSignalSpy started(&delegate, &shell::RNQuillo::startupFinished);
    delegate.applicationDidFinishLaunching();
    ASSERT_TRUE(waitUntil([&] { return started.count() > 0; }, 15000));
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], util::RNLocalizedString("disclaimer"));
    EXPECT_EQ(asked[1], util::RNLocalizedString("install_helper_tool"));

    ui::RNWelcomeCntrl* welcome = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* c = qobject_cast<ui::RNWelcomeCntrl*>(w); c && c->isVisible()) welcome = c;
    ASSERT_NE(welcome, nullptr) << "the welcome pages follow the disclaimer";
    EXPECT_TRUE(defaults.boolForKey(kPrefIsFirstRun));

    // Back is left of Next, as on every desktop; Next is the default.
    welcome->next();
    QAbstractButton* back = welcome->button(QWizard::BackButton);
    QAbstractButton* next = welcome->button(QWizard::NextButton);
    ASSERT_TRUE(back->isVisible() && next->isVisible());
    EXPECT_LT(back->mapTo(welcome, QPoint(0, 0)).x(), next->mapTo(welcome, QPoint(0, 0)).x());
    EXPECT_EQ(back->text(), text("back_btn"));
    EXPECT_EQ(next->text(), text("next_btn"));
    welcome->back();

    // No page is left half empty: each page's text fills at least half of the page area.
    for (int id : welcome->pageIds()) {
        QWizardPage* page = welcome->page(id);
        welcome->restart();
        while (welcome->currentId() != id) welcome->next();
        QApplication::processEvents();
        const auto labels = page->findChildren<QLabel*>();
        ASSERT_FALSE(labels.isEmpty());
        int used = 0;
        for (QLabel* l : labels) used = qMax(used, l->geometry().bottom());
        EXPECT_GE(used * 2, page->height()) << "page " << id << " uses " << used << " of " << page->height();
        EXPECT_FALSE(page->title().isEmpty());
    }

    // Through every page to the end: the last button starts Quillo and ends the first run.
    welcome->restart();
    while (welcome->currentId() != welcome->pageIds().last()) welcome->next();
    EXPECT_EQ(welcome->button(QWizard::FinishButton)->text(), text("start_btn"));
    welcome->button(QWizard::FinishButton)->click();
    EXPECT_TRUE(waitUntil([&] { return !defaults.boolForKey(kPrefIsFirstRun); }));

    RNErrorDelegate::sharedControl().setBackend(nullptr);
    RNMainThread::setActive(nullptr);
    helperclient::HelperInstallation::setCurrent(saved);
    RNUserDefaults::resetStandardUserDefaults();
}

TEST(InfoWindows, EachFinishesOnceWhicheverWayItIsClosed) {
    TempHome home;
    ui::RNSubscribe subscribe;
    QSignalSpy subscribeDone(&subscribe, &QDialog::finished);
    subscribe.showWindow();
    subscribe.close();  // the title bar's close
    EXPECT_EQ(subscribeDone.count(), 1);

    ui::RNWebPromo promo(QStringLiteral("Quillo is running."));
    QSignalSpy promoDone(&promo, &QDialog::finished);
    promo.showWindow();
    promo.reject();  // Escape, the Close button
    EXPECT_EQ(promoDone.count(), 1);
    EXPECT_EQ(promo.findChild<QLabel*>("text")->text(), "Quillo is running.");

    ui::RNWelcomeCntrl welcome(QStringLiteral("Ctrl+Super+Backspace"), QStringLiteral("Shift+Super+S"));
    QSignalSpy welcomeDone(&welcome, &QDialog::finished);
    welcome.showWindow();
    welcome.close();
    EXPECT_EQ(welcomeDone.count(), 1);
    // The first page names the hot keys as the desktop does.
    bool named = false;
    for (QLabel* l : welcome.page(welcome.pageIds().first())->findChildren<QLabel*>())
        named = named || (l->text().contains("Ctrl+Super+Backspace") && l->text().contains("Shift+Super+S"));
    EXPECT_TRUE(named);
}
