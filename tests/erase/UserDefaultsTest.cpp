#include "erase/RNPropertyList.h"
#include "erase/RNUserDefaults.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace quillo::erase;
namespace qt = quillo::test;

namespace {

std::vector<std::string> listDir(const std::string& dir) { return quillo::test::listFolder(dir); }

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

// Runs `body` in a child process as the unprivileged user; gives its exit status.
int runAsNobody(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(qt::kNobodyGid) != 0 || ::setuid(qt::kNobodyUid) != 0)
            ::_exit(90);
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 91;
}

class EraseUserDefaults : public ::testing::Test {
protected:
    void SetUp() override { RNUserDefaults::resetStandardUserDefaults(); }
    void TearDown() override { RNUserDefaults::resetStandardUserDefaults(); }

    std::string prefsDir() const { return home.configHome() + "/quillo"; }
    std::string prefsFile() const { return prefsDir() + "/org.quillo.quillo-3.plist"; }

    qt::TempHome home;
};

}  // namespace

TEST_F(EraseUserDefaults, RoundTripThroughTheFile) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    EXPECT_EQ(defaults.path(), prefsFile());
    EXPECT_FALSE(defaults.persistentDomain().has_value()) << "no file yet";

    RNDictionary hotKey{{"keyCode", 0x01000003}, {"modifierFlags", 0x14000000}};
    EXPECT_TRUE(defaults.setBool("show_alert", false));
    EXPECT_TRUE(defaults.setInteger("how_many_days_for_new_log_file", 30));
    EXPECT_TRUE(defaults.setString("lumo_delete_window", "{{10, 20}, {800, 600}}"));
    EXPECT_TRUE(defaults.setObject("empty_trash", hotKey));
    EXPECT_TRUE(defaults.setObject("mixed", RNArray{1.5, "é", RNValue::Data{0, 255, 7}, -4}));

    std::string xml = qt::readFile(prefsFile());
    EXPECT_NE(xml.find("<key>lumo_delete_window</key>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<plist"), std::string::npos);

    RNUserDefaults::resetStandardUserDefaults();
    RNUserDefaults& again = RNUserDefaults::standardUserDefaults();
    EXPECT_NE(&again, &defaults);
    EXPECT_FALSE(again.boolForKey("show_alert"));
    EXPECT_TRUE(again.objectForKey("show_alert").type() == RNValue::Type::Bool);
    EXPECT_EQ(again.integerForKey("how_many_days_for_new_log_file"), 30);
    EXPECT_EQ(again.stringForKey("lumo_delete_window"), "{{10, 20}, {800, 600}}");
    EXPECT_EQ(again.dictionaryForKey("empty_trash"), hotKey);
    EXPECT_EQ(again.objectForKey("mixed"), RNValue(RNArray{1.5, "é", RNValue::Data{0, 255, 7}, -4}));

    struct stat st;
    ASSERT_EQ(::stat(prefsFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "preferences are private";
}

TEST_F(EraseUserDefaults, RegisteredDefaultsAreTheFallback) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    defaults.registerDefaults({{"write_log", true}, {"how_many_days_for_new_log_file", 7}});
    EXPECT_TRUE(defaults.boolForKey("write_log"));
    EXPECT_EQ(defaults.integerForKey("how_many_days_for_new_log_file"), 7);
    EXPECT_TRUE(defaults.objectForKey("unknown").isNull());
    EXPECT_EQ(defaults.stringForKey("write_log"), "") << "not a string";
    EXPECT_FALSE(defaults.dictionaryForKey("write_log").has_value());

    // Removing a key that was never stored creates no file.
    EXPECT_TRUE(defaults.removeObjectForKey("write_log"));
    EXPECT_FALSE(qt::exists(prefsFile()));
    EXPECT_FALSE(defaults.persistentDomain().has_value());

    defaults.setBool("write_log", false);
    EXPECT_FALSE(defaults.boolForKey("write_log"));
    EXPECT_EQ(defaults.persistentDomain(), (RNDictionary{{"write_log", false}}));
    EXPECT_EQ(defaults.registrationDomain().at("write_log"), RNValue(true)) << "registration untouched";

    defaults.removeObjectForKey("write_log");
    EXPECT_TRUE(defaults.boolForKey("write_log")) << "back to the registered default";
    EXPECT_EQ(defaults.persistentDomain(), RNDictionary{}) << "domain stays, empty";

    EXPECT_TRUE(defaults.removePersistentDomain());
    EXPECT_FALSE(qt::exists(prefsFile()));
    EXPECT_FALSE(defaults.persistentDomain().has_value());
}

TEST_F(EraseUserDefaults, CorruptFileIsKeptAsideAndDefaultsAreUsed) {
    qt::makeDirs(prefsDir());
    const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>show_alert</key><fal";
    qt::writeFile(prefsFile(), garbage);

    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    ::testing::internal::CaptureStderr();
    defaults.registerDefaults({{"show_alert", true}});
    bool showAlert = defaults.boolForKey("show_alert");
    defaults.boolForKey("show_alert");
    defaults.setBool("write_log", false);
    std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_TRUE(showAlert) << "the registered default is used";
    std::vector<std::string> names = listDir(prefsDir());
    ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
    const std::string aside = prefsDir() + "/" + names[1];
    EXPECT_EQ(names[0], "org.quillo.quillo-3.plist") << "a new file with the change";
    EXPECT_EQ(names[1].rfind("org.quillo.quillo-3.plist.corrupt-", 0), 0u) << names[1];
    EXPECT_EQ(qt::readFile(aside), garbage) << "the old file is kept byte for byte";

    EXPECT_EQ(countOf(err, "\n"), 1) << "exactly one message: " << err;
    EXPECT_NE(err.find(prefsFile()), std::string::npos) << err;
    EXPECT_NE(err.find(aside), std::string::npos) << err;

    // A second corrupt file within the same second never replaces the first one kept aside.
    qt::writeFile(prefsFile(), "second garbage");
    RNUserDefaults second(prefsFile());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(second.persistentDomain().has_value());
    ::testing::internal::GetCapturedStderr();
    names = listDir(prefsDir());
    ASSERT_EQ(names.size(), 2u) << ::testing::PrintToString(names);  // both kept aside
    EXPECT_EQ(qt::readFile(aside), garbage);
    int asideFiles = 0;
    for (const auto& n : names) asideFiles += n.find(".corrupt-") != std::string::npos;
    EXPECT_EQ(asideFiles, 2);
}

TEST_F(EraseUserDefaults, WrongKindsOfFileAreKeptAsideToo) {
    qt::makeDirs(prefsDir());
    // Valid property list, but not a dictionary; and an empty file.
    for (const std::string& content :
         {std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><true/></array></plist>"),
          std::string()}) {
        qt::writeFile(prefsFile(), content);
        RNUserDefaults defaults(prefsFile());
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(defaults.persistentDomain().has_value());
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(countOf(err, "\n"), 1) << err;
        EXPECT_FALSE(qt::exists(prefsFile()));
    }
    // A folder where the file should be.
    qt::makeDirs(prefsFile());
    RNUserDefaults defaults(prefsFile());
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(defaults.setBool("k", true));
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(err, "\n"), 1) << err;
    EXPECT_EQ(RNUserDefaults(prefsFile()).persistentDomain(), (RNDictionary{{"k", true}}));
    EXPECT_EQ(listDir(prefsDir()).size(), 4u) << "two files and one folder kept aside";
}

TEST_F(EraseUserDefaults, UnreadableFileIsKeptAside) {
    auto scenario = [](const std::string& dir) -> int {
        const std::string file = dir + "/org.quillo.quillo-3.plist";
        qt::writeFile(file, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>", 0000);
        RNUserDefaults defaults(file);
        defaults.registerDefaults({{"show_alert", true}});
        if (!defaults.boolForKey("show_alert")) return 1;
        if (qt::exists(file)) return 2;
        if (!defaults.setBool("show_alert", false)) return 3;
        if (RNUserDefaults(file).boolForKey("show_alert")) return 4;
        return 0;
    };
    std::string dir;
    if (qt::isRoot()) {
        // Root reads everything: run the case as the unprivileged user in a folder of its own.
        dir = home.root() + "/nobody";
        qt::makeDirs(dir, 0755);
        ASSERT_EQ(::chmod(home.root().c_str(), 0755), 0);
        ASSERT_EQ(::chown(dir.c_str(), qt::kNobodyUid, qt::kNobodyGid), 0);
        EXPECT_EQ(runAsNobody([&] { return scenario(dir); }), 0);
    } else {
        dir = prefsDir();
        qt::makeDirs(dir);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(scenario(dir), 0);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(countOf(err, "\n"), 1) << err;
    }
    int aside = 0;
    for (const auto& n : listDir(dir)) aside += n.find(".corrupt-") != std::string::npos;
    EXPECT_EQ(aside, 1);
}

TEST_F(EraseUserDefaults, SavesAtomicallyAndRefusesWhatItCannotStore) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(defaults.setInteger("counter", i));
    EXPECT_EQ(listDir(prefsDir()), std::vector<std::string>{"org.quillo.quillo-3.plist"})
        << "no temporary files left behind";

    // Text a property list would alter (control characters) or that is not UTF-8 is refused,
    // and the file stays readable.
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(defaults.setString("bad", std::string("a\x01" "b")));
    EXPECT_FALSE(defaults.setString("bad", std::string("caf\xff")));
    EXPECT_FALSE(defaults.setObject("bad", RNValue::object(42)));
    EXPECT_FALSE(defaults.setPersistentDomain({{std::string("k\x02"), 1}}));
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(defaults.objectForKey("bad").isNull());
    EXPECT_EQ(RNUserDefaults(prefsFile()).integerForKey("counter"), 29);

    if (qt::isRoot()) return;  // root writes into read-only folders
    ASSERT_EQ(::chmod(prefsDir().c_str(), 0500), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(defaults.setInteger("counter", 100)) << "a failed save is reported";
    std::string err = ::testing::internal::GetCapturedStderr();
    ::chmod(prefsDir().c_str(), 0700);
    EXPECT_NE(err.find("could not be saved"), std::string::npos) << err;
    EXPECT_EQ(RNUserDefaults(prefsFile()).integerForKey("counter"), 29) << "old file intact";
    EXPECT_EQ(listDir(prefsDir()).size(), 1u);
    EXPECT_TRUE(defaults.synchronize()) << "the pending change is saved once possible";
    EXPECT_EQ(RNUserDefaults(prefsFile()).integerForKey("counter"), 100);
}

TEST_F(EraseUserDefaults, ChangesOfAnotherProcessAreNotOverwritten) {
    RNUserDefaults app(prefsFile());
    RNUserDefaults cli(prefsFile());
    app.setBool("show_alert", false);
    EXPECT_FALSE(cli.boolForKey("show_alert"));
    cli.setBool("write_log", false);
    app.setString("lumo_delete_window", "{{0, 0}, {640, 480}}");  // must keep cli's change
    RNUserDefaults fresh(prefsFile());
    EXPECT_FALSE(fresh.objectForKey("write_log").isNull());
    EXPECT_FALSE(fresh.boolForKey("write_log"));
    EXPECT_EQ(fresh.stringForKey("lumo_delete_window"), "{{0, 0}, {640, 480}}");

    // synchronize() takes in a change made elsewhere and tells the observers.
    std::vector<std::string> seen;
    app.addObserverForKey("show_alert", [&](const std::string& key, const RNValue& v) {
        seen.push_back(key + "=" + v.description());
    });
    cli.setBool("show_alert", true);
    app.synchronize();
    EXPECT_TRUE(app.boolForKey("show_alert"));
    EXPECT_EQ(seen, std::vector<std::string>{"show_alert=YES"});
}

TEST_F(EraseUserDefaults, KeyObserversSeeEffectiveChanges) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    std::vector<std::string> seen;
    auto token = defaults.addObserverForKey("show_alert", [&](const std::string& key, const RNValue& v) {
        // Reading (and writing) from inside an observer must not deadlock.
        EXPECT_EQ(defaults.objectForKey(key), v);
        seen.push_back(v.description());
    });
    defaults.addObserverForKey("empty_trash", [&](const std::string&, const RNValue& v) {
        defaults.setInteger("observer_wrote", v["keyCode"].intValue());
    });

    defaults.registerDefaults({{"show_alert", true}});  // effective value appears
    defaults.setBool("show_alert", true);               // same effective value: no call
    defaults.setBool("show_alert", false);
    defaults.setBool("other", true);
    defaults.removeObjectForKey("show_alert");  // back to the registered YES
    defaults.setPersistentDomain({{"show_alert", false}});
    defaults.setRegistrationDomain({});  // persistent NO still wins: no call
    EXPECT_EQ(seen, (std::vector<std::string>{"YES", "NO", "YES", "NO"}));

    defaults.setObject("empty_trash", RNDictionary{{"keyCode", 83}});
    EXPECT_EQ(defaults.integerForKey("observer_wrote"), 83);

    defaults.removeObserver(token);
    defaults.setBool("show_alert", true);
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(EraseUserDefaults, ConcurrentWritersLoseNothing) {
    RNUserDefaults& defaults = RNUserDefaults::standardUserDefaults();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                defaults.setInteger("k" + std::to_string(t) + "_" + std::to_string(i), i);
                (void)defaults.integerForKey("k0_0");
            }
        });
    for (auto& th : threads) th.join();
    auto domain = RNUserDefaults(prefsFile()).persistentDomain();
    ASSERT_TRUE(domain.has_value());
    EXPECT_EQ(domain->size(), 40u);
}

TEST(EraseValue, NumbersConvertAndCompareAcrossKinds) {
    EXPECT_EQ(RNValue(5), RNValue(5u));
    EXPECT_NE(RNValue(-1), RNValue(~0ull));
    EXPECT_NE(RNValue(1), RNValue(true));
    EXPECT_EQ(RNValue(-3).uintValue(9), 9u) << "a negative count is not a size";
    EXPECT_EQ(RNValue(~0ull).intValue(-7), -7);
    EXPECT_EQ(RNValue(1e300).intValue(4), 4);
    EXPECT_TRUE(RNValue("YES").boolValue());
    EXPECT_FALSE(RNValue("no").boolValue(true));
    EXPECT_TRUE(RNValue("maybe").boolValue(true));
    EXPECT_EQ(RNValue(true).intValue(), 1);
    EXPECT_EQ(RNValue(RNDictionary{{"a", 1}})["a"].intValue(), 1);
    EXPECT_TRUE(RNValue(3)["a"].isNull());

    struct Record { int id; };
    RNValue obj = RNValue::object(Record{7});
    ASSERT_NE(obj.objectIf<Record>(), nullptr);
    EXPECT_EQ(obj.objectIf<Record>()->id, 7);
    EXPECT_EQ(obj.objectIf<int>(), nullptr);
    EXPECT_EQ(obj, RNValue(obj));
    EXPECT_NE(obj, RNValue::object(Record{7}));
}

TEST(EraseValue, PropertyListKeepsBytesAndRejectsDeepNesting) {
    RNDictionary d{{"path", "/tmp/caf\xc3\xa9"}, {"big", 1ull << 40}, {"neg", -12}, {"zero", 0.0}};
    auto xml = RNPropertyListXMLFromDictionary(d);
    ASSERT_TRUE(xml.has_value());
    auto back = RNPropertyListReadDictionary(*xml);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, d);

    std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>";
    for (int i = 0; i < 400; ++i) deep += "<array>";
    for (int i = 0; i < 400; ++i) deep += "</array>";
    deep += "</dict></plist>";
    std::string why;
    EXPECT_FALSE(RNPropertyListReadDictionary(deep, &why).has_value());
    EXPECT_FALSE(RNPropertyListReadDictionary("", &why).has_value());
}

// Two processes changing different keys at the same instant, over and over: neither loses a
// change to the other's save.
TEST_F(EraseUserDefaults, TwoProcessesSavingAtOnceLoseNeitherWrite) {
    const std::string file = prefsDir() + "/concurrent.plist";
    constexpr int kRounds = 150;
    std::vector<pid_t> children;
    for (const char* prefix : {"a", "b"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RNUserDefaults defaults(file);
            for (int i = 0; i < kRounds; ++i)
                if (!defaults.setObject(prefix + std::to_string(i), RNValue(static_cast<long long>(i)))) ::_exit(1);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    RNUserDefaults reader(file);
    int missing = 0;
    for (const char* prefix : {"a", "b"})
        for (int i = 0; i < kRounds; ++i) missing += reader.objectForKey(prefix + std::to_string(i)).isNull();
    EXPECT_EQ(missing, 0);
}
