// quillo-cli restore, put and list end to end, and both directions with trash-cli and gio:
// what they trash comes back byte-exact through quillo-cli, what quillo-cli trashes they list and
// restore. As root every command runs in a private mount namespace that keeps only / and the
// test's own volumes, so no other trash of the machine is ever seen.
#include "files/TrashLocator.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

using namespace quillo::test;

namespace {

class CliRestore : public ::testing::Test {
protected:
    void SetUp() override {
        work = env.home() + "/work";
        makeDirs(work);
    }
    std::string prefix() { return isRoot() && haveTool("unshare") ? isolatedCommand("", keep) : std::string(); }
    // Runs a command line with no terminal on standard input; standard error joins the output.
    int sh(const std::string& program, const std::string& args, std::string* out = nullptr, const std::string& input = "") {
        std::string o;
        const std::string in = input.empty() ? " </dev/null" : " <<'EOF'\n" + input + "\nEOF\n";
        int rc = run("cd " + shellQuote(work) + " && " + prefix() + program + " " + args + " 2>&1" + in, &o);
        if (out) *out = o;
        return rc;
    }
    int cli(const std::string& args, std::string* out = nullptr) { return sh(QUILLO_CLI_PATH, args, out); }
    std::string q(const std::string& s) { return shellQuote(s); }

    TempHome env;
    std::string work;
    std::vector<std::string> keep;  // mount points the commands must see
};

TEST_F(CliRestore, PutListAndRestoreByEitherPath) {
    writeFile(work + "/a.txt", "A");
    makeDirs(work + "/dir");
    writeFile(work + "/dir/b.txt", "B");
    std::string out;
    ASSERT_EQ(cli("put -v a.txt dir/b.txt", &out), 0) << out;
    EXPECT_NE(out.find("trashed " + work + "/a.txt -> " + env.homeTrash() + "/files/a.txt"), std::string::npos) << out;
    EXPECT_FALSE(exists(work + "/a.txt"));

    ASSERT_EQ(cli("list --match 'b.*'", &out), 0);
    EXPECT_NE(out.find("\t" + work + "/dir/b.txt\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("a.txt"), std::string::npos) << "--match filters on the original location";
    ASSERT_EQ(cli("list --json", &out), 0);
    EXPECT_NE(out.find("\"originalPath\":\"" + work + "/a.txt\""), std::string::npos) << out;
    ASSERT_EQ(cli("list --paths", &out), 0);
    EXPECT_NE(out.find(work + "/dir/b.txt\n"), std::string::npos) << out;
    // quillo-cli answers those two itself and hands over what has a message to say.
    EXPECT_EQ(cli("list --json --volume no-such-volume", &out), 2);
    EXPECT_NE(out.find("no-such-volume"), std::string::npos) << out;
    EXPECT_EQ(cli("list --paths --bogus", &out), 2);
    EXPECT_NE(out.find("usage: quillo-cli list"), std::string::npos) << out;

    removeTree(work + "/dir");
    EXPECT_EQ(cli("restore " + q(work + "/a.txt") + " " + q(env.homeTrash() + "/files/b.txt"), &out), 0) << out;
    EXPECT_NE(out.find("restored " + work + "/a.txt\n"), std::string::npos) << out;
    EXPECT_EQ(readFile(work + "/a.txt"), "A");
    EXPECT_EQ(readFile(work + "/dir/b.txt"), "B") << "the missing folder is made again";
    EXPECT_TRUE(listFolder(env.homeTrash() + "/info").empty());
    EXPECT_TRUE(exists(env.stateHome() + "/Quillo 3/Restored items"));
}

TEST_F(CliRestore, WhatIsNotDoneIsSaidAndExitsOne) {
    std::string out;
    EXPECT_EQ(cli("restore nothing-here", &out), 1);
    EXPECT_NE(out.find("not restored: nothing-here: nothing in the trash came from there"), std::string::npos) << out;
    EXPECT_EQ(cli("restore --match 'no-such-*'", &out), 1);
    EXPECT_NE(out.find("nothing in the trash matches"), std::string::npos) << out;
    EXPECT_EQ(cli("put / " + q(env.home()) + " missing", &out), 1);
    EXPECT_NE(out.find("not trashed: /: the root folder"), std::string::npos) << out;
    EXPECT_NE(out.find("not trashed: " + env.home() + ": the home folder"), std::string::npos) << out;
    EXPECT_NE(out.find("not trashed: " + work + "/missing: No such file"), std::string::npos) << out;
    EXPECT_EQ(cli("restore", &out), 2);
    EXPECT_EQ(cli("restore --bogus x", &out), 2);

    // A conflict with no terminal to ask on: skipped, said, exit 1.
    writeFile(work + "/c", "trashed");
    ASSERT_EQ(cli("put c"), 0);
    writeFile(work + "/c", "existing");
    EXPECT_EQ(cli("restore c", &out), 1);
    EXPECT_NE(out.find("not restored: " + work + "/c: " + work + "/c already exists"), std::string::npos) << out;
    EXPECT_EQ(readFile(work + "/c"), "existing");
}

TEST_F(CliRestore, ConflictOptionsDryRunJsonAndTo) {
    for (const char* name : {"r.txt", "p.txt", "s.txt"}) {
        writeFile(work + "/" + name, std::string("trashed ") + name);
        ASSERT_EQ(cli(std::string("put ") + name), 0);
        writeFile(work + "/" + name, "existing");
    }
    std::string out;
    EXPECT_EQ(cli("restore --dry-run --rename r.txt", &out), 0) << out;
    EXPECT_NE(out.find("would restore " + work + "/r (restored).txt"), std::string::npos) << out;
    EXPECT_EQ(listFolder(work).size(), 3u);
    EXPECT_EQ(listFolder(env.homeTrash() + "/files").size(), 3u);

    EXPECT_EQ(cli("restore --rename --json r.txt", &out), 0) << out;
    EXPECT_NE(out.find("\"destination\":\"" + work + "/r (restored).txt\",\"status\":\"restored\""), std::string::npos)
        << out;
    EXPECT_EQ(cli("restore --replace p.txt", &out), 0) << out;
    EXPECT_EQ(readFile(work + "/p.txt"), "trashed p.txt");
    EXPECT_EQ(cli("list --paths", &out), 0);
    EXPECT_NE(out.find(work + "/p.txt\n"), std::string::npos) << "the replaced file is in the trash: " << out;
    EXPECT_EQ(cli("restore --skip --json s.txt", &out), 1);
    EXPECT_NE(out.find("\"status\":\"skipped\""), std::string::npos) << out;

    const std::string to = env.root() + "/chosen";
    makeDirs(to);
    EXPECT_EQ(cli("restore --match '*.txt' --to " + q(to), &out), 0) << out;
    EXPECT_EQ(readFile(to + "/s.txt"), "trashed s.txt");
    EXPECT_EQ(readFile(to + "/p.txt"), "existing");
}

class CliInterop : public CliRestore {
protected:
    void SetUp() override {
        CliRestore::SetUp();
        if (!haveTool("trash-put") || !haveTool("gio")) GTEST_SKIP() << "trash-cli or gio missing (scripts/setup)";
    }
};

TEST_F(CliInterop, HomeTrashBothWays) {
    // trash-cli cannot trash names that are not UTF-8; gio can.
    const std::string utf8 = "été 100% [x] #1";
    const std::string bytes = "raw \xff\xfe name";
    writeFile(work + "/" + utf8, "from trash-put");
    writeFile(work + "/" + bytes, "from gio");
    std::string out;
    ASSERT_EQ(sh("trash-put", q(work + "/" + utf8), &out), 0) << out;
    ASSERT_EQ(sh("gio", "trash " + q(work + "/" + bytes), &out), 0) << out;
    EXPECT_EQ(cli("restore " + q(utf8) + " " + q(bytes), &out), 0) << out;
    EXPECT_EQ(readFile(work + "/" + utf8), "from trash-put");
    EXPECT_EQ(readFile(work + "/" + bytes), "from gio");

    ASSERT_EQ(cli("put " + q(utf8)), 0);
    ASSERT_EQ(sh("trash-list", "", &out), 0);
    EXPECT_NE(out.find(work + "/" + utf8), std::string::npos) << out;
    ASSERT_EQ(sh("trash-restore", q(work), &out, "0"), 0) << out;
    EXPECT_EQ(readFile(work + "/" + utf8), "from trash-put");
    EXPECT_TRUE(listFolder(env.homeTrash() + "/info").empty());
}

// What quillo-cli puts, as GLib's own trash view sees it (gvfsd-trash on a private session bus
// whose daemons get the test's home): listed with its original path, and put back by
// `gio trash --restore`, a folder with its content. (GLib 2.74's --restore writes a name that is
// not ASCII as "\xc3\xa9" text, for what gio trashes too: such a name is only listed here.)
TEST_F(CliInterop, GioListsAndRestoresWhatQuilloPuts) {
    if (!exists("/usr/libexec/gvfsd-trash") || !haveTool("dbus-run-session"))
        GTEST_SKIP() << "gvfsd-trash or dbus-run-session missing (Debian packages gvfs and gvfs-daemons)";
    const std::string name = "vu 50% #1.txt";
    writeFile(work + "/" + name, "from quillo");
    writeFile(work + "/été", "listed");
    makeDirs(work + "/folder");
    writeFile(work + "/folder/inner", "inner");
    std::string out;
    ASSERT_EQ(cli("put " + q(work + "/" + name) + " " + q(work + "/folder") + " " + q(work + "/été"), &out), 0) << out;
    ASSERT_FALSE(exists(work + "/" + name));

    auto uri = [](const std::string& leaf) {
        std::string u = "trash:///";
        for (unsigned char c : leaf) {
            if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
                u += char(c);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                u += hex;
            }
        }
        return u;
    };
    const std::string runtime = env.root() + "/run";
    makeDirs(runtime, 0700);
    // The session bus starts its daemons with its own environment: the test's home, a private
    // runtime folder. Its end stops them.
    const std::string script = "gio list -a trash::orig-path trash:// && echo ==== && gio trash --restore " +
                               q(uri(name)) + " && gio trash --restore " + q(uri("folder"));
    ASSERT_EQ(sh("env XDG_RUNTIME_DIR=" + q(runtime) + " timeout 120 dbus-run-session -- sh -c", q(script), &out), 0)
        << out;
    const std::string listing = out.substr(0, out.find("===="));
    EXPECT_NE(listing.find(name + "\t"), std::string::npos) << listing;
    EXPECT_NE(listing.find("trash::orig-path=" + work + "/" + name + "\n"), std::string::npos) << listing;
    EXPECT_NE(listing.find("trash::orig-path=" + work + "/folder\n"), std::string::npos) << listing;
    // gio writes the bytes of a value that are not ASCII as \xNN.
    EXPECT_NE(listing.find("trash::orig-path=" + work + "/\\xc3\\xa9t\\xc3\\xa9\n"), std::string::npos) << listing;
    EXPECT_EQ(readFile(work + "/" + name), "from quillo") << out;
    EXPECT_EQ(readFile(work + "/folder/inner"), "inner");
    EXPECT_EQ(listFolder(env.homeTrash() + "/files"), std::vector<std::string>{"été"});
    EXPECT_EQ(listFolder(env.homeTrash() + "/info"), std::vector<std::string>{"été.trashinfo"});
}

TEST_F(CliInterop, VolumeTrashesBothWays) {
    if (!isRoot()) GTEST_SKIP() << "mounting needs root";
    ScopedMount ext(env.root(), ScopedMount::Kind::Ext4Loop);  // gio does not trash on tmpfs
    if (!ext.ok() && ext.error().find("missing") != std::string::npos) GTEST_SKIP() << ext.error();
    ScopedMount tmp(env.root(), ScopedMount::Kind::Tmpfs);
    ASSERT_TRUE(ext.ok() && tmp.ok()) << ext.error() << tmp.error();
    keep = {ext.mountPoint(), tmp.mountPoint()};
    const std::string onExt = ext.mountPoint() + "/sub/raw \xff name";
    const std::string onTmp = tmp.mountPoint() + "/sub/été";
    makeDirs(ext.mountPoint() + "/sub");
    makeDirs(tmp.mountPoint() + "/sub");
    writeFile(onExt, "gio");
    writeFile(onTmp, "trash-put");
    std::string out;
    ASSERT_EQ(sh("gio", "trash " + q(onExt), &out), 0) << out;
    ASSERT_EQ(sh("trash-put", q(onTmp), &out), 0) << out;
    auto infos = listFolder(ext.mountPoint() + "/.Trash-0/info");
    ASSERT_EQ(infos.size(), 1u);
    const std::string info = readFile(ext.mountPoint() + "/.Trash-0/info/" + infos[0]);
    EXPECT_NE(info.find("Path=sub/raw%20%FF%20name\n"), std::string::npos) << info;
    removeTree(ext.mountPoint() + "/sub");
    EXPECT_EQ(cli("restore " + q(onExt) + " " + q(onTmp), &out), 0) << out;
    EXPECT_EQ(readFile(onExt), "gio");
    EXPECT_EQ(readFile(onTmp), "trash-put");

    ASSERT_EQ(cli("put " + q(onTmp)), 0);
    EXPECT_NE(readFile(tmp.mountPoint() + "/.Trash-0/info/été.trashinfo").find("Path=sub/%C3%A9t%C3%A9\n"),
              std::string::npos);
    ASSERT_EQ(sh("trash-list", "", &out), 0);
    EXPECT_NE(out.find(onTmp), std::string::npos) << out;
    ASSERT_EQ(sh("trash-restore", q(tmp.mountPoint()), &out, "0"), 0) << out;
    EXPECT_EQ(readFile(onTmp), "trash-put");
}

}  // namespace
