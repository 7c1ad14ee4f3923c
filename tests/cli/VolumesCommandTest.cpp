// quillo-cli volumes end to end, on a planted home trash under a temporary home.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace quillo::test;

namespace {

std::string cli(const std::string& args, int* status = nullptr) {
    std::string out;
    int rc = run(std::string(QUILLO_CLI_PATH) + " " + args + " 2>&1", &out);
    if (status) *status = rc;
    return out;
}

TEST(CliVolumes, HomeTrashRowAndJson) {
    TempHome env;
    std::string files = env.homeTrash() + "/files";
    makeDirs(files);
    writeFile(files + "/file", std::string(1500, 'x'));
    makeDirs(files + "/dir\xff");
    writeFile(files + "/dir\xff/a", std::string(10, 'a'));
    writeFile(files + "/dir\xff/b", std::string(10, 'b'));

    int rc = -1;
    std::string table = cli("volumes", &rc);
    EXPECT_EQ(rc, 0) << table;
    // The trashed items, as the tray and the Lumo Window count them; "count" is every entry.
    EXPECT_NE(table.find("2 items, 1.52 KB"), std::string::npos) << table;

    std::string json = cli("volumes --json", &rc);
    EXPECT_EQ(rc, 0);
    std::string expected = "\"trashURL\":\"" + files +
                           "\",\"trashIsEmpty\":false,\"count\":4,\"size\":1520,\"items\":2,\"readable\":true}";
    EXPECT_NE(json.find(expected), std::string::npos) << json;
    EXPECT_EQ(json.front(), '[');

    // One item is one item.
    ASSERT_EQ(run("rm -rf '" + files + "/dir\xff'"), 0);
    table = cli("volumes", &rc);
    EXPECT_NE(table.find("  1 item, 1.50 KB"), std::string::npos) << table;
}

TEST(CliVolumes, BadUsage) {
    TempHome env;
    int rc = -1;
    cli("volumes --bogus", &rc);
    EXPECT_EQ(rc, 2);
    cli("no-such-command", &rc);
    EXPECT_EQ(rc, 2);
}

TEST(CliVolumes, NoUsableTrashIsAnError) {
    TempHome env;
    // A home trash that can never be made, on the only volume a private mount namespace shows.
    if (!isRoot() || !haveTool("unshare")) GTEST_SKIP() << "needs root and unshare";
    writeFile(env.dataHome() + "/Trash", "a file where the trash should be");
    std::string out;
    int rc = run(isolatedCommand() + QUILLO_CLI_PATH + " volumes 2>&1",
                 &out);
    EXPECT_EQ(rc, 1) << out;
    EXPECT_NE(out.find("no mounted volume has a usable trash"), std::string::npos) << out;
}

}  // namespace

// What shell completion offers for `empty` and `list`: each usable trash's volume name and mount
// point, exactly those of `volumes --json`, each accepted by `list`.
TEST(CliVolumes, NamesAreWhatVolumeArgumentsAccept) {
    TempHome env;
    makeDirs(env.homeTrash() + "/files");
    makeDirs(env.homeTrash() + "/info");
    int rc = -1;
    // Other tests mount and unmount tmpfs volumes while this one runs, so the two listings are
    // compared only when the volume list held still around them.
    std::string names, json, again;
    for (int attempt = 0; attempt < 20; ++attempt) {
        ASSERT_EQ(run(std::string(QUILLO_CLI_PATH) + " volumes --names", &names), 0);
        json = cli("volumes --json", &rc);
        ASSERT_EQ(rc, 0) << json;
        ASSERT_EQ(run(std::string(QUILLO_CLI_PATH) + " volumes --names", &again), 0);
        if (names == again) break;
    }
    ASSERT_EQ(names, again) << "the volume list never held still";
    size_t rows = 0;
    for (size_t at = json.find("\"volumeName\""); at != std::string::npos; at = json.find("\"volumeName\"", at + 1)) ++rows;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl = names.find('\n'); nl != std::string::npos; start = nl + 1, nl = names.find('\n', start))
        lines.push_back(names.substr(start, nl - start));
    ASSERT_EQ(lines.size(), 2 * rows) << names;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string key = i % 2 == 0 ? "\"volumeName\":\"" : "\"volumePath\":\"";
        EXPECT_NE(json.find(key + lines[i] + "\""), std::string::npos) << lines[i] << "\n" << json;
        std::string out = cli("list " + shellQuote(lines[i]), &rc);
        if (rc == 2) {  // refused: fine only if that volume has gone meanwhile
            std::string now;
            ASSERT_EQ(run(std::string(QUILLO_CLI_PATH) + " volumes --names", &now), 0);
            EXPECT_EQ(now.find(lines[i] + "\n"), std::string::npos) << lines[i] << ": " << out;
        }
    }
    cli("volumes --names --bogus", &rc);
    EXPECT_EQ(rc, 2);
}
