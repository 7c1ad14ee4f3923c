// Erase sessions end to end on real trashes under a temporary home: confirmation, counting,
// the local pass with its questions, the log, the privileged hand-over and the end.
#include "erase/RNDeleteItems.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNRunLoopMainThread.h"
#include "erase/RNUserDefaults.h"
#include "erase/ScriptedPromptBackend.h"
#include "files/RNFilesUtilities.h"
#include "files/RNQuilloFileUtilities.h"
#include "support/TestSupport.h"
#include "util/Localization.h"
#include "util/RNNumberUtilities.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <chrono>
#include <sstream>
#include <thread>

using namespace quillo::erase;
using namespace quillo::test;
using quillo::files::RNItemToErase;
using quillo::util::RNLocalizedString;

namespace {

class FakeProgress : public RNGenericProgressWindowCntrl {
public:
    std::string mainText() const override { return "Erasing"; }
    void setMainText(const std::string& t) override { push("main:" + t); }
    void setInfoText(const std::string& t) override { push("info:" + t); }
    std::string countStr() const override { return "{done, number} of {total, number}"; }
    void setCountText(const std::string& t) override { push("count:" + t); }
    void setSizeText(const std::string& t) override { push("size:" + t); }
    void hideInfoSizeFields(bool hide) override { push(hide ? "hide" : "unhide"); }
    void startIndeterminateAnimation() override { indeterminate = true; }
    void startDeterminateAnimation() override { indeterminate = false; }
    bool isIndeterminate() const override { return indeterminate; }
    void updateProgress(double p) override { lastPercent = p; }
    void show(RNWindowHandle) override { push("show"); }
    void close() override { push("close"); }
    void push(const std::string& e) {
        std::lock_guard lock(mutex);
        events.push_back(e);
    }
    std::mutex mutex;
    std::vector<std::string> events;
    bool indeterminate = false;
    double lastPercent = -1;
};

// A privileged pass that does what the helper would (as root here) and reports like it.
class FakeEraser : public RNPrivilegedEraser {
public:
    explicit FakeEraser(RNSecureAccessDelegate* d) : delegate(d) {}
    void authorizedEraseWithDictionary(const RNDictionary& r) override {
        request = r;
        ++calls;
        uint64_t count = RNValue::lookup(r, "erasedCount").uintValue();
        uint64_t size = RNValue::lookup(r, "erasedSize").uintValue();
        std::thread([this, r, count, size]() mutable {
            for (const char* key : {"unlockItems", "permissionsItems"}) {
                for (const RNValue& p : RNValue::lookup(r, key).arrayValue()) {
                    if (stopped) break;
                    std::string path = p.stringValue();
                    quillo::test::run("chattr -i '" + path + "' 2>/dev/null; rm -rf '" + path + "'");
                    delegate->setTotItemsDeleted(++count);
                    delegate->setTotSizeDeleted(size += 1);
                    delegate->writeLogEntryWithPath(path, 1);
                }
            }
            delegate->setNotErasedCount(0);
            delegate->setIsWorking(false);
        }).detach();
    }
    void stoppedByUser(bool s) override { stopped = s; }
    RNSecureAccessDelegate* delegate;
    static inline RNDictionary request;
    static inline int calls = 0;
    static inline std::atomic<bool> stopped{false};
};

struct Outcome {
    bool finished = false;  // "stopWorking" arrived
    bool hasUserInfo = false;
    uint64_t erasedCount = 0, erasedSize = 0;
    bool wasStoppedByUser = false;
    uint64_t notErased = 0;
    std::shared_ptr<RNDeleteItems> session;
};

class EraseSession : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        setupDefaultsPreferences();
        backend = std::make_shared<ScriptedPromptBackend>();
        backend->setDefaultResult(quillo::erase::RNPromptResult{kAlertFirstButtonReturn, false});
        RNErrorDelegate::sharedControl().setBackend(backend);
        loop = std::make_shared<RNRunLoopMainThread>();
        RNMainThread::setActive(loop);
        RNDeleteItems::setProgressWindowFactory([this]() -> std::unique_ptr<RNGenericProgressWindowCntrl> {
            auto w = std::make_unique<FakeProgress>();
            progress = w.get();
            return w;
        });
        RNDeleteItems::setPrivilegedEraserFactory(nullptr);
        SetIsHelperAuthorized(false);
        trash = env.homeTrash();
        files = trash + "/files";
        makeDirs(files, 0700);
        makeDirs(trash + "/info", 0700);
        FakeEraser::calls = 0;
        FakeEraser::request.clear();
        FakeEraser::stopped = false;
    }
    void TearDown() override {
        RNDeleteItems::waitForTickToEnd();
        RNDeleteItems::setPrivilegedEraserFactory(nullptr);
        RNMainThread::setActive(nullptr);
        RNUserDefaults::resetStandardUserDefaults();
    }

    // Plants files/NAME with its info file.
    void plant(const std::string& name, const std::string& bytes = "x") {
        writeFile(files + "/" + name, bytes);
        TempHome::plantTrashInfo(trash, name);
    }
    void plantFolder(const std::string& name) {
        makeDirs(files + "/" + name);
        TempHome::plantTrashInfo(trash, name);
    }

    RNDictionary allTrashesRequest() {
        RNArray volumes{RNDictionary{{"trashURL", files}, {"trashIsEmpty", false}}};
        return RNDictionary{{"isAllDisks", true}, {"isLumoErase", false}, {"volumeArray", volumes},
                            {"volumeName", ""},   {"size", uint64_t(0)},  {"count", uint64_t(0)}};
    }

    // Runs one erase the way the tray menu does, until "stopWorking".
    Outcome runErase(const RNDictionary& request, std::function<void(RNDeleteItems&)> whileRunning = {}) {
        Outcome out;
        out.session = RNDeleteItems::create();
        auto session = out.session;
        auto& center = RNNotificationCenter::defaultCenter();
        auto token = center.addObserver(kStopWorking, session.get(), [&](const RNNotification& n) {
            out.finished = true;
            out.hasUserInfo = n.userInfo.has_value();
            out.erasedCount = n.info("erasedCount").uintValue();
            out.erasedSize = n.info("erasedSize").uintValue();
            out.wasStoppedByUser = n.info("wasStoppedByUser").boolValue();
        });
        loop->post([&, session] {
            if (!session->askToContinue(request)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const RNItemList* items = itemListIf(RNValue::lookup(request, "itemsToErase"));
            session->proceedToEraseWithArray(items ? std::optional<RNItemList>(*items) : std::nullopt);
            if (whileRunning) whileRunning(*session);
        });
        bool done = loop->runUntil([&] { return out.finished; }, std::chrono::seconds(60));
        center.removeObserver(token);
        EXPECT_TRUE(done) << "the erase never ended";
        RNDeleteItems::waitForTickToEnd();
        loop->processPendingTasks();
        out.notErased = session->notErasedCount();
        return out;
    }

    std::string logFolder(const char* kindKey) {
        return env.stateHome() + "/Quillo 3/" + RNLocalizedString(kindKey);
    }
    std::vector<std::string> logFiles(const char* kindKey) {
        std::vector<std::string> paths;
        for (const auto& name : listFolder(logFolder(kindKey))) paths.push_back(logFolder(kindKey) + "/" + name);
        return paths;
    }
    std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }

    TempHome env;
    std::shared_ptr<ScriptedPromptBackend> backend;
    std::shared_ptr<RNRunLoopMainThread> loop;
    FakeProgress* progress = nullptr;
    std::string trash, files;
};

TEST_F(EraseSession, AllTrashesRoadWithTheLogsExactLines) {
    plant("a", std::string(100, 'a'));
    plantFolder("folder");
    writeFile(files + "/folder/inner", std::string(20, 'i'));
    Outcome out = runErase(allTrashesRequest());

    ASSERT_TRUE(out.hasUserInfo) << "a normal end carries the totals";
    EXPECT_EQ(out.erasedCount, 3u) << "file, inner file, folder";
    EXPECT_EQ(out.erasedSize, 120u);
    EXPECT_FALSE(exists(files + "/a"));
    EXPECT_FALSE(exists(files + "/folder"));
    EXPECT_FALSE(exists(trash + "/info/a.trashinfo"));
    EXPECT_FALSE(exists(trash + "/info/folder.trashinfo"));

    auto prompts = backend->prompts();
    ASSERT_GE(prompts.size(), 1u);
    EXPECT_TRUE(prompts[0].isEraseConfirmation);
    EXPECT_EQ(prompts[0].title, RNLocalizedString("erase_all"));

    auto logs = logFiles("all_vols_log_name");
    ASSERT_EQ(logs.size(), 1u);
    auto l = lines(readFile(logs[0]));
    ASSERT_GE(l.size(), 5u);
    const std::string everyVolume = RNLocalizedString("log_every_volume");
    const std::string start = quillo::util::RNFormat(RNLocalizedString("start_delete_all"), {everyVolume});
    EXPECT_EQ(l[0].substr(l[0].size() - start.size()), start);
    // Numbering follows erase order; the folder's content comes before the folder.
    auto pos = [&](const std::string& path) {
        for (size_t i = 1; i < 4; ++i)
            if (l[i].find(" " + path) != std::string::npos && l[i].size() == l[i].find(" " + path) + 1 + path.size())
                return int(i);
        return -1;
    };
    EXPECT_GT(pos(files + "/folder"), pos(files + "/folder/inner"));
    EXPECT_NE(pos(files + "/a"), -1);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(l[i].substr(0, 2), std::to_string(i) + " ");
    const std::string end = quillo::util::RNFormat(RNLocalizedString("end_delete_all"), {everyVolume});
    EXPECT_NE(readFile(logs[0]).find(end), std::string::npos);
    EXPECT_NE(l[4].find("120 bytes"), std::string::npos) << l[4];
}

TEST_F(EraseSession, TheCountShowsSizesWhileAskedAndOnlyCountsOnceAnswered) {
    plantFolder("folder");
    makeDirs(files + "/folder/sub");
    writeFile(files + "/folder/sub/inner", std::string(20, 'i'));
    writeFile(files + "/folder/other", std::string(30, 'o'));
    plant("a", std::string(100, 'a'));
    // The confirmation stays up until its size line has the count in it.
    std::string shown;
    backend->setOnPrompt([&](const RNPromptRequest& r) {
        if (!r.isEraseConfirmation || !r.liveText) return;
        const std::string gathering = RNLocalizedString("gathering_info");
        for (int i = 0; i < 500 && (shown = r.liveText()) == gathering; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    Outcome out = runErase(allTrashesRequest());
    const auto& numbers = quillo::util::RNNumberUtilities::sharedControl();
    EXPECT_NE(shown.find(numbers.sizeToFormatString(150, 4, true)), std::string::npos) << shown;
    EXPECT_NE(shown.find(numbers.numberToFormatString(5)), std::string::npos) << shown;
    EXPECT_EQ(out.erasedCount, 5u);
    EXPECT_EQ(out.erasedSize, 150u);

    // Without a confirmation nobody sees the count's sizes: the erase still totals them all,
    // and the count of entries is whole.
    backend->setOnPrompt(nullptr);
    RNUserDefaults::standardUserDefaults().setBool(kPrefShowAlert, false);
    plantFolder("again");
    makeDirs(files + "/again/sub");
    writeFile(files + "/again/sub/inner", std::string(20, 'i'));
    writeFile(files + "/again/other", std::string(30, 'o'));
    plant("b", std::string(100, 'b'));
    Outcome quiet = runErase(allTrashesRequest());
    EXPECT_EQ(quiet.session->totItems(), 5u);
    EXPECT_EQ(quiet.erasedCount, 5u);
    EXPECT_EQ(quiet.erasedSize, 150u);
    EXPECT_TRUE(listFolder(files).empty());
}

TEST_F(EraseSession, FoldersAreEmptiedDepthFirstOneLineEach) {
    plantFolder("top");
    makeDirs(files + "/top/a/b");
    writeFile(files + "/top/a/b/deep", "1234");
    writeFile(files + "/top/a/file", "12");
    makeDirs(files + "/top/empty");
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(out.erasedCount, 6u) << "2 files and 4 folders";
    EXPECT_EQ(out.erasedSize, 6u);
    auto logs = logFiles("selected_items_log_name");
    ASSERT_EQ(logs.size(), 1u) << "a single top-level item logs as selected items";
    auto l = lines(readFile(logs[0]));
    std::vector<std::string> order;
    for (size_t i = 1; i + 1 < l.size(); ++i) order.push_back(l[i].substr(l[i].find(' ') + 1));
    auto at = [&](const std::string& rel) {
        return std::find(order.begin(), order.end(), files + "/top" + rel) - order.begin();
    };
    EXPECT_LT(at("/a/b/deep"), at("/a/b"));
    EXPECT_LT(at("/a/b"), at("/a"));
    EXPECT_LT(at("/a/file"), at("/a"));
    EXPECT_LT(at("/a"), at(""));
    EXPECT_LT(at("/empty"), at(""));
    EXPECT_EQ(order.size(), 6u);
}

TEST_F(EraseSession, CancelEndsWithoutTotalsAndWithoutALog) {
    plant("keep");
    backend->queueAnswer(kAlertSecondButtonReturn);
    Outcome out = runErase(allTrashesRequest());
    EXPECT_TRUE(out.finished);
    EXPECT_FALSE(out.hasUserInfo);
    EXPECT_TRUE(exists(files + "/keep"));
    EXPECT_FALSE(exists(env.stateHome() + "/Quillo 3")) << "logging starts with the erase";
}

TEST_F(EraseSession, EveryTrashEmptyEndsAbandonedInsteadOfWaiting) {
    Outcome out = runErase(allTrashesRequest());
    EXPECT_TRUE(out.finished);
    EXPECT_FALSE(out.hasUserInfo);
    EXPECT_EQ(backend->calls(), 1) << "only the confirmation; no report";
}

TEST_F(EraseSession, OneVolumeWithNothingEndsAbandoned) {
    RNDictionary request{{"isAllDisks", false}, {"isLumoErase", false}, {"volumeName", "Disk"},
                         {"size", uint64_t(0)}, {"count", uint64_t(0)}, {"itemsToErase", itemListValue({})}};
    Outcome out = runErase(request);
    EXPECT_TRUE(out.finished);
    EXPECT_FALSE(out.hasUserInfo);
    auto prompts = backend->prompts();
    ASSERT_FALSE(prompts.empty());
    EXPECT_EQ(prompts[0].title, quillo::util::RNFormat(RNLocalizedString("erase_vol"), {"Disk"}));
}

TEST_F(EraseSession, TwoErasesShareALogFileAndDayLimitZeroStartsANewOne) {
    plant("one");
    plant("two");
    runErase(allTrashesRequest());
    plant("three");
    plant("four");
    runErase(allTrashesRequest());
    auto logs = logFiles("all_vols_log_name");
    ASSERT_EQ(logs.size(), 1u);
    std::string text = readFile(logs[0]);
    auto l = lines(text);
    EXPECT_EQ(std::count_if(l.begin(), l.end(), [](const std::string& s) { return s.rfind("1 ", 0) == 0; }), 2)
        << "each erase numbers from 1:\n" << text;

    RNUserDefaults::standardUserDefaults().setInteger(kPrefHowManyDaysForNewLogFile, 0);
    plant("five");
    plant("six");
    runErase(allTrashesRequest());
    EXPECT_EQ(logFiles("all_vols_log_name").size(), 2u);
}

// Emptying one volume's trash of several items is logged with the Trash erases, in words that
// are true of one volume: never "every volume".
TEST_F(EraseSession, OneVolumesTrashIsLoggedAsThatVolumesNotAsEveryVolume) {
    // A log of the same kind from an earlier version, under the kind's earlier folder name.
    const std::string base = env.stateHome() + "/Quillo 3";
    const std::string earlier = base + "/" + RNLocalizedString("all_vols_log_name_before");
    ASSERT_NE(RNLocalizedString("all_vols_log_name_before"), RNLocalizedString("all_vols_log_name"));
    makeDirs(earlier, 0700);
    writeFile(earlier + "/" + RNLocalizedString("all_vols_log_name_before") + " earlier.log", "earlier line\n");

    plant("one");
    plant("two");
    plantFolder("three");
    auto listing = quillo::files::RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(files);
    ASSERT_TRUE(listing);
    RNDictionary request{{"isAllDisks", false}, {"isLumoErase", false}, {"volumeName", "Camera Card"},
                         {"size", listing->size}, {"count", listing->count},
                         {"itemsToErase", itemListValue(listing->itemsToErase)}};
    Outcome out = runErase(request);
    EXPECT_EQ(out.erasedCount, 3u);

    // The confirmation counted the three trashed items.
    auto prompts = backend->prompts();
    ASSERT_FALSE(prompts.empty());
    ASSERT_TRUE(prompts[0].liveText);

    // The earlier folder was taken over, and its newest log appended to.
    EXPECT_FALSE(exists(earlier));
    auto logs = logFiles("all_vols_log_name");
    ASSERT_EQ(logs.size(), 1u);
    const std::string text = readFile(logs[0]);
    EXPECT_EQ(text.rfind("earlier line\n", 0), 0u) << text;
    EXPECT_NE(text.find(" Emptying the Trash of \u201cCamera Card\u201d.\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Finished emptying the Trash of \u201cCamera Card\u201d."), std::string::npos) << text;
    for (const char* word : {"every volume", "All volumes"})
        EXPECT_EQ(text.find(word, 14), std::string::npos) << word << " in:\n" << text;

    // Emptying every trash still says so, in the same folder.
    plant("four");
    plant("five");
    runErase(allTrashesRequest());
    EXPECT_NE(readFile(logs[0]).find(" Emptying the Trash of every volume.\n"), std::string::npos) << readFile(logs[0]);
}

TEST_F(EraseSession, NamesThatAreNotTextKeepTheirBytesInProgressAndReports) {
    // What the user reads tells "Cl\xE9" from "Cl\xE8"; the replacement character would not.
    plant("one");
    auto listing = quillo::files::RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(files);
    ASSERT_TRUE(listing);
    RNDictionary request{{"isAllDisks", false}, {"isLumoErase", false}, {"volumeName", "Cl\xe9"},
                         {"size", listing->size}, {"count", listing->count},
                         {"itemsToErase", itemListValue(listing->itemsToErase)}};
    Outcome out = runErase(request);
    EXPECT_EQ(out.erasedCount, 1u);
    ASSERT_NE(progress, nullptr);
    std::vector<std::string> events;
    {
        std::lock_guard lock(progress->mutex);
        events = progress->events;
    }
    bool named = false;
    for (const auto& e : events) {
        EXPECT_EQ(e.find("\xEF\xBF\xBD"), std::string::npos) << e;
        if (e.rfind("info:", 0) == 0 && e.find("Cl\\xE9") != std::string::npos) named = true;
    }
    EXPECT_TRUE(named) << "no progress text names the volume";

    EXPECT_EQ(RNDeleteItems::namesOfFirstItems({files + "/caf\xe9", files + "/b\xc3\xa9"}), "caf\\xE9, b\xc3\xa9");
}

TEST_F(EraseSession, NoLogWhenLoggingIsOffAndNoConfirmationWhenAlertIsOff) {
    RNUserDefaults::standardUserDefaults().setBool(kPrefWriteLog, false);
    RNUserDefaults::standardUserDefaults().setBool(kPrefShowAlert, false);
    plant("gone");
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(out.erasedCount, 1u);
    EXPECT_EQ(backend->calls(), 0);
    EXPECT_FALSE(exists(env.stateHome() + "/Quillo 3"));
}

TEST_F(EraseSession, NonUtf8NameIsErasedAndLoggedEscaped) {
    plant("bad\xff name");
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(out.erasedCount, 1u);
    EXPECT_FALSE(exists(files + "/bad\xff name"));
    EXPECT_FALSE(exists(trash + "/info/bad\xff name.trashinfo"));
    auto logs = logFiles("selected_items_log_name");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(readFile(logs[0]).find("1 " + files + "/bad\\xFF name\n"), std::string::npos) << readFile(logs[0]);
}

TEST_F(EraseSession, InfoFilesAreNeverOrphanedNorLost) {
    plant("erased");
    TempHome::plantTrashInfo(trash, "orphan-from-before");
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(out.erasedCount, 1u);
    EXPECT_FALSE(exists(trash + "/info/erased.trashinfo"));
    EXPECT_FALSE(exists(trash + "/info/orphan-from-before.trashinfo")) << "emptying a trash drops orphans";
}

TEST_F(EraseSession, StopFinishesTheItemInHandAndEndsStopped) {
    for (int i = 0; i < 1500; ++i) plant("f" + std::to_string(i));
    // Stop as soon as the erase runs: the pass ends before the next item.
    RNUserDefaults::standardUserDefaults().setBool(kPrefShowAlert, false);
    Outcome out = runErase(allTrashesRequest(), [](RNDeleteItems& s) { s.setIsStopped(true); });
    ASSERT_TRUE(out.finished);
    uint64_t left = 0;
    for (int i = 0; i < 1500; ++i) left += exists(files + "/f" + std::to_string(i));
    EXPECT_GT(left, 0u) << "the pass stopped early";
    if (out.hasUserInfo) {
        EXPECT_TRUE(out.wasStoppedByUser);
        EXPECT_EQ(out.erasedCount + left, 1500u) << "no item half-handled";
    }
    for (int i = 0; i < 1500; ++i) {
        std::string n = "f" + std::to_string(i);
        EXPECT_EQ(exists(files + "/" + n), exists(trash + "/info/" + n + ".trashinfo")) << n;
    }
}

TEST_F(EraseSession, LumoEraseAnswersWaitForResponseAndErasesTheChosenItems) {
    plant("chosen", "12345");
    plant("other");
    RNItemToErase item = RNItemToErase::newItem();
    item.url = files + "/chosen";
    item.size = 5;
    item.count = 1;
    RNDictionary itemsDict{{"itemsToErase", itemListValue({item})}, {"isLumoErase", true}};
    RNDictionary request{{"isAllDisks", false}, {"isLumoErase", true}, {"volumeName", ""},
                         {"size", uint64_t(5)}, {"count", uint64_t(1)}, {"itemsDict", itemsDict}};
    Outcome out;
    auto session = RNDeleteItems::create();
    auto& center = RNNotificationCenter::defaultCenter();
    bool answered = false;
    auto t1 = center.addObserver(kWaitForResponse, session.get(), [&](const RNNotification& n) {
        answered = true;
        EXPECT_TRUE(n.info("canContinue").boolValue());
        const RNItemList* list = itemListIf(n.info("itemsDict")["itemsToErase"]);
        ASSERT_TRUE(list);
        RNItemList copy = *list;
        loop->post([session, copy] { session->proceedToEraseWithArray(copy); });
    });
    auto t2 = center.addObserver(kStopWorking, session.get(), [&](const RNNotification& n) {
        out.finished = true;
        out.erasedCount = n.info("erasedCount").uintValue();
    });
    loop->post([&] { EXPECT_TRUE(session->askToContinue(request)); });
    ASSERT_TRUE(loop->runUntil([&] { return out.finished; }, std::chrono::seconds(30)));
    center.removeObserver(t1);
    center.removeObserver(t2);
    EXPECT_TRUE(answered);
    EXPECT_EQ(out.erasedCount, 1u);
    EXPECT_FALSE(exists(files + "/chosen"));
    EXPECT_TRUE(exists(files + "/other"));
    EXPECT_TRUE(exists(trash + "/info/other.trashinfo")) << "a main-window erase keeps other info files";
    EXPECT_EQ(backend->prompts()[0].title, RNLocalizedString("lumo_erase_info"));
    EXPECT_EQ(logFiles("selected_items_log_name").size(), 1u);
}

TEST_F(EraseSession, StopEndsAWaitForACountThatNeverComes) {
    plant("kept");
    RNItemToErase item = RNItemToErase::newItem();
    item.url = files + "/kept";
    // A main-window request sent while its list is still measuring: count 0, and in this test
    // the list never reports.
    RNDictionary itemsDict{{"itemsToErase", itemListValue({item})}, {"isLumoErase", true}};
    RNDictionary request{{"isAllDisks", false}, {"isLumoErase", true}, {"volumeName", ""},
                         {"size", uint64_t(0)}, {"count", uint64_t(0)}, {"itemsDict", itemsDict}};
    auto session = RNDeleteItems::create();
    auto& center = RNNotificationCenter::defaultCenter();
    bool ended = false, withTotals = true;
    auto t1 = center.addObserver(kWaitForResponse, session.get(), [&](const RNNotification&) {
        loop->post([session, item, this] {
            session->proceedToEraseWithArray(RNItemList{item});
            std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (progress) progress->stopAction();
            }).detach();
        });
    });
    auto t2 = center.addObserver(kStopWorking, session.get(), [&](const RNNotification& n) {
        ended = true;
        withTotals = n.userInfo.has_value();
    });
    loop->post([&] { session->askToContinue(request); });
    EXPECT_TRUE(loop->runUntil([&] { return ended; }, std::chrono::seconds(20))) << "the stop ended the wait";
    center.removeObserver(t1);
    center.removeObserver(t2);
    EXPECT_FALSE(withTotals) << "nothing was erased: abandoned";
    EXPECT_TRUE(exists(files + "/kept"));
}

// One trashed folder of many subfolders is emptied by two workers: every entry is erased and
// logged exactly once, numbered 1..N without gaps, each folder after its content.
TEST_F(EraseSession, TwoWorkersInsideOneFolderLogEveryItemOnceAndInOrderPerFolder) {
    plantFolder("big");
    std::set<std::string> expected{files + "/big"};
    for (int d = 0; d < 60; ++d) {
        const std::string sub = files + "/big/sub" + std::to_string(d);
        makeDirs(sub + "/inner");
        expected.insert(sub);
        expected.insert(sub + "/inner");
        for (int i = 0; i < 30; ++i) {
            writeFile(sub + "/f" + std::to_string(i), "12");
            writeFile(sub + "/inner/g" + std::to_string(i), "3");
            expected.insert(sub + "/f" + std::to_string(i));
            expected.insert(sub + "/inner/g" + std::to_string(i));
        }
    }
    Outcome out = runErase(allTrashesRequest());
    EXPECT_FALSE(exists(files + "/big"));
    EXPECT_EQ(out.erasedCount, expected.size());
    EXPECT_EQ(out.erasedSize, 60u * 30u * 3u);
    auto logs = logFiles("selected_items_log_name");
    ASSERT_EQ(logs.size(), 1u);
    auto l = lines(readFile(logs[0]));
    ASSERT_EQ(l.size(), expected.size() + 2);
    std::map<std::string, size_t> at;
    for (size_t i = 1; i + 1 < l.size(); ++i) {
        const size_t space = l[i].find(' ');
        EXPECT_EQ(l[i].substr(0, space), quillo::util::RNNumberUtilities::sharedControl().numberToFormatString(double(i)));
        EXPECT_TRUE(at.emplace(l[i].substr(space + 1), i).second) << "logged twice: " << l[i];
    }
    for (const std::string& path : expected) {
        ASSERT_TRUE(at.count(path)) << "not logged: " << path;
        const std::string parent = path.substr(0, path.rfind('/'));
        if (at.count(parent)) {
            EXPECT_LT(at[path], at[parent]) << path;
        }
    }
}

// Locked items: only root can set or clear the immutable flag.
class EraseSessionLocked : public EraseSession {
protected:
    void SetUp() override {
        EraseSession::SetUp();
        if (!isRoot() || !haveTool("chattr")) GTEST_SKIP() << "needs root and chattr";
        SetIsHelperAuthorized(true);
    }
    void lock(const std::string& path) { ASSERT_EQ(run("chattr +i '" + path + "'"), 0); }
};

TEST_F(EraseSessionLocked, HiddenLockedItemGoesWithoutAQuestion) {
    plant(".hidden-locked");
    lock(files + "/.hidden-locked");
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(out.erasedCount, 1u);
    EXPECT_FALSE(exists(files + "/.hidden-locked"));
    EXPECT_EQ(backend->calls(), 1) << "only the confirmation";
}

TEST_F(EraseSessionLocked, ApplyToAllEraseTakesEveryLockedItem) {
    for (const char* n : {"l1", "l2", "l3"}) {
        plant(n);
        lock(files + "/" + n);
    }
    backend->queueAnswer(kAlertFirstButtonReturn);       // confirmation
    backend->queueAnswer(kAlertSecondButtonReturn, true);  // "erase", for all
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(out.erasedCount, 3u);
    EXPECT_EQ(backend->calls(), 2);
    const std::string asked = backend->prompts()[1].title;
    bool matches = false;
    for (const char* n : {"l1", "l2", "l3"})
        matches |= asked == quillo::util::RNFormat(RNLocalizedString("undeleted_locked_sing_str"), {n});
    EXPECT_TRUE(matches) << asked;
    EXPECT_TRUE(backend->prompts()[1].checkBoxTitle.has_value());
}

TEST_F(EraseSessionLocked, ApplyToAllSkipKeepsEveryLockedItem) {
    for (const char* n : {"l1", "l2", "l3"}) {
        plant(n);
        lock(files + "/" + n);
    }
    plant("free");
    backend->queueAnswer(kAlertFirstButtonReturn);
    backend->queueAnswer(kAlertFirstButtonReturn, true);  // "skip", for all
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(out.erasedCount, 1u);
    EXPECT_EQ(backend->calls(), 2) << "asked once, then applied to all";
    for (const char* n : {"l1", "l2", "l3"}) {
        EXPECT_TRUE(exists(files + std::string("/") + n));
        EXPECT_TRUE(exists(trash + "/info/" + n + ".trashinfo")) << "a kept item keeps its info file";
        run("chattr -i '" + files + "/" + n + "'");
    }
}

// An answer without "apply to all" is for that item only: the next locked item is asked about
// again.
TEST_F(EraseSessionLocked, AnAnswerWithoutApplyToAllIsAskedAgainForTheNextLockedItem) {
    for (const char* n : {"l1", "l2", "l3"}) {
        plant(n);
        lock(files + "/" + n);
    }
    plant("free");
    backend->queueAnswer(kAlertFirstButtonReturn);          // confirmation
    backend->queueAnswer(kAlertSecondButtonReturn, false);  // "erase", this one only
    backend->queueAnswer(kAlertFirstButtonReturn, false);   // "skip", this one only
    backend->queueAnswer(kAlertFirstButtonReturn, false);
    Outcome out = runErase(allTrashesRequest());
    EXPECT_EQ(backend->calls(), 4) << "each locked item asked about";
    EXPECT_EQ(out.erasedCount, 2u);
    size_t left = 0;
    for (const char* n : {"l1", "l2", "l3"}) {
        if (exists(files + std::string("/") + n)) ++left;
        run("chattr -i '" + files + "/" + n + "' 2>/dev/null");
    }
    EXPECT_EQ(left, 2u);
}

// The same for the no-permission question: files in a locked folder cannot be removed (EPERM),
// even by root.
TEST_F(EraseSessionLocked, AnAnswerWithoutApplyToAllIsAskedAgainForTheNextItemWithoutPermission) {
    plantFolder("box");
    for (const char* n : {"p1", "p2", "p3"}) writeFile(files + "/box/" + n, "p");
    lock(files + "/box");
    plant("free");
    backend->queueAnswer(kAlertFirstButtonReturn);
    for (int i = 0; i < 3; ++i) backend->queueAnswer(kAlertFirstButtonReturn, false);  // "skip", this one only
    Outcome out = runErase(allTrashesRequest());
    run("chattr -i '" + files + "/box'");
    EXPECT_EQ(backend->calls(), 4) << "each item without permission asked about";
    const auto prompts = backend->prompts();
    for (size_t i = 1; i < prompts.size() && i < 4; ++i) {
        bool matches = false;
        for (const char* n : {"p1", "p2", "p3"})
            matches |= prompts[i].title ==
                       quillo::util::RNFormat(RNLocalizedString("undeleted_no_permissions_sing_str"), {n});
        EXPECT_TRUE(matches) << prompts[i].title;
    }
    EXPECT_EQ(out.erasedCount, 1u);
    EXPECT_EQ(listFolder(files + "/box").size(), 3u);
}

// Nothing could be removed and nothing went to the helper: the erase is abandoned (no totals),
// and the report still names what stayed.
TEST_F(EraseSessionLocked, AnAbandonedEraseStillReportsWhatStayed) {
    for (const char* n : {"l1", "l2"}) {
        plant(n);
        lock(files + "/" + n);
    }
    backend->queueAnswer(kAlertFirstButtonReturn);
    backend->queueAnswer(kAlertFirstButtonReturn, true);  // "skip", for all
    Outcome out = runErase(allTrashesRequest());
    for (const char* n : {"l1", "l2"}) run("chattr -i '" + files + "/" + n + "'");
    EXPECT_FALSE(out.hasUserInfo) << "abandoned";
    EXPECT_EQ(out.session->itemsLeft().size(), 2u);
    const auto prompts = backend->prompts();
    ASSERT_EQ(prompts.size(), 3u);
    EXPECT_EQ(prompts.back().title, RNLocalizedString("not_erased", "Errors"));
    EXPECT_NE(prompts.back().message.find("l1"), std::string::npos) << prompts.back().message;
    EXPECT_NE(prompts.back().message.find("l2"), std::string::npos) << prompts.back().message;
    EXPECT_EQ(prompts.back().message.rfind("2 ", 0), 0u) << prompts.back().message;
}

// What the second worker leaves (locked files deep in subfolders) goes through the questions
// once, and everything else goes.
TEST_F(EraseSessionLocked, LockedFilesInsideSubfoldersOfOneFolderAreAskedAboutOnce) {
    plantFolder("big");
    for (int d = 0; d < 20; ++d) {
        makeDirs(files + "/big/s" + std::to_string(d));
        for (int i = 0; i < 20; ++i) writeFile(files + "/big/s" + std::to_string(d) + "/f" + std::to_string(i), "x");
    }
    lock(files + "/big/s3/f7");
    lock(files + "/big/s15/f0");
    backend->queueAnswer(kAlertFirstButtonReturn);
    backend->queueAnswer(kAlertFirstButtonReturn, true);  // "skip", for all
    Outcome out = runErase(allTrashesRequest());
    run("chattr -i '" + files + "/big/s3/f7' '" + files + "/big/s15/f0'");
    EXPECT_EQ(backend->calls(), 2);
    EXPECT_EQ(out.erasedCount, 20u * 20u - 2u + 18u);
    EXPECT_EQ(listFolder(files + "/big"), (std::vector<std::string>{"s15", "s3"}));
    EXPECT_EQ(listFolder(files + "/big/s3"), std::vector<std::string>{"f7"});
    EXPECT_EQ(listFolder(files + "/big/s15"), std::vector<std::string>{"f0"});
}

TEST_F(EraseSessionLocked, ItemInUseIsReportedBusy) {
    plantFolder("with-mount");
    writeFile(files + "/with-mount/plain", "p");
    ScopedMount m(files + "/with-mount", ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(m.ok()) << m.error();
    writeFile(m.mountPoint() + "/on-the-other-fs", "keep");
    Outcome out = runErase(allTrashesRequest());
    EXPECT_TRUE(isMountRoot(m.mountPoint()));
    EXPECT_TRUE(exists(m.mountPoint() + "/on-the-other-fs")) << "the mounted file system is never entered";
    EXPECT_FALSE(exists(files + "/with-mount/plain"));
    EXPECT_EQ(out.erasedCount, 1u);
    auto prompts = backend->prompts();
    ASSERT_GE(prompts.size(), 2u);
    EXPECT_EQ(prompts.back().title, "One item could not be erased because it is in use.");
    EXPECT_GE(out.notErased, 1u);
}

// An unprivileged user meets an immutable file and a root-owned folder. The whole process
// takes the user's effective ids for the erase (every thread, as setresuid does), so the
// session's own permission checks and removals meet the real kernel rules.
class AsNobody {
public:
    AsNobody() { ok_ = ::setegid(kNobodyGid) == 0 && ::seteuid(kNobodyUid) == 0; }
    ~AsNobody() {
        if (::seteuid(0) != 0 || ::setegid(0) != 0) std::abort();
    }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

class Recorder : public RNPrivilegedEraser {
public:
    explicit Recorder(RNSecureAccessDelegate* d) : delegate(d) {}
    void authorizedEraseWithDictionary(const RNDictionary& r) override {
        seen = r;
        delegate->setNotErasedCount(0);
        delegate->setIsWorking(false);
    }
    void stoppedByUser(bool) override {}
    RNSecureAccessDelegate* delegate;
    static inline RNDictionary seen;
};

TEST_F(EraseSessionLocked, UnprivilegedUserQueuesOrCountsWhatItCannotRemove) {
    for (bool authorized : {false, true}) {
        SCOPED_TRACE(authorized ? "helper authorized" : "no helper");
        plant("immutable");
        plantFolder("rootdir");
        writeFile(files + "/rootdir/secret", "s");
        plant("mine");
        run("chown -R 65534:65534 '" + env.root() + "'");
        ::chmod(env.root().c_str(), 0755);
        run("chown -R 0:0 '" + files + "/rootdir'");
        ::chmod((files + "/rootdir").c_str(), 0755);
        lock(files + "/immutable");

        SetIsHelperAuthorized(authorized);
        Recorder::seen.clear();
        RNDeleteItems::setPrivilegedEraserFactory([](RNSecureAccessDelegate* d) { return std::make_unique<Recorder>(d); });
        backend->setDefaultResult(quillo::erase::RNPromptResult{kAlertSecondButtonReturn, true});  // erase, for all
        backend->queueAnswer(kAlertFirstButtonReturn);  // the confirmation
        Outcome out;
        {
            AsNobody nobody;
            ASSERT_TRUE(nobody.ok());
            out = runErase(allTrashesRequest());
        }
        EXPECT_FALSE(exists(files + "/mine")) << "what the user may remove goes";
        EXPECT_TRUE(exists(files + "/immutable"));
        EXPECT_TRUE(exists(files + "/rootdir/secret"));
        EXPECT_TRUE(exists(trash + "/info/immutable.trashinfo"));
        EXPECT_TRUE(exists(trash + "/info/rootdir.trashinfo"));
        if (!authorized) {
            EXPECT_GE(out.notErased, 2u);
            EXPECT_TRUE(Recorder::seen.empty());
            EXPECT_EQ(backend->prompts().back().title, RNLocalizedString("user_not_authorized", "Errors"));
        } else {
            auto unlock = RNValue::lookup(Recorder::seen, "unlockItems").arrayValue();
            auto perms = RNValue::lookup(Recorder::seen, "permissionsItems").arrayValue();
            ASSERT_EQ(unlock.size(), 1u);
            EXPECT_EQ(unlock[0].stringValue(), files + "/immutable");
            ASSERT_EQ(perms.size(), 1u);
            EXPECT_EQ(perms[0].stringValue(), files + "/rootdir/secret");
            auto notEmpty = RNValue::lookup(Recorder::seen, "notTrashedBecauseFolderNotEmpty").arrayValue();
            ASSERT_EQ(notEmpty.size(), 1u);
            EXPECT_EQ(notEmpty[0].stringValue(), files + "/rootdir");
        }
        run("chattr -i '" + files + "/immutable'");
        run("rm -rf '" + files + "'/* '" + trash + "'/info/*");
    }
}

TEST_F(EraseSessionLocked, PrivilegedPassContinuesTheTotals) {
    plant("free", "12");
    plant("locked");
    lock(files + "/locked");
    // An immutable trashed folder: what is inside cannot be removed, even by root, until the
    // folder is unlocked; that goes to the privileged pass.
    plantFolder("sealed");
    writeFile(files + "/sealed/inside", "i");
    lock(files + "/sealed");
    RNDeleteItems::setPrivilegedEraserFactory([](RNSecureAccessDelegate* d) { return std::make_unique<FakeEraser>(d); });
    backend->queueAnswer(kAlertFirstButtonReturn);
    backend->setDefaultResult(quillo::erase::RNPromptResult{kAlertSecondButtonReturn, true});
    Outcome out = runErase(allTrashesRequest());
    run("chattr -R -i '" + files + "' 2>/dev/null");
    ASSERT_EQ(FakeEraser::calls, 1);
    EXPECT_TRUE(out.hasUserInfo);
    const uint64_t local = RNValue::lookup(FakeEraser::request, "erasedCount").uintValue();
    EXPECT_EQ(local, 2u) << "free and locked went locally";
    EXPECT_EQ(RNValue::lookup(FakeEraser::request, "erasedSize").uintValue(), 3u);
    auto perms = RNValue::lookup(FakeEraser::request, "permissionsItems").arrayValue();
    ASSERT_EQ(perms.size(), 1u);
    EXPECT_EQ(perms[0].stringValue(), files + "/sealed/inside");
    auto notEmpty = RNValue::lookup(FakeEraser::request, "notTrashedBecauseFolderNotEmpty").arrayValue();
    ASSERT_EQ(notEmpty.size(), 1u);
    EXPECT_EQ(notEmpty[0].stringValue(), files + "/sealed");
    EXPECT_EQ(out.erasedCount, local + 1) << "the helper's totals continue from the local ones";
}

// A privileged pass that runs until it is told to stop.
class StoppableEraser : public RNPrivilegedEraser {
public:
    explicit StoppableEraser(RNSecureAccessDelegate* d) : delegate(d) {}
    void authorizedEraseWithDictionary(const RNDictionary&) override {
        running = true;
        std::thread([this] {
            for (int i = 0; i < 1000 && !stopped; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            delegate->setNotErasedCount(1);
            delegate->setIsWorking(false);
        }).detach();
    }
    void stoppedByUser(bool s) override { stopped = s; }
    RNSecureAccessDelegate* delegate;
    static inline std::atomic<bool> running{false};
    static inline std::atomic<bool> stopped{false};
};

TEST_F(EraseSessionLocked, StopButtonReachesARunningPrivilegedPass) {
    plantFolder("sealed");
    writeFile(files + "/sealed/inside", "i");
    lock(files + "/sealed");
    StoppableEraser::running = false;
    StoppableEraser::stopped = false;
    RNDeleteItems::setPrivilegedEraserFactory([](RNSecureAccessDelegate* d) { return std::make_unique<StoppableEraser>(d); });
    backend->queueAnswer(kAlertFirstButtonReturn);
    backend->setDefaultResult(quillo::erase::RNPromptResult{kAlertSecondButtonReturn, true});
    std::thread presser([this] {
        for (int i = 0; i < 1000 && !StoppableEraser::running; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (progress) progress->stopAction();  // the panel's stop button
    });
    Outcome out = runErase(allTrashesRequest());
    presser.join();
    run("chattr -R -i '" + files + "' 2>/dev/null");
    EXPECT_TRUE(StoppableEraser::stopped) << "the stop reached the helper";
    EXPECT_TRUE(out.wasStoppedByUser);
}

}  // namespace
