// quillo-cli purge end to end: the real binary on the home trash of a temporary home (every run
// names the home trash's volume, so no other trash of the machine is ever looked at).
#include "erase/RNAutoCleanup.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "files/TrashLocator.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace quillo::test;
using namespace quillo::erase;

namespace {

std::string daysAgo(int days) {
    std::time_t t = std::time(nullptr) - std::time_t(days) * 86400;
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    return buf;
}

class CliPurge : public ::testing::Test {
protected:
    void SetUp() override {
        trash = env.homeTrash();
        makeDirs(trash + "/files", 0700);
        makeDirs(trash + "/info", 0700);
        volume = quillo::files::volumeOfPath(trash);
    }
    void plant(const std::string& name, int age, size_t size = 10) {
        writeFile(trash + "/files/" + name, std::string(size, 'x'));
        TempHome::plantTrashInfo(trash, name, daysAgo(age));
    }
    int cli(const std::string& args, std::string* out = nullptr) {
        std::string o;
        int rc = run(std::string(QUILLO_CLI_PATH) + " purge " + args + " </dev/null 2>&1", &o);
        if (out) *out = o;
        return rc;
    }
    std::string onVolume() const { return " --volume " + shellQuote(volume); }

    TempHome env;
    std::string trash, volume;
};

}  // namespace

TEST_F(CliPurge, BadUsageAndRulesOffAreToldApart) {
    plant("old", 90);
    std::string out;
    EXPECT_EQ(cli("", &out), 2) << out;                        // no rule at all
    EXPECT_EQ(cli("--max-size 10X", &out), 2) << out;
    EXPECT_EQ(cli("--older-than", &out), 2) << out;            // value missing
    EXPECT_EQ(cli("--min-free 120%", &out), 2) << out;
    EXPECT_EQ(cli("--from-preferences --older-than 3d", &out), 2) << out;
    EXPECT_EQ(cli("--older-than 3d --volume /no/such/volume", &out), 2) << out;
    // The timer with every rule off (the default) does nothing, successfully.
    EXPECT_EQ(cli("--from-preferences" + onVolume(), &out), 0) << out;
    EXPECT_EQ(listFolder(trash + "/files").size(), 1u);
}

TEST_F(CliPurge, DryRunShowsOldestFirstWithTheTotalAndTheRunErasesExactlyThat) {
    plant("older", 60, 100);
    plant("oldest", 90, 200);
    plant("recent", 3, 400);
    std::string out;
    ASSERT_EQ(cli("--dry-run --json --older-than 30d" + onVolume(), &out), 0) << out;
    EXPECT_NE(out.find("\"totalItems\":2,\"totalBytes\":300"), std::string::npos) << out;
    const size_t oldest = out.find("files/oldest\""), older = out.find("files/older\"");
    ASSERT_NE(oldest, std::string::npos) << out;
    EXPECT_LT(oldest, older) << out;
    EXPECT_EQ(out.find("recent\""), std::string::npos) << out;
    EXPECT_EQ(listFolder(trash + "/files").size(), 3u);

    // The preferences' rules, as the timer runs them.
    ASSERT_EQ(run(std::string(QUILLO_CLI_PATH) + " prefs auto_cleanup_older_than yes"), 0);
    ASSERT_EQ(run(std::string(QUILLO_CLI_PATH) + " prefs auto_cleanup_max_trash_bytes 1G"), 0);
    ASSERT_EQ(cli("--from-preferences --json" + onVolume(), &out), 0) << out;
    EXPECT_NE(out.find("\"erasedItems\":2,\"erasedBytes\":300"), std::string::npos) << out;
    EXPECT_EQ(listFolder(trash + "/files"), (std::vector<std::string>{"recent"}));
    ASSERT_EQ(cli("--older-than 30d" + onVolume(), &out), 0) << out;  // nothing left: still success
}

TEST_F(CliPurge, TheTimerAndTheTrayAppRacingMakeOnePass) {
    for (int i = 0; i < 300; ++i) plant("old" + std::to_string(i), 60);
    RNUserDefaults::resetStandardUserDefaults();
    setupDefaultsPreferences();
    RNUserDefaults::standardUserDefaults().setBool(kPrefAutoCleanupOlderThan, true);

    // The timer fires while the tray app's pass is at work: it does nothing and says why.
    RNCleanupRules rules = RNCleanupRules::fromPreferences();
    RNAutoCleanup::Options options;
    options.volume = volume;
    std::string timerOut;
    int timerStatus = -1;
    options.beforeVolume = [&](const RNCleanupVolumePlan&) {
        timerStatus = cli("--from-preferences --json" + onVolume(), &timerOut);
    };
    RNAutoCleanup tray(rules, options);
    const RNCleanupPassResult r = tray.run();
    EXPECT_EQ(timerStatus, 1) << timerOut;
    EXPECT_NE(timerOut.find("\"busy\":true"), std::string::npos) << timerOut;
    EXPECT_NE(timerOut.find("\"erasedItems\":0"), std::string::npos) << timerOut;
    EXPECT_EQ(r.erasedItems(), 300u);

    // Two terminal passes started together: every item goes once, and neither fails otherwise.
    for (int i = 0; i < 300; ++i) plant("again" + std::to_string(i), 60);
    std::string both;
    run("for i in 1 2; do " + std::string(QUILLO_CLI_PATH) + " purge --json --older-than 30d" + onVolume() +
            " </dev/null & done; wait",
        &both);
    uint64_t erased = 0;
    // Each pass's own total follows its "logFailed" (the volumes' figures come later).
    for (const std::string key : {"\"logFailed\":false,\"erasedItems\":", "\"logFailed\":true,\"erasedItems\":"})
        for (size_t at = both.find(key); at != std::string::npos; at = both.find(key, at + 1))
            erased += std::stoull(both.substr(at + key.size()));
    EXPECT_EQ(erased, 300u) << both;
    EXPECT_TRUE(listFolder(trash + "/files").empty());
    RNUserDefaults::resetStandardUserDefaults();
}
