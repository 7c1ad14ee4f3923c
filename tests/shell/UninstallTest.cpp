// Uninstall from the service menu: the helper is removed through the installer and confirmed
// gone, then the preferences file and the login item go, the program is revealed and the
// application quits. A helper that stays, or a "no", leaves everything in place.
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "GuiTest.h"
#include "helperclient/HelperInstallation.h"
#include "shell/RNQuillo.h"
#include "support/TestSupport.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

using namespace quillo;
using namespace quillo::erase;
using namespace quillo::test;

namespace {

QString text(const char* key, const char* table = "") { return QString::fromStdString(util::RNLocalizedString(key, table)); }

// Records what the application asks the desktop to open instead of opening it.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

// Answers the modal message boxes as they come: the box whose text starts with a key's text is
// answered with the named button; the texts seen are recorded.
struct Answers {
    QStringList seen;
    QTimer timer;
    explicit Answers(std::vector<std::pair<QString, QString>> script) {
        QObject::connect(&timer, &QTimer::timeout, [this, script] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || box->property("answered").toBool()) return;
            for (const auto& [title, button] : script)
                if (box->text() == title) {
                    box->setProperty("answered", true);
                    seen << box->text();
                    for (QAbstractButton* b : box->buttons())
                        if (b->text() == button || button.isEmpty()) {
                            b->click();
                            return;
                        }
                }
        });
        timer.start(10);
    }
};

class UninstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        RNUserDefaults::resetStandardUserDefaults();
        RNUserDefaults::standardUserDefaults().setBool(kPrefIsFirstRun, false);
        RNUserDefaults::standardUserDefaults().setBool(kPrefShowInstallHelperTool, true);
        dispatcher = ui::RNQtMainThread::install();
        RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
        QDesktopServices::setUrlHandler("file", &urls, "open");
        QDesktopServices::setUrlHandler("https", &urls, "open");
        helperPath = home.root() + "/libexec/quillo3-helper";
        makeDirs(home.root() + "/libexec");
        writeFile(helperPath, "helper");
        autostart = home.configHome() + "/autostart/org.quillo.quillo-3.desktop";
        makeDirs(home.configHome() + "/autostart");
        writeFile(autostart, "[Desktop Entry]\n");
        saved = helperclient::HelperInstallation::current();
    }
    void TearDown() override {
        // A finished uninstall quits the application: QCoreApplication::exit() with no loop
        // running leaves a request behind that makes every later event loop (each dialog's
        // exec) return at once, so that the next test in this program would see its questions
        // vanish unanswered. A loop of the application's own takes the request and clears it.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
        helperclient::HelperInstallation::setCurrent(saved);
        QDesktopServices::unsetUrlHandler("file");
        QDesktopServices::unsetUrlHandler("https");
        RNErrorDelegate::sharedControl().setBackend(nullptr);
        RNMainThread::setActive(nullptr);
        RNUserDefaults::resetStandardUserDefaults();
    }
    // The installer: a script that removes the helper file, or leaves it.
    void useInstaller(bool removes) {
        const std::string script = home.root() + "/installer";
        writeFile(script, removes ? "#!/bin/sh\n[ \"$1\" = remove ] && rm -f " + shellQuote(helperPath) + "\n"
                                  : "#!/bin/sh\nexit 0\n",
                  0755);
        helperclient::HelperInstallation inst;
        inst.installedHelperPath = helperPath;
        inst.installerPath = script;
        inst.elevate = std::vector<std::string>{};
        helperclient::HelperInstallation::setCurrent(inst);
    }

    TempHome home;
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    UrlRecorder urls;
    std::string helperPath, autostart;
    helperclient::HelperInstallation saved;
};

}  // namespace

TEST_F(UninstallTest, RemovesHelperPreferencesAndLoginItemThenRevealsTheProgram) {
    useInstaller(true);
    shell::RNQuillo delegate;
    const std::string prefs = RNUserDefaults::standardUserDefaults().path();
    ASSERT_TRUE(exists(prefs));
    Answers answers({{text("ask_uninstall"), text("uninstall_button")}, {text("uninstall_successful"), ""}});
    delegate.uninstall();
    EXPECT_TRUE(waitUntil([&] { return answers.seen.size() == 2; }, 10000)) << answers.seen.join('|').toStdString();
    EXPECT_FALSE(exists(helperPath));
    EXPECT_FALSE(exists(prefs));
    EXPECT_FALSE(exists(autostart));
    EXPECT_TRUE(waitUntil([&] { return !urls.opened.isEmpty(); }, 5000));  // no file manager on the bus here
}

TEST_F(UninstallTest, AHelperThatStaysIsReportedAndNothingElseIsRemoved) {
    useInstaller(false);
    shell::RNQuillo delegate;
    const std::string prefs = RNUserDefaults::standardUserDefaults().path();
    Answers answers({{text("ask_uninstall"), text("uninstall_button")}, {text("uninstall_failed", "Errors"), ""}});
    delegate.uninstall();
    EXPECT_TRUE(waitUntil([&] { return answers.seen.size() == 2; }, 10000)) << answers.seen.join('|').toStdString();
    EXPECT_TRUE(exists(helperPath));
    EXPECT_TRUE(exists(prefs));
    EXPECT_TRUE(exists(autostart));
}

TEST_F(UninstallTest, DecliningChangesNothing) {
    useInstaller(true);
    shell::RNQuillo delegate;
    Answers answers({{text("ask_uninstall"), text("do_not_uninstall_button")}});
    delegate.uninstall();  // a "no" returns at once: nothing was started in the background
    EXPECT_EQ(answers.seen.size(), 1);
    drainPostedEvents();
    EXPECT_TRUE(exists(helperPath));
    EXPECT_TRUE(exists(RNUserDefaults::standardUserDefaults().path()));
}

#include "UninstallTest.moc"
