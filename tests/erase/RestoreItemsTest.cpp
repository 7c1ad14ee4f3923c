// Restore and put sessions: the conflict question through the prompt interface (each answer,
// apply to all, the safe answer), and the restore and put logs.
#include "ScriptedPromptBackend.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNPreferences.h"
#include "erase/RNRestoreItems.h"
#include "erase/RNUserDefaults.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashLocator.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace quillo::erase;
using namespace quillo::test;
using quillo::files::RestoreStatus;
using quillo::util::RNLocalizedString;

namespace {

class RestoreSession : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        setupDefaultsPreferences();
        backend = std::make_shared<ScriptedPromptBackend>();
        RNErrorDelegate::sharedControl().setBackend(backend);
        quillo::files::RNFilesUtilities::sharedControl().setTrashLocator(quillo::files::TrashLocator());
        work = env.home() + "/work";
        makeDirs(work);
    }
    void TearDown() override {
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNUserDefaults::resetStandardUserDefaults();
    }
    // Trashes work/NAME holding `text`, then puts "existing" in its place.
    void trashWithConflict(const std::string& name, const std::string& text) {
        writeFile(work + "/" + name, text);
        auto put = RNRestoreItems({}).put({work + "/" + name});
        ASSERT_TRUE(put[0].ok) << put[0].error;
        writeFile(work + "/" + name, "existing");
    }
    // The items of the test's home trash (never another volume's: those are the machine's).
    std::vector<quillo::files::TrashedItem> homeItems() {
        auto items = RNRestoreItems::allTrashedItems();
        items.erase(std::remove_if(items.begin(), items.end(),
                                   [&](const auto& i) { return i.trashDir != env.homeTrash(); }),
                    items.end());
        return items;
    }
    std::vector<RNRestoreItems::Outcome> restoreAll(RNRestoreItems::Options options = {}) {
        auto items = homeItems();
        std::sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.name < b.name; });
        return RNRestoreItems(options).restore(items);
    }
    std::vector<std::string> logLines(const char* kindKey) {
        const std::string folder = env.stateHome() + "/Quillo 3/" + RNLocalizedString(kindKey);
        auto files = listFolder(folder);
        if (files.size() != 1) return {};
        std::vector<std::string> lines;
        std::string text = readFile(folder + "/" + files[0]);
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
    TempHome env;
    std::shared_ptr<ScriptedPromptBackend> backend;
    std::string work;
};

TEST_F(RestoreSession, EachAnswerOfTheQuestionIsFollowed) {
    trashWithConflict("a", "A");
    trashWithConflict("b", "B");
    trashWithConflict("c", "C");
    backend->queueAnswer(kAlertFirstButtonReturn);   // a: keep both
    backend->queueAnswer(kAlertSecondButtonReturn);  // b: replace
    backend->queueAnswer(kAlertThirdButtonReturn);   // c: skip
    auto outcomes = restoreAll();
    ASSERT_EQ(backend->calls(), 3);
    const auto first = backend->prompts()[0];
    EXPECT_EQ(first.buttons, (std::vector<std::string>{RNLocalizedString("keep_both_btn"),
                                                      RNLocalizedString("replace_btn"), RNLocalizedString("skip")}));
    EXPECT_EQ(first.checkBoxTitle, RNLocalizedString("apply_to_all"));
    EXPECT_NE(first.title.find("“a”"), std::string::npos) << first.title;
    EXPECT_EQ(first.safeButton, 2) << "without a way to ask, nothing is replaced";

    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(readFile(work + "/a"), "existing");
    EXPECT_EQ(readFile(work + "/a (restored)"), "A");
    EXPECT_EQ(readFile(work + "/b"), "B");
    EXPECT_EQ(readFile(work + "/c"), "existing");
    EXPECT_EQ(outcomes[2].result.status, RestoreStatus::Skipped);
    // The replaced "b" went to the trash, the skipped "c" is still there: both can come back.
    auto left = homeItems();
    EXPECT_EQ(left.size(), 2u);
    for (const auto& item : left) {
        ASSERT_TRUE(item.originalPath);
        EXPECT_TRUE(*item.originalPath == work + "/b" || *item.originalPath == work + "/c") << *item.originalPath;
    }
}

TEST_F(RestoreSession, ApplyToAllAsksOnce) {
    for (const char* name : {"a", "b", "c"}) trashWithConflict(name, name);
    backend->queueAnswer(kAlertFirstButtonReturn, /*checkBox=*/true);
    auto outcomes = restoreAll();
    EXPECT_EQ(backend->calls(), 1);
    for (const char* name : {"a", "b", "c"}) EXPECT_EQ(readFile(work + "/" + std::string(name) + " (restored)"), name);
}

TEST_F(RestoreSession, WithoutAnAnswerItemsAreSkippedAndAPolicyNeverAsks) {
    trashWithConflict("a", "A");
    backend->setDefaultResult(std::nullopt);  // the safe button
    auto outcomes = restoreAll();
    EXPECT_EQ(outcomes[0].result.status, RestoreStatus::Skipped);
    EXPECT_EQ(readFile(work + "/a"), "existing");

    RNRestoreItems::Options replace;
    replace.conflicts = RNRestoreItems::ConflictPolicy::Replace;
    const int before = backend->calls();
    outcomes = restoreAll(replace);
    EXPECT_EQ(backend->calls(), before);
    EXPECT_EQ(outcomes[0].result.status, RestoreStatus::Restored);
    EXPECT_EQ(readFile(work + "/a"), "A");
}

TEST_F(RestoreSession, RestoresAndPutsAreLoggedLinePerItem) {
    writeFile(work + "/one", "12345");
    writeFile(work + "/two", "12");
    auto puts = RNRestoreItems({}).put({work + "/one", work + "/two", "/"});
    EXPECT_TRUE(puts[0].ok && puts[1].ok);
    EXPECT_FALSE(puts[2].ok);
    auto putLog = logLines("trashed_items_log_name");
    ASSERT_EQ(putLog.size(), 4u);
    EXPECT_NE(putLog[0].find(RNLocalizedString("start_put")), std::string::npos);
    EXPECT_EQ(putLog[1], "1 " + work + "/one");
    EXPECT_EQ(putLog[2], "2 " + work + "/two");
    EXPECT_EQ(putLog[3].rfind("Trashed 7 bytes on ", 0), 0u) << putLog[3];

    auto outcomes = restoreAll();
    auto restoreLog = logLines("restored_items_log_name");
    ASSERT_EQ(restoreLog.size(), 4u);
    EXPECT_NE(restoreLog[0].find(RNLocalizedString("start_restore")), std::string::npos);
    EXPECT_EQ(restoreLog[1], "1 " + work + "/one");
    EXPECT_EQ(restoreLog[3].rfind("Put back 7 bytes on ", 0), 0u) << restoreLog[3];

    // Nothing moved (or no log wanted): no log session at all.
    RNRestoreItems::Options dry;
    dry.dryRun = true;
    RNRestoreItems(dry).put({work + "/one"});
    EXPECT_EQ(logLines("trashed_items_log_name").size(), 4u);
    RNUserDefaults::standardUserDefaults().setBool(kPrefWriteLog, false);
    RNRestoreItems({}).put({work + "/one"});
    EXPECT_EQ(logLines("trashed_items_log_name").size(), 4u);
}

TEST_F(RestoreSession, AnItemWithoutItsInfoNeedsAChosenFolder) {
    makeDirs(env.homeTrash() + "/files");
    makeDirs(env.homeTrash() + "/info");
    writeFile(env.homeTrash() + "/files/orphan", "o");
    auto outcomes = restoreAll();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].result.status, RestoreStatus::Refused);
    EXPECT_NE(outcomes[0].result.error.find("chosen folder"), std::string::npos) << outcomes[0].result.error;
    RNRestoreItems::Options to;
    to.toDir = work;
    outcomes = restoreAll(to);
    EXPECT_EQ(outcomes[0].result.status, RestoreStatus::Restored) << outcomes[0].result.error;
    EXPECT_EQ(readFile(work + "/orphan"), "o");
}

}  // namespace

namespace {
int lockFlags(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? flags & (FS_IMMUTABLE_FL | FS_APPEND_FL) : -1;
}
}  // namespace

// A locked item, where the user's own rights may unlock it (root here, no helper): each answer
// of the question is followed, the lock goes back on where the item lands when so answered, and
// on the item in the trash when it does not go (here: the place is taken and skipped).
TEST_F(RestoreSession, LockedItemsAreAskedAboutAndLockedAgainWhereTheyEnd) {
    if (!isRoot()) GTEST_SKIP() << "setting the immutable flag needs root";
    for (const char* name : {"keep-lock", "drop-lock", "skipped", "taken"}) writeFile(work + "/" + name, name);
    ASSERT_TRUE(RNRestoreItems({}).put({work + "/keep-lock", work + "/drop-lock", work + "/skipped", work + "/taken"})[0].ok);
    writeFile(work + "/taken", "existing");
    for (const char* name : {"keep-lock", "drop-lock", "skipped"})
        ASSERT_EQ(run("chattr +i " + shellQuote(env.homeTrash() + "/files/" + name)), 0);
    ASSERT_EQ(run("chattr +a " + shellQuote(env.homeTrash() + "/files/taken")), 0);
    backend->queueAnswer(kAlertSecondButtonReturn);  // drop-lock: put back unlocked
    backend->queueAnswer(kAlertFirstButtonReturn);   // keep-lock: put back locked
    backend->queueAnswer(kAlertThirdButtonReturn);   // skipped: skip
    backend->queueAnswer(kAlertFirstButtonReturn);   // taken: put back locked ...
    backend->queueAnswer(kAlertThirdButtonReturn);   // ... but its place is taken: skip
    const auto outcomes = restoreAll();
    ASSERT_EQ(outcomes.size(), 4u);
    EXPECT_EQ(backend->calls(), 5);
    EXPECT_EQ(outcomes[0].result.status, RestoreStatus::Restored) << outcomes[0].result.error;
    EXPECT_EQ(outcomes[1].result.status, RestoreStatus::Restored) << outcomes[1].result.error;
    EXPECT_EQ(outcomes[2].result.status, RestoreStatus::Skipped);
    EXPECT_EQ(outcomes[3].result.status, RestoreStatus::Skipped);
    EXPECT_EQ(lockFlags(work + "/drop-lock"), 0);
    EXPECT_EQ(lockFlags(work + "/keep-lock"), FS_IMMUTABLE_FL);
    EXPECT_EQ(lockFlags(env.homeTrash() + "/files/skipped"), FS_IMMUTABLE_FL);
    EXPECT_EQ(lockFlags(env.homeTrash() + "/files/taken"), FS_APPEND_FL);
    EXPECT_EQ(readFile(work + "/taken"), "existing");
    run("chattr -i -a " + shellQuote(work + "/keep-lock") + " " + shellQuote(env.homeTrash() + "/files/skipped") + " " +
        shellQuote(env.homeTrash() + "/files/taken"));
}
