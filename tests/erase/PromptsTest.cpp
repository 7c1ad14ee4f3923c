#include "erase/RNAlert.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNRunLoopMainThread.h"
#include "erase/RNUserDefaults.h"
#include "util/Localization.h"
#include "util/RNNumberUtilities.h"

#include "ScriptedPromptBackend.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace quillo::erase;
using quillo::test::ScriptedPromptBackend;
using quillo::util::localizedText;
using quillo::util::RNLocalizedString;

namespace {

int gParentWindow;  // any address stands for a window
RNWindowHandle parentWindow() { return &gParentWindow; }

class ErasePromptsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RNMainThread::setActive(nullptr);
        backend = std::make_shared<ScriptedPromptBackend>();
        RNErrorDelegate::sharedControl().setBackend(backend);
    }
    void TearDown() override {
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNMainThread::setActive(nullptr);
    }
    RNErrorDelegate& delegate() { return RNErrorDelegate::sharedControl(); }

    std::shared_ptr<ScriptedPromptBackend> backend;
};

std::string sizeText(uint64_t n) {
    return quillo::util::RNNumberUtilities::sharedControl().sizeToFormatString(n, 4, true);
}

RNDictionary trashInfo(const std::string& calculated, uint64_t size, uint64_t count,
                       const std::string& volumeName = "", bool lumo = false) {
    return RNDictionary{{"information", "Empty it?"},
                        {"message", "delete_mess"},
                        {"calculatedStr", calculated},
                        {"size", size},
                        {"count", count},
                        {"isLumoErase", lumo},
                        {"volumeName", volumeName}};
}

}  // namespace

TEST(EraseNameSubstitution, FillsSlotsInOrderAndLeavesTheRest) {
    EXPECT_EQ(RNErrorDelegate::replaceContentOfString("“%@” is locked", {"a", "b"}), "“a” is locked");
    EXPECT_EQ(RNErrorDelegate::replaceContentOfString("%@ and %@ of %@", {"1", "2"}), "1 and 2 of %@");
    EXPECT_EQ(RNErrorDelegate::replaceContentOfString("no slot", {"x"}), "no slot");
    EXPECT_EQ(RNErrorDelegate::replaceContentOfString("%@ then %@", {}), "%@ then %@");
    // A name that itself holds "%@" (a file can be called that) never takes the next name.
    EXPECT_EQ(RNErrorDelegate::replaceContentOfString("%@ / %@", {"a%@b", "c"}), "a%@b / c");
}

TEST_F(ErasePromptsTest, ErrorWithoutTitleShowsNothing) {
    delegate().showError(std::nullopt, "no_marked_items", {"x"});
    delegate().showError(std::string(), std::nullopt, {});
    delegate().showError(RNDictionary{{"message", "no_marked_items"}});
    EXPECT_EQ(backend->calls(), 0);
}

TEST_F(ErasePromptsTest, ErrorTextsComeFromTheErrorsTable) {
    ASSERT_NE(localizedText("autostart_folder_error", "Errors"), "autostart_folder_error");
    delegate().showError("autostart_folder_error", std::nullopt, {"/x"});
    ASSERT_EQ(backend->calls(), 1);
    auto shown = backend->last();
    EXPECT_EQ(shown.title, RNErrorDelegate::replaceContentOfString(
                               std::string(localizedText("autostart_folder_error", "Errors")), {"/x"}));
    EXPECT_EQ(shown.message, "");
    EXPECT_EQ(shown.style, RNPromptRequest::Style::Warning);
    EXPECT_EQ(shown.buttons.size(), 1u);
    EXPECT_FALSE(shown.checkBoxTitle);
    EXPECT_FALSE(shown.sheet);

    // A main-table key is not looked up as an error: it shows as itself. A text that is not a
    // key at all (an error's own description) comes through unchanged.
    delegate().showError(RNDictionary{{"error", "skip"},
                                      {"message", "not_erased"},
                                      {"additionalName", RNArray{}}});
    EXPECT_EQ(backend->last().title, "skip");
    EXPECT_EQ(backend->last().message, localizedText("not_erased", "Errors"));
    delegate().showError("Operation not permitted");
    EXPECT_EQ(backend->last().title, "Operation not permitted");
}

TEST_F(ErasePromptsTest, QuestionAlwaysHasThreeButtonsAndReportsTheCheckBox) {
    backend->queueAnswer(kAlertSecondButtonReturn, true);
    bool applyToAll = false;
    const std::string title = RNErrorDelegate::replaceContentOfString(
        RNLocalizedString("undeleted_locked_sing_str"), {"report.pdf"});
    int64_t answer = delegate().askToTheUser(title, "undeleted_locked_sing_msg", {}, "skip", "erase", "",
                                             true, &applyToAll, false, nullptr);
    EXPECT_EQ(answer, kAlertSecondButtonReturn);
    EXPECT_TRUE(applyToAll);
    EXPECT_EQ(delegate().userChoice(), kAlertSecondButtonReturn);

    auto shown = backend->last();
    EXPECT_NE(shown.title.find("report.pdf"), std::string::npos);  // a localized text is kept
    EXPECT_EQ(shown.message, localizedText("undeleted_locked_sing_msg"));
    ASSERT_EQ(shown.buttons.size(), 3u);
    EXPECT_EQ(shown.buttons[0], localizedText("skip"));
    EXPECT_EQ(shown.buttons[1], localizedText("erase"));
    EXPECT_EQ(shown.buttons[2], "");
    ASSERT_TRUE(shown.checkBoxTitle);
    EXPECT_EQ(*shown.checkBoxTitle, localizedText("apply_to_all"));
    EXPECT_EQ(shown.style, RNPromptRequest::Style::Informational);
    EXPECT_EQ(shown.safeButton, 0);  // "skip" never erases

    // Without the check box nothing is written to the caller's flag.
    backend->queueAnswer(kAlertFirstButtonReturn, true);
    bool untouched = true;
    delegate().askToTheUser("q", std::nullopt, {}, "skip", "erase", "", false, &untouched, false, nullptr);
    EXPECT_TRUE(untouched);
    EXPECT_FALSE(backend->last().checkBoxTitle);
}

TEST_F(ErasePromptsTest, QuestionAsErrorUsesWarningStyleAndTheErrorsTable) {
    delegate().askToTheUser("not_erased", "user_not_authorized", {}, "yes_btn", "no_btn", "", false,
                            nullptr, true, nullptr);
    auto shown = backend->last();
    EXPECT_EQ(shown.style, RNPromptRequest::Style::Warning);
    EXPECT_EQ(shown.title, localizedText("not_erased", "Errors"));
    EXPECT_EQ(shown.message, localizedText("user_not_authorized", "Errors"));
    // Buttons fall back to the main table, where the common buttons live.
    EXPECT_EQ(shown.buttons[0], localizedText("yes_btn"));
}

TEST_F(ErasePromptsTest, SafeChoiceBacksOut) {
    // The log question gets already-localized button texts; "no" (do not erase) is safe.
    delegate().askToTheUser("open_log_file_error", std::nullopt, {}, RNLocalizedString("yes_btn"),
                            RNLocalizedString("no_btn"), "", false, nullptr, false, nullptr);
    EXPECT_EQ(backend->last().safeButton, 1);
    EXPECT_EQ(RNErrorDelegate::safeButtonForKeys({"agree_btn", "disagree_btn", ""}), 1);
    EXPECT_EQ(RNErrorDelegate::safeButtonForKeys({"install_button", "dont_install_button", ""}), 1);
    EXPECT_EQ(RNErrorDelegate::safeButtonForKeys({"ok_btn", "", ""}), 0);
    // The caller can name it.
    delegate().askToTheUser("q", std::nullopt, {}, "a", "b", "c", false, nullptr, false, nullptr, 2);
    EXPECT_EQ(backend->last().safeButton, 2);
}

TEST_F(ErasePromptsTest, AnswerThatIsNoButtonBecomesTheSafeOne) {
    backend->queueAnswer(0);  // a dialog closed from its title bar
    EXPECT_EQ(delegate().askToTheUser("q", std::nullopt, {}, "skip", "erase", "", false, nullptr, false,
                                      nullptr),
              kAlertFirstButtonReturn);
    backend->queueAnswer(1005);
    EXPECT_EQ(delegate().askToTheUser("q", std::nullopt, {}, "yes_btn", "no_btn", "", false, nullptr,
                                      false, nullptr),
              kAlertSecondButtonReturn);

    // No front end at all: nothing is shown, and nothing is erased on a guess.
    delegate().setBackend(nullptr);
    bool applyToAll = true;
    EXPECT_EQ(delegate().askToTheUser("q", std::nullopt, {}, "skip", "erase", "", true, &applyToAll,
                                      false, nullptr),
              kAlertFirstButtonReturn);
    EXPECT_FALSE(applyToAll);
    delegate().showError("busy_sing");  // must not crash
}

TEST_F(ErasePromptsTest, SheetQuestionReturnsZeroAndStoresTheAnswerLater) {
    backend->deferSheets(true);
    backend->queueAnswer(kAlertSecondButtonReturn, true);
    bool applyToAll = true;
    int64_t answer = delegate().askToTheUser("q", std::nullopt, {}, "skip", "erase", "", true,
                                             &applyToAll, false, parentWindow());
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(delegate().userChoice(), 0);
    EXPECT_FALSE(applyToAll);
    ASSERT_EQ(backend->pendingSheetCount(), 1u);
    EXPECT_TRUE(backend->last().sheet);
    EXPECT_EQ(backend->last().parent, parentWindow());

    ASSERT_TRUE(backend->completeNextSheet());
    EXPECT_EQ(delegate().userChoice(), kAlertSecondButtonReturn);
    EXPECT_TRUE(delegate().lastCheckBoxState());
}

TEST_F(ErasePromptsTest, MessagePanelIsASheetWithAParentAndModalWithout) {
    backend->deferSheets(true);
    delegate().showMessagePanel(parentWindow(), "gathering_info", std::nullopt, {});
    EXPECT_EQ(backend->sheetCalls(), 1);
    EXPECT_EQ(backend->pendingSheetCount(), 1u);  // the caller did not wait for it
    EXPECT_EQ(backend->last().title, localizedText("gathering_info"));
    delegate().showMessagePanel(nullptr, "erase_vol", "delete_mess", {"Data"});
    EXPECT_EQ(backend->modalCalls(), 1);
    EXPECT_EQ(backend->last().title, quillo::util::RNFormat(localizedText("erase_vol"), {"Data"}));
    EXPECT_EQ(backend->last().message, localizedText("delete_mess"));
}

TEST_F(ErasePromptsTest, SuppressedQuestionIsAnsweredFromThePreference) {
    quillo::test::TempHome home;
    RNUserDefaults::resetStandardUserDefaults();
    const std::string key = "show_install_helper_tool";
    auto ask = [&] {
        return delegate().askToTheUserWithView("install_helper_tool", "update_helper_tool_mess", {},
                                               "install_button", "dont_install_button", "", key, false);
    };

    // Not ticked: asked, preference unchanged.
    backend->queueAnswer(kAlertSecondButtonReturn, false);
    EXPECT_EQ(ask(), kAlertSecondButtonReturn);
    ASSERT_EQ(backend->calls(), 1);
    ASSERT_TRUE(backend->last().checkBoxTitle);
    EXPECT_EQ(*backend->last().checkBoxTitle, localizedText("suppression_message_text"));
    EXPECT_EQ(backend->last().buttons.size(), 3u);
    EXPECT_FALSE(RNUserDefaults::standardUserDefaults().boolForKey(key));

    // Ticked: the preference is set and saved.
    backend->queueAnswer(kAlertSecondButtonReturn, true);
    EXPECT_EQ(ask(), kAlertSecondButtonReturn);
    EXPECT_EQ(delegate().userChoice(), kAlertSecondButtonReturn);
    RNUserDefaults::resetStandardUserDefaults();  // read back from the file
    EXPECT_TRUE(RNUserDefaults::standardUserDefaults().boolForKey(key));

    // From now on: the default button, without a prompt.
    EXPECT_EQ(ask(), kAlertFirstButtonReturn);
    EXPECT_EQ(backend->calls(), 2);
    RNUserDefaults::resetStandardUserDefaults();
}

TEST_F(ErasePromptsTest, QuestionsFromWorkersAreShownOnTheMainThread) {
    auto loop = std::make_shared<RNRunLoopMainThread>();
    RNMainThread::setActive(loop);
    backend->queueAnswer(kAlertSecondButtonReturn, true);
    backend->queueAnswer(kAlertFirstButtonReturn, false);

    std::atomic<int> done{0};
    int64_t answers[2] = {0, 0};
    bool flags[2] = {false, true};
    std::thread workers[2];
    for (int i = 0; i < 2; ++i)
        workers[i] = std::thread([&, i] {
            answers[i] = delegate().askToTheUser("q", std::nullopt, {}, "skip", "erase", "", true,
                                                 &flags[i], false, nullptr);
            ++done;
        });
    EXPECT_TRUE(loop->runUntil([&] { return done == 2; }));
    for (auto& w : workers) w.join();

    for (const auto& shown : backend->prompts()) EXPECT_EQ(shown.thread, std::this_thread::get_id());
    // Each worker gets the answer to its own question.
    EXPECT_EQ(answers[0] + answers[1], kAlertFirstButtonReturn + kAlertSecondButtonReturn);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(flags[i], answers[i] == kAlertSecondButtonReturn);
}

TEST_F(ErasePromptsTest, ConfirmationForOneVolumeWithOneItem) {
    RNAlert alert;
    backend->queueAnswer(kAlertFirstButtonReturn);
    EXPECT_EQ(alert.showAlertWithTrashInfo(trashInfo("single_disk", 1234567, 1, "Data"), nullptr),
              kAlertFirstButtonReturn);
    EXPECT_EQ(alert.choice(), kAlertFirstButtonReturn);
    EXPECT_EQ(alert.originalSizeInfoStr(), "single_disk");
    const std::string expected = "Data: 1 item, " + sizeText(1234567);
    EXPECT_EQ(alert.sizeInfoStr(), expected);
    EXPECT_NE(expected.find("Data"), std::string::npos);
    EXPECT_TRUE(alert.stopped());

    auto shown = backend->last();
    EXPECT_TRUE(shown.isEraseConfirmation);
    EXPECT_EQ(shown.style, RNPromptRequest::Style::Critical);
    EXPECT_EQ(shown.title, "Empty it?");
    EXPECT_EQ(shown.message, localizedText("delete_mess"));
    ASSERT_EQ(shown.buttons.size(), 2u);
    EXPECT_EQ(shown.buttons[0], localizedText("empty_trash_button"));
    EXPECT_EQ(shown.buttons[1], localizedText("cancel_btn"));
    EXPECT_EQ(shown.safeButton, 1);
    EXPECT_EQ(shown.liveText, expected);
}

TEST_F(ErasePromptsTest, AVolumeNameThatIsNotTextKeepsItsBytesInTheConfirmation) {
    // As file managers show it: "\xE9", never the replacement character that two different
    // names would share.
    RNAlert alert;
    backend->queueAnswer(kAlertSecondButtonReturn);
    alert.showAlertWithTrashInfo(trashInfo("single_disk", 500, 1, "Cl\xe9"), nullptr);
    EXPECT_EQ(backend->last().liveText, "Cl\\xE9: 1 item, 500 bytes");
}

TEST_F(ErasePromptsTest, SizeLineWhileCountingAndAfter) {
    RNAlert alert;
    backend->queueAnswer(kAlertSecondButtonReturn);
    EXPECT_EQ(alert.showAlertWithTrashInfo(trashInfo("all_disks", 0, 0), nullptr), kAlertSecondButtonReturn);
    EXPECT_EQ(backend->last().liveText, RNLocalizedString("gathering_info"));
    EXPECT_FALSE(alert.stopped());

    alert.showSizeInfoStringWithSize(0, 0, 0);
    EXPECT_EQ(alert.sizeInfoStr(), RNLocalizedString("gathering_info"));
    EXPECT_FALSE(alert.stopped());

    alert.showSizeInfoStringWithSize(500, 1, 1);
    EXPECT_EQ(alert.sizeInfoStr(), "1 item, 500 bytes, in all Trashes");
    EXPECT_TRUE(alert.stopped());

    alert.showSizeInfoStringWithSize(0, 0, 0);  // a later notice with nothing new
    EXPECT_EQ(alert.sizeInfoStr(), "1 item, 500 bytes, in all Trashes");

    // One more trashed item, a folder of two: the entries are said beside the items, each
    // under its own name, and in the plural.
    alert.showSizeInfoStringWithSize(1500, 2, 1);
    EXPECT_EQ(alert.sizeInfoStr(), "2 items (3 files and folders), 2.00 KB, in all Trashes");
    EXPECT_EQ(alert.totCount(), 3u);
    EXPECT_EQ(alert.totTopLevelCount(), 2u);
    EXPECT_EQ(alert.totSize(), 2000u);
}

TEST_F(ErasePromptsTest, CheckedItemsAreNotCalledByTheirNestedEntries) {
    // 4 items checked in two trashes, 10 entries in all: never "10 checked items".
    RNAlert alert;
    RNDictionary info = trashInfo("lumo_erase", 49360, 10, "", true);
    info["topLevelCount"] = uint64_t(4);
    alert.showAlertWithTrashInfo(info, nullptr);
    EXPECT_EQ(alert.sizeInfoStr(), "4 checked items (10 files and folders), 49.36 KB");
    // One folder with nothing in it: one of each, both in the singular.
    RNAlert single;
    RNDictionary one = trashInfo("single_disk", 0, 1, "Camera Card");
    one["topLevelCount"] = uint64_t(1);
    single.showAlertWithTrashInfo(one, nullptr);
    EXPECT_EQ(single.sizeInfoStr(), "Camera Card: 1 item, 0 bytes");
    RNAlert grouped;
    RNDictionary many = trashInfo("all_disks", 5, 12345, "");
    many["topLevelCount"] = uint64_t(1);
    grouped.showAlertWithTrashInfo(many, nullptr);
    EXPECT_EQ(grouped.sizeInfoStr(), "1 item (12,345 files and folders), 5 bytes, in all Trashes");
}

TEST_F(ErasePromptsTest, VolumeNameIsNeverReadAsAFormat) {
    RNAlert alert;
    alert.showAlertWithTrashInfo(trashInfo("single_disk", 10, 2, "Disk {count} %@ 100% # '{'"), nullptr);
    EXPECT_EQ(alert.sizeInfoStr(), "Disk {count} %@ 100% # '{': 2 items, 10 bytes");
}

TEST_F(ErasePromptsTest, LumoConfirmationIsASheetThatAnswersLater) {
    backend->deferSheets(true);
    backend->queueAnswer(kAlertFirstButtonReturn);
    auto alert = std::make_unique<RNAlert>();
    EXPECT_EQ(alert->showAlertWithTrashInfo(trashInfo("lumo_erase", 0, 0, "", true), parentWindow()), 0);
    EXPECT_EQ(alert->choice(), 0);
    ASSERT_EQ(backend->pendingSheetCount(), 1u);
    auto shown = backend->last();
    EXPECT_EQ(shown.buttons[0], localizedText("erase_checked_button"));
    EXPECT_EQ(shown.parent, parentWindow());

    // The count arrives while the sheet is up: the sheet's live line follows.
    alert->showSizeInfoStringWithSize(42, 1, 1);
    EXPECT_EQ(shown.request.liveText(), "1 checked item, 42 bytes");

    ASSERT_TRUE(backend->completeNextSheet());
    EXPECT_EQ(alert->choice(), kAlertFirstButtonReturn);

    // A sheet answered after the session dropped its alert must not touch freed memory.
    backend->queueAnswer(kAlertSecondButtonReturn);
    alert = std::make_unique<RNAlert>();
    alert->showAlertWithTrashInfo(trashInfo("lumo_erase", 5, 5, "", true), parentWindow());
    alert.reset();
    EXPECT_EQ(backend->last().request.liveText(), "5 checked items, 5 bytes");
    EXPECT_TRUE(backend->completeNextSheet());
}

TEST_F(ErasePromptsTest, ConfirmationWithoutAClearAnswerCancels) {
    backend->queueAnswer(0);
    RNAlert closed;
    EXPECT_EQ(closed.showAlertWithTrashInfo(trashInfo("all_disks", 1, 1), nullptr), kAlertSecondButtonReturn);

    delegate().setBackend(nullptr);
    RNAlert unseen;
    EXPECT_EQ(unseen.showAlertWithTrashInfo(trashInfo("all_disks", 1, 1), nullptr), kAlertSecondButtonReturn);
    RNAlert unseenSheet;
    EXPECT_EQ(unseenSheet.showAlertWithTrashInfo(trashInfo("lumo_erase", 1, 1), parentWindow()), 0);
    EXPECT_EQ(unseenSheet.choice(), kAlertSecondButtonReturn);  // the poller must not wait forever
}

TEST_F(ErasePromptsTest, ConfirmationAskedFromAWorkerSeesTheCountArrive) {
    auto loop = std::make_shared<RNRunLoopMainThread>();
    RNMainThread::setActive(loop);
    RNAlert alert;
    std::string before, after;
    backend->setOnPrompt([&](const RNPromptRequest& request) {
        before = request.liveText();
        std::thread counting([&] { alert.showSizeInfoStringWithSize(2000, 4, 4); });
        counting.join();
        after = request.liveText();
    });
    backend->queueAnswer(kAlertFirstButtonReturn);

    std::atomic<int64_t> answer{0};
    std::thread worker([&] { answer = alert.showAlertWithTrashInfo(trashInfo("all_disks", 0, 0), nullptr); });
    EXPECT_TRUE(loop->runUntil([&] { return answer != 0; }));
    worker.join();

    EXPECT_EQ(answer, kAlertFirstButtonReturn);
    EXPECT_EQ(backend->last().thread, std::this_thread::get_id());
    EXPECT_EQ(before, RNLocalizedString("gathering_info"));
    EXPECT_EQ(after, "4 items, " + sizeText(2000) + ", in all Trashes");
}
