// The Qt dialogs answer the engine with the codes it expects: which button maps to which answer,
// the check box, Escape, sheets, and the confirmation's live size line.
#include "erase/RNAlert.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "GuiTest.h"
#include "LayoutCheck.h"
#include "support/TestSupport.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "ui/RNSpinner.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <cstdlib>
#include <map>
#include <optional>
#include <thread>

using namespace quillo;
using namespace quillo::erase;
using quillo::test::onNextModal;
using quillo::test::waitUntil;

namespace {

RNPromptRequest question(std::vector<std::string> buttons, bool check = false) {
    RNPromptRequest r;
    r.title = "Erase “x”?";
    r.message = "It is locked.";
    r.buttons = std::move(buttons);
    if (check) r.checkBoxTitle = "Apply to all";
    return r;
}

QMessageBox* box(QWidget* w) { return qobject_cast<QMessageBox*>(w); }

QPushButton* buttonWithText(QMessageBox* b, const QString& text) {
    for (QAbstractButton* button : b->buttons())
        if (button->text() == text) return qobject_cast<QPushButton*>(button);
    return nullptr;
}

}  // namespace

TEST(QtPromptBackend, ButtonsMapToAnswersInOrderAndBlankOnesAreLeftOut) {
    ui::RNQtPromptBackend backend;
    for (int pick = 0; pick < 2; ++pick) {
        int shownButtons = -1;
        QString defaultText;
        onNextModal([&, pick](QWidget* w) {
            QMessageBox* b = box(w);
            ASSERT_NE(b, nullptr);
            shownButtons = int(b->buttons().size());
            defaultText = b->defaultButton() ? b->defaultButton()->text() : QString();
            buttonWithText(b, pick == 0 ? "Erase" : "Skip")->click();
        });
        const RNPromptResult r = backend.runModal(question({"Erase", "Skip", ""}));
        EXPECT_EQ(shownButtons, 2);
        EXPECT_EQ(defaultText, "Erase");
        EXPECT_EQ(r.answer, kAlertFirstButtonReturn + pick);
    }
    // The third button answers 1002.
    onNextModal([](QWidget* w) { buttonWithText(box(w), "Later")->click(); });
    EXPECT_EQ(backend.runModal(question({"Yes", "No", "Later"})).answer, kAlertThirdButtonReturn);
}

TEST(QtPromptBackend, CheckBoxStateAndEscapeAnswerTheSecondButton) {
    ui::RNQtPromptBackend backend;
    QString checkTitle;
    onNextModal([&](QWidget* w) {
        QMessageBox* b = box(w);
        ASSERT_NE(b->checkBox(), nullptr);
        checkTitle = b->checkBox()->text();
        b->checkBox()->setChecked(true);
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(b, &esc);
    });
    const RNPromptResult r = backend.runModal(question({"Erase", "Skip", ""}, true));
    EXPECT_EQ(checkTitle, "Apply to all");
    EXPECT_EQ(r.answer, kAlertSecondButtonReturn);
    EXPECT_TRUE(r.checkBox);

    // Return takes the default (first) button; an unticked box reports false.
    onNextModal([](QWidget* w) {
        QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(w, &ret);
    });
    const RNPromptResult r2 = backend.runModal(question({"Erase", "Skip", ""}, true));
    EXPECT_EQ(r2.answer, kAlertFirstButtonReturn);
    EXPECT_FALSE(r2.checkBox);
}

TEST(QtPromptBackend, SheetReturnsAtOnceAndCompletesWithTheAnswer) {
    ui::RNQtPromptBackend backend;
    QWidget parent;
    parent.show();
    std::optional<RNPromptResult> answer;
    backend.beginSheet(question({"Erase", "Skip", ""}, true), &parent, [&](RNPromptResult r) { answer = r; });
    EXPECT_FALSE(answer);
    QMessageBox* sheet = parent.findChild<QMessageBox*>();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    sheet->checkBox()->setChecked(true);
    buttonWithText(sheet, "Skip")->click();
    ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(answer->answer, kAlertSecondButtonReturn);
    EXPECT_TRUE(answer->checkBox);
}

TEST(QtPromptBackend, LiveLineFollowsTheCountWhileTheDialogIsUp) {
    ui::RNQtPromptBackend backend;
    std::atomic<bool> counted{false};
    RNPromptRequest r = question({"Empty Trash", "Cancel"});
    const std::string gathering = util::RNLocalizedString("gathering_info");
    r.liveText = [&] { return counted ? std::string("3 items, 12 bytes, in all Trashes") : gathering; };
    QString before, after;
    bool spinningBefore = false, spinningAfter = true;
    onNextModal([&](QWidget* w) {
        auto* label = w->findChild<QLabel*>("liveText");
        ASSERT_NE(label, nullptr);
        auto* spinner = w->findChild<ui::RNSpinner*>();
        before = label->text();
        spinningBefore = spinner->spinnerIsWorking();
        counted = true;  // as the counting thread would
        waitUntil([&] { return label->text() != before; }, 2000);
        after = label->text();
        spinningAfter = spinner->spinnerIsWorking();
        buttonWithText(box(w), "Cancel")->click();
    });
    EXPECT_EQ(backend.runModal(r).answer, kAlertSecondButtonReturn);
    EXPECT_EQ(before.toStdString(), gathering);
    EXPECT_TRUE(spinningBefore);
    EXPECT_EQ(after, "3 items, 12 bytes, in all Trashes");
    EXPECT_FALSE(spinningAfter);
}

// "Counting the items…" becomes a line much longer than itself when the count arrives: the
// dialog keeps its size and every button stays where it was (a click aimed at Cancel must not
// land on Empty Trash). A line too long for its two reserved lines is shortened in the middle.
TEST(QtPromptBackend, TheCountArrivingMovesNoButton) {
    ui::RNQtPromptBackend backend;
    const std::string gathering = util::RNLocalizedString("gathering_info");
    const std::vector<std::string> lates = {
        "160,473 items, 39.89 MB, in all Trashes",
        "Camera Card of the holiday in the mountains, with a name as long as people give them: "
        "160,473 items, 39.89 MB",
        std::string(400, 'W')};
    for (const std::string& late : lates) {
        std::atomic<bool> counted{false};
        RNPromptRequest r = question({util::RNLocalizedString("empty_trash_button"), util::RNLocalizedString("cancel_btn")});
        r.style = RNPromptRequest::Style::Critical;
        r.title = util::RNLocalizedString("erase_all");
        r.message = util::RNLocalizedString("delete_mess");
        r.liveText = [&] { return counted ? late : gathering; };
        QList<QRect> before, after;
        QString shown, tip;
        onNextModal([&](QWidget* w) {
            auto* label = w->findChild<QLabel*>("liveText");
            ASSERT_NE(label, nullptr);
            auto geometry = [&] {
                QApplication::sendPostedEvents();
                QApplication::processEvents();
                QList<QRect> g{w->geometry()};
                for (QAbstractButton* b : box(w)->buttons()) g << QRect(b->mapTo(w, QPoint(0, 0)), b->size());
                return g;
            };
            before = geometry();
            counted = true;  // as the counting thread would
            waitUntil([&] { return label->text() != QString::fromStdString(gathering); }, 3000);
            after = geometry();
            shown = label->text();
            tip = label->toolTip();
            buttonWithText(box(w), QString::fromStdString(util::RNLocalizedString("cancel_btn")))->click();
        });
        EXPECT_EQ(backend.runModal(r).answer, kAlertSecondButtonReturn);
        ASSERT_EQ(before.size(), 3) << "the dialog and its two buttons";
        EXPECT_EQ(before, after) << late;
        if (tip.isEmpty()) {
            EXPECT_EQ(shown.toStdString(), late);
        } else {
            EXPECT_EQ(tip.toStdString(), late);
            EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
        }
    }
}

// The engine's own path: a question asked from a worker thread comes to the Qt main thread,
// and the worker gets the answer and the check box.
TEST(QtPromptBackend, ErrorDelegateAsksFromAWorkerThroughTheQtLoop) {
    test::TempHome home;
    auto dispatcher = ui::RNQtMainThread::install();
    auto& delegate = RNErrorDelegate::sharedControl();
    delegate.setBackend(std::make_shared<ui::RNQtPromptBackend>());

    std::atomic<int64_t> answer{0};
    std::atomic<bool> applyToAll{false}, done{false};
    std::thread worker([&] {
        bool status = false;
        answer = delegate.askToTheUser("undeleted_locked_sing_str", std::string("undeleted_locked_sing_msg"),
                                       {"x"}, "erase", "skip", "", true, &status, false, nullptr);
        applyToAll = status;
        done = true;
    });
    bool onMain = false;
    onNextModal([&](QWidget* w) {
        onMain = RNMainThread::onMainThread();
        box(w)->checkBox()->setChecked(true);
        buttonWithText(box(w), QString::fromStdString(util::RNLocalizedString("erase")))->click();
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }, 10000));
    worker.join();
    EXPECT_TRUE(onMain);
    EXPECT_EQ(answer.load(), kAlertFirstButtonReturn);
    EXPECT_TRUE(applyToAll.load());
    delegate.setBackend(nullptr);
    RNMainThread::setActive(nullptr);
}

// The erase confirmation through Qt: the count arrives from another thread while the alert is
// up, the size line shows it, and the erase button answers 1000.
TEST(QtPromptBackend, ConfirmationShowsTheCountThatArrivesWhileItIsUp) {
    test::TempHome home;
    auto dispatcher = ui::RNQtMainThread::install();
    auto backend = std::make_shared<ui::RNQtPromptBackend>();
    RNAlert alert(backend);
    std::thread counter;
    QString shown;
    onNextModal([&](QWidget* w) {
        counter = std::thread([&] { alert.showSizeInfoStringWithSize(2048, 3, 3); });
        auto* label = w->findChild<QLabel*>("liveText");
        waitUntil([&] { return label->text().contains('3'); }, 3000);
        shown = label->text();
        buttonWithText(box(w), QString::fromStdString(util::RNLocalizedString("empty_trash_button")))->click();
    });
    const int64_t answer = alert.showAlertWithTrashInfo(
        RNDictionary{{"information", util::RNLocalizedString("erase_all")},
                     {"message", "delete_mess"},
                     {"calculatedStr", "all_disks"},
                     {"size", uint64_t(0)},
                     {"count", uint64_t(0)},
                     {"isLumoErase", false},
                     {"volumeName", ""}},
        nullptr);
    counter.join();
    EXPECT_EQ(answer, kAlertFirstButtonReturn);
    EXPECT_EQ(shown.toStdString(), alert.sizeInfoStr());
    EXPECT_NE(shown.toStdString(), util::RNLocalizedString("gathering_info"));
    RNMainThread::setActive(nullptr);
}

// The confirmation in the pseudo-language (every text 40 % longer, in brackets): title, message,
// the size line, both buttons and the check box all fit, nothing overlaps.
TEST(QtPromptBackend, LongerTextsFitTheConfirmation) {
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : {"LANGUAGE", "LANG", "LC_ALL", "LC_MESSAGES"}) {
        const char* v = std::getenv(name);
        saved[name] = v ? std::optional<std::string>(v) : std::nullopt;
    }
    struct Restore {
        std::map<std::string, std::optional<std::string>>& saved;
        ~Restore() {
            for (const auto& [n, v] : saved)
                if (v) ::setenv(n.c_str(), v->c_str(), 1);
                else ::unsetenv(n.c_str());
        }
    } restore{saved};
    ::unsetenv("LC_ALL");
    ::unsetenv("LC_MESSAGES");
    ::setenv("LANG", "en_US.UTF-8", 1);
    ::setenv("LANGUAGE", "qps", 1);
    ASSERT_EQ(util::localizedText("cancel_btn").substr(0, 1), "[") << "the build's qps catalog is not found";

    RNPromptRequest r;
    r.isEraseConfirmation = true;
    r.title = util::RNFormat(util::localizedText("erase_vol"), {"Backup Disk 2024 (external)"});
    r.message = std::string(util::localizedText("delete_mess"));
    r.buttons = {std::string(util::localizedText("empty_trash_button")), std::string(util::localizedText("cancel_btn"))};
    r.checkBoxTitle = std::string(util::localizedText("suppression_message_text"));
    r.liveText = [] {
        return util::RNLocalizedMessage("single_disk", {{"volume", "Backup Disk 2024 (external)"},
                                                        {"count", uint64_t(1234)},
                                                        {"entries", uint64_t(56789)},
                                                        {"nested", "yes"},
                                                        {"size", "12.3 GB"}});
    };
    std::vector<std::string> faults;
    bool seen = false;
    onNextModal([&](QWidget* w) {
        EXPECT_TRUE(QTest::qWaitForWindowExposed(w));
        seen = w->findChildren<QAbstractButton*>().size() >= 3;  // two buttons and the check box
        faults = quillo::test::layoutFaults(w);
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(w, &esc);
    });
    ui::RNQtPromptBackend backend;
    backend.runModal(r);
    EXPECT_TRUE(seen);
    for (const auto& f : faults) ADD_FAILURE() << f;
}
