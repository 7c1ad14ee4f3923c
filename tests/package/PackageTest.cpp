// The Debian package as a desktop user receives it, looked at without installing it: every file
// at its path with the right owner and mode, the helper's system files naming the packaged
// helper and equal to what the installer writes, the maintainer scripts, and the desktop entry,
// metadata, bus policy, polkit action, manual pages and completions each passing its own
// validator.
#include "installer/InstallerFiles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace quillo::test {
namespace {

std::string packageFile() {
    std::string out;
    run("ls " + shellQuote(QUILLO_PACKAGE_DIR) + "/*.deb 2>/dev/null", &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out.find('\n') == std::string::npos ? out : std::string();
}

struct Entry {
    std::string mode;  // e.g. "-rwxr-xr-x"
    std::string owner;  // e.g. "root/root"
};

// `dpkg-deb -c`: path (without the leading ".") -> mode and owner.
std::map<std::string, Entry> contents(const std::string& deb) {
    std::string out;
    run("dpkg-deb -c " + shellQuote(deb), &out);
    std::map<std::string, Entry> entries;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string mode, owner, size, date, time, path;
        words >> mode >> owner >> size >> date >> time;
        std::getline(words, path);
        path = path.substr(path.find_first_not_of(' '));
        if (path.rfind("./", 0) == 0) path.erase(0, 1);
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        entries[path] = {mode, owner};
    }
    return entries;
}

class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        deb_ = packageFile();
        if (deb_.empty() || !haveTool("dpkg-deb")) return;
        char tmpl[] = "/tmp/quillo-package-test.XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        tree_ = tmpl;
        if (run("dpkg-deb -x " + shellQuote(deb_) + " " + shellQuote(tree_) + " && dpkg-deb -e " + shellQuote(deb_) +
                " " + shellQuote(tree_ + "/DEBIAN")) != 0)
            tree_.clear();
    }
    static void TearDownTestSuite() {
        if (!tree_.empty()) removeTree(tree_);
        tree_.clear();
    }
    void SetUp() override {
        if (!haveTool("dpkg-deb")) GTEST_SKIP() << "dpkg-deb missing";
        ASSERT_FALSE(deb_.empty()) << "no single package in " << QUILLO_PACKAGE_DIR
                                   << " (the quillo_package_build test makes it)";
        ASSERT_FALSE(tree_.empty()) << "could not unpack " << deb_;
    }
    static std::string at(const std::string& path) { return tree_ + path; }

    static std::string deb_;
    static std::string tree_;
};
std::string Package::deb_;
std::string Package::tree_;

const char kHelper[] = "/usr/libexec/quillo/quillo3-helper";
const char kService[] = "/usr/share/dbus-1/system-services/org.quillo.Quillo3Helper.service";
const char kBusPolicy[] = "/usr/share/dbus-1/system.d/org.quillo.Quillo3Helper.conf";
const char kPolkitAction[] = "/usr/share/polkit-1/actions/org.quillo.quillo-3.policy";
const char kDesktopEntry[] = "/usr/share/applications/org.quillo.quillo-3.desktop";
const char kMetainfo[] = "/usr/share/metainfo/org.quillo.quillo-3.metainfo.xml";

TEST_F(Package, HoldsEveryFileAtItsPathRootOwned) {
    const auto entries = contents(deb_);
    const std::vector<std::string> programs = {"/usr/bin/quillo", "/usr/bin/quillo-cli", kHelper,
                                               "/usr/libexec/quillo/quillo-install-helper"};
    const std::vector<std::string> data = {
        kService, kBusPolicy, kPolkitAction, kDesktopEntry, kMetainfo,
        "/usr/share/icons/hicolor/scalable/apps/org.quillo.quillo-3.svg",
        "/usr/share/icons/hicolor/symbolic/apps/org.quillo.quillo-3-symbolic.svg",
        "/usr/share/man/man1/quillo.1.gz", "/usr/share/man/man1/quillo-cli.1.gz",
        "/usr/share/bash-completion/completions/quillo-cli", "/usr/share/zsh/vendor-completions/_quillo-cli",
        "/usr/share/doc/quillo/copyright", "/usr/share/doc/quillo/changelog.gz",
        "/usr/lib/systemd/user/quillo-cleanup.service", "/usr/lib/systemd/user/quillo-cleanup.timer"};
    for (const auto& path : programs) {
        auto it = entries.find(path);
        ASSERT_NE(it, entries.end()) << path << " is not in the package";
        EXPECT_EQ(it->second.mode, "-rwxr-xr-x") << path;
    }
    for (const auto& path : data) {
        auto it = entries.find(path);
        ASSERT_NE(it, entries.end()) << path << " is not in the package";
        EXPECT_EQ(it->second.mode, "-rw-r--r--") << path;
    }
    for (const auto& [path, entry] : entries) {
        EXPECT_EQ(entry.owner, "root/root") << path;
        // Only the administrator's and the local builds' places are left alone.
        EXPECT_NE(path.rfind("/usr/local", 0), 0u) << path;
        EXPECT_NE(path.rfind("/etc", 0), 0u) << path;
        EXPECT_TRUE(path == "/" || path == "/usr" || path.rfind("/usr/", 0) == 0) << path;
    }
}

TEST_F(Package, CleanupTimerRunsThePackagedCliAndIsNotEnabled) {
    const std::string service = readFile(at("/usr/lib/systemd/user/quillo-cleanup.service"));
    EXPECT_NE(service.find("\nExecStart=/usr/bin/quillo-cli purge --from-preferences\n"), std::string::npos) << service;
    // Enabled only by the user: the package carries no link into a .wants folder.
    for (const auto& [path, entry] : contents(deb_)) EXPECT_EQ(path.find(".wants/"), std::string::npos) << path;
}

TEST_F(Package, HelperFilesNameThePackagedHelperAndMatchTheInstallers) {
    // The bus starts the helper the package put in place; the client tells it from the
    // installer's copy by this very line.
    const std::string service = readFile(at(kService));
    EXPECT_EQ(common::serviceFileExec(service), kHelper);
    EXPECT_NE(common::serviceFileExec(service), installer::kInstalledHelperPath);
    EXPECT_EQ(service, installer::serviceFileText(kHelper));
    EXPECT_EQ(readFile(at(kBusPolicy)), installer::busPolicyText());
    // The package's action carries every language's message besides the English one the
    // installer writes (and msgfmt lays the XML out anew); without those lines, and with the
    // white space between words made one space, the two are the same file.
    const auto words = [](const std::string& xml, bool dropTranslations) {
        std::string out, line;
        std::istringstream lines(xml);
        while (std::getline(lines, line)) {
            if (dropTranslations && line.find("xml:lang=") != std::string::npos) continue;
            std::istringstream tokens(line);
            for (std::string token; tokens >> token;) out += token + " ";
        }
        return out;
    };
    EXPECT_EQ(words(readFile(at(kPolkitAction)), true), words(installer::polkitActionText(), false));
    EXPECT_NE(readFile(at(kPolkitAction)).find("xml:lang=\"de\""), std::string::npos);
    std::string version;
    ASSERT_EQ(run(shellQuote(at(kHelper)) + " --version", &version), 0);
    EXPECT_NE(version.find("2.1.0"), std::string::npos) << version;
}

TEST_F(Package, ControlDependenciesAndMaintainerScripts) {
    std::string depends;
    ASSERT_EQ(run("dpkg-deb -f " + shellQuote(deb_) + " Depends", &depends), 0);
    // dpkg-shlibdeps's part and ours.
    for (const char* dep : {"libc6", "libqt6widgets6", "libsystemd0", "libicu", "libplist", "polkitd", "dbus"})
        EXPECT_NE(depends.find(dep), std::string::npos) << dep << " missing from: " << depends;
    std::string name;
    run("dpkg-deb -f " + shellQuote(deb_) + " Package Version", &name);
    EXPECT_NE(name.find("Package: quillo"), std::string::npos) << name;
    EXPECT_NE(name.find(std::string("Version: ") + QUILLO_PROJECT_VERSION), std::string::npos) << name;

    for (const char* script : {"postinst", "postrm"}) {
        const std::string path = at(std::string("/DEBIAN/") + script);
        struct stat st{};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << script;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << script;
        EXPECT_EQ(run("sh -n " + shellQuote(path)), 0) << script;
        // They reload the system bus and do nothing else.
        const std::string text = readFile(path);
        EXPECT_NE(text.find("org.freedesktop.DBus.ReloadConfig"), std::string::npos) << script;
        for (const char* forbidden : {"rm ", "systemctl", "pkill", "kill ", "useradd", "chmod", "chown"})
            EXPECT_EQ(text.find(forbidden), std::string::npos) << script << " runs " << forbidden;
    }
    for (const char* absent : {"preinst", "prerm"}) EXPECT_FALSE(exists(at(std::string("/DEBIAN/") + absent))) << absent;
}

TEST_F(Package, DesktopEntryValidatesAndOpensTheLumoWindow) {
    if (!haveTool("desktop-file-validate")) GTEST_SKIP() << "desktop-file-validate missing (desktop-file-utils)";
    std::string out;
    EXPECT_EQ(run("desktop-file-validate " + shellQuote(at(kDesktopEntry)) + " 2>&1", &out), 0) << out;
    EXPECT_EQ(out.find("error"), std::string::npos) << out;
    const std::string entry = readFile(at(kDesktopEntry));
    for (const char* line : {"\nExec=quillo\n", "\nIcon=org.quillo.quillo-3\n", "\nStartupNotify=true\n",
                             "\nExec=quillo --lumo\n", "\nKeywords=", "\nCategories="})
        EXPECT_NE(entry.find(line), std::string::npos) << line;
}

TEST_F(Package, MetainfoValidatesAndNamesThisRelease) {
    if (!haveTool("appstreamcli")) GTEST_SKIP() << "appstreamcli missing (appstream)";
    std::string out;
    EXPECT_EQ(run("appstreamcli validate --no-net --no-color " + shellQuote(at(kMetainfo)) + " 2>&1", &out), 0) << out;
    const std::string text = readFile(at(kMetainfo));
    EXPECT_NE(text.find(std::string("<release version=\"") + QUILLO_PROJECT_VERSION + "\""), std::string::npos);
    EXPECT_NE(text.find("<launchable type=\"desktop-id\">org.quillo.quillo-3.desktop</launchable>"), std::string::npos);
    EXPECT_NE(text.find("<content_rating"), std::string::npos);
    EXPECT_NE(text.find("<screenshot"), std::string::npos);
}

// dbus ships a busconfig.dtd that predates most rule attributes: no policy in /usr/share/dbus-1
// validates against it as it is. It is completed here with the attributes dbus-daemon(1)
// documents for <allow> and <deny> (XML merges several ATTLIST declarations of one element), and
// checked on the system's own policies and on a policy with an attribute dbus does not know.
std::string completedBusConfigDtd(const std::string& shipped) {
    std::string attributes;
    for (const char* name :
         {"send_interface", "send_member", "send_error", "send_destination", "send_destination_prefix", "send_path",
          "send_type", "send_requested_reply", "send_broadcast", "receive_interface", "receive_member",
          "receive_error", "receive_sender", "receive_path", "receive_type", "receive_requested_reply", "eavesdrop",
          "own_prefix", "group", "max_fds", "min_fds"})
        attributes += std::string("          ") + name + " CDATA #IMPLIED\n";
    return readFile(shipped) + "\n<!ATTLIST allow\n" + attributes + ">\n<!ATTLIST deny\n" + attributes + ">\n";
}

TEST_F(Package, BusPolicyAndPolkitActionValidateAgainstTheirDtds) {
    if (!haveTool("xmllint")) GTEST_SKIP() << "xmllint missing (libxml2-utils)";
    const std::string busDtd = "/usr/share/xml/dbus-1/busconfig.dtd", polkitDtd = "/usr/share/polkit-1/policyconfig-1.dtd";
    if (!exists(busDtd) || !exists(polkitDtd)) GTEST_SKIP() << "the DTDs are missing (libdbus-1-dev, polkitd)";
    const std::string completed = tree_ + "/busconfig-completed.dtd";
    writeFile(completed, completedBusConfigDtd(busDtd));
    auto validates = [](const std::string& dtd, const std::string& document, std::string* out) {
        return run("xmllint --noout --nonet --dtdvalid " + shellQuote(dtd) + " " + shellQuote(document) + " 2>&1", out) ==
               0;
    };
    std::string out;
    EXPECT_TRUE(validates(completed, at(kBusPolicy), &out)) << out;
    EXPECT_TRUE(validates(polkitDtd, at(kPolkitAction), &out)) << out;

    // The completed DTD still catches what dbus would not understand, and accepts the system's.
    writeFile(tree_ + "/bad.conf", "<!DOCTYPE busconfig SYSTEM \"x\"><busconfig><policy context=\"default\">"
                                   "<allow send_destinaton=\"a.b\"/></policy></busconfig>\n");
    EXPECT_FALSE(validates(completed, tree_ + "/bad.conf", &out)) << out;
    for (const std::string& name : listFolder("/usr/share/dbus-1/system.d"))
        EXPECT_TRUE(validates(completed, "/usr/share/dbus-1/system.d/" + name, &out)) << name << ": " << out;
}

TEST_F(Package, ManPagesRenderWithoutWarnings) {
    if (!haveTool("man")) GTEST_SKIP() << "man missing (man-db)";
    for (const char* page : {"quillo", "quillo-cli"}) {
        const std::string path = at(std::string("/usr/share/man/man1/") + page + ".1.gz");
        std::string text, warnings;
        const std::string command = "MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l " + shellQuote(path);
        ASSERT_EQ(run(command + " 2>/dev/null", &text), 0) << page;
        EXPECT_EQ(run(command + " 2>&1 >/dev/null", &warnings), 0) << page;
        EXPECT_EQ(warnings, "") << page;
        for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO"})
            EXPECT_NE(text.find(section), std::string::npos) << page << " lacks " << section;
    }
}

// bash's completion, driven as bash-completion drives it, with the built quillo-cli in a private
// home: `empty` offers what `volumes --names` lists, `prefs` the preference keys.
TEST(PackageCompletions, BashOffersVolumesAndPreferenceKeys) {
    const char* bashCompletion = "/usr/share/bash-completion/bash_completion";
    if (!exists(bashCompletion)) GTEST_SKIP() << "bash-completion missing";
    TempHome home;
    makeDirs(home.homeTrash() + "/files");
    makeDirs(home.homeTrash() + "/info");
    std::string names;
    ASSERT_EQ(run(shellQuote(QUILLO_CLI_PATH) + " volumes --names", &names), 0);
    ASSERT_FALSE(names.empty());

    auto complete = [&](const std::string& line) {
        const std::string script = std::string("source ") + bashCompletion + "; source " +
                                   shellQuote(std::string(QUILLO_COMPLETIONS_DIR) + "/quillo-cli.bash") +
                                   "; COMP_LINE=" + shellQuote(line) + "; COMP_POINT=${#COMP_LINE}; " +
                                   "read -ra COMP_WORDS <<<\"$COMP_LINE\"; [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=(''); " +
                                   "COMP_CWORD=$((${#COMP_WORDS[@]}-1)); _quillo_cli; printf '%s\\n' \"${COMPREPLY[@]}\"";
        std::string out;
        EXPECT_EQ(run("bash -c " + shellQuote(script), &out), 0) << line;
        return out;
    };
    const std::string cli = QUILLO_CLI_PATH;
    std::istringstream lines(names);
    std::string volume;
    const std::string offered = complete(cli + " empty ");
    while (std::getline(lines, volume)) {
        std::string quoted;
        run("printf '%q' " + shellQuote(volume), &quoted);
        EXPECT_NE(offered.find(quoted + "\n"), std::string::npos) << volume << " not offered: " << offered;
    }
    EXPECT_NE(complete(cli + " empty --").find("--all\n"), std::string::npos);
    const std::string keys = complete(cli + " prefs sh");
    EXPECT_NE(keys.find("show_alert\n"), std::string::npos) << keys;
    EXPECT_EQ(keys.find("write_log"), std::string::npos) << keys;
    EXPECT_NE(complete(cli + " helper ").find("status\n"), std::string::npos);
    EXPECT_NE(complete(cli + " ").find("volumes\n"), std::string::npos);
}

TEST(PackageCompletions, ZshCompletionParses) {
    if (!haveTool("zsh")) GTEST_SKIP() << "zsh missing";
    std::string out;
    EXPECT_EQ(run("zsh -n " + shellQuote(std::string(QUILLO_COMPLETIONS_DIR) + "/_quillo-cli") + " 2>&1", &out), 0)
        << out;
}

}  // namespace
}  // namespace quillo::test
