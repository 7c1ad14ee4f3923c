// The contextual menu's ways out to the desktop, on a private Xvfb display (the offscreen
// platform opens nothing) and a private session bus: revealing items in the file manager
// (org.freedesktop.FileManager1, here a stand-in service), the fallback to opening the folder,
// opening items with the default application (a stand-in xdg-open first in PATH), and copying
// an item's name or path.
#include "GuiTestSupport.h"
#include "LumoTestSupport.h"

#include "erase/RNMainThread.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNQtMainThread.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMimeData>
#include <QProcess>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace quillo;
using namespace quillo::mainwindow;
using namespace quillo::test;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) out.push_back(line);
    return out;
}

class DesktopActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!guiSkipReason().empty()) GTEST_SKIP() << guiSkipReason();
        erase::RNUserDefaults::resetStandardUserDefaults();
        dispatcher = ui::RNQtMainThread::install();
        // xdg-open is whatever comes first in PATH: a stand-in that writes down its argument.
        bin = home.root() + "/bin";
        ::mkdir(bin.c_str(), 0755);
        openLog = home.root() + "/xdg-open.log";
        writeFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + openLog + "'\n", 0755);
        savedPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        ::setenv("PATH", (bin + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override {
        window.reset();
        stopFileManager();
        if (!savedPath.empty()) ::setenv("PATH", savedPath.c_str(), 1);
        erase::RNMainThread::setActive(nullptr);
        erase::RNUserDefaults::resetStandardUserDefaults();
    }
    bool startFileManager() {
        if (std::system("/usr/bin/python3 -c 'import dbus, dbus.mainloop.glib; from gi.repository import GLib' 2>/dev/null") != 0)
            return false;
        showLog = home.root() + "/show-items.log";
        fileManager = std::make_unique<QProcess>();
        fileManager->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        fileManager->start(QStringLiteral("/usr/bin/python3"),
                           {QStringLiteral(QUILLO_FAKE_FILE_MANAGER), QString::fromStdString(showLog)});
        return fileManager->waitForStarted(5000) &&
               waitUntil([&] { return fileManager->canReadLine() || fileManager->waitForReadyRead(50); }, 15000) &&
               fileManager->readLine().trimmed() == "ready";
    }
    void stopFileManager() {
        if (!fileManager) return;
        fileManager->terminate();
        if (!fileManager->waitForFinished(3000)) fileManager->kill();
        fileManager->waitForFinished(3000);
        fileManager.reset();
    }
    void open() {
        window = std::make_unique<RNWindowCntrl>();
        window->showWindow();
        ASSERT_TRUE(waitUntil([&] {
            const auto* s = window->sourceViewCntrl()->model();
            if (!s->listingFinished() || s->rowCount() != 1) return false;
            return s->sourceAt(0)->lockedGathering() == 0 && s->sourceAt(0)->datesLoaded && !list()->isSorting() &&
                   list()->model()->rowCount() > 0;
        }));
        ASSERT_TRUE(waitUntil([&] { return window->sourceViewCntrl()->model()->isIdle() && !list()->isSorting(); }));
    }
    RNListCntrl* list() { return window->contentViewCntrl()->listCntrl(); }
    void selectNamed(std::initializer_list<const char*> names) {
        auto* sel = list()->tableView()->selectionModel();
        sel->clearSelection();
        for (const char* n : names)
            for (int r = 0; r < list()->model()->rowCount(); ++r)
                if (list()->model()->itemAt(r)->name == n)
                    sel->select(list()->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    TempHome home;
    PlantedTrashes trashes{home};
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::unique_ptr<RNWindowCntrl> window;
    std::unique_ptr<QProcess> fileManager;
    std::string bin, openLog, showLog, savedPath;
};

}  // namespace

TEST_F(DesktopActionsTest, RevealSendsEveryChosenItemToTheFileManagerAsFileUris) {
    if (!startFileManager()) GTEST_SKIP() << "python3-dbus or python3-gi is not installed, or the stand-in did not start";
    const size_t v = trashes.addVolume("Alpha");
    trashes.addFile(v, "two words.txt");
    trashes.addFile(v, "bad\xff");
    trashes.addFile(v, "left alone");
    open();
    selectNamed({"two words.txt", "bad\xff"});
    list()->contextualMenuAction(RNListCntrl::kTagReveal);
    ASSERT_TRUE(waitUntil([&] { return !readAll(showLog).empty(); }));
    const auto calls = lines(readAll(showLog));
    ASSERT_EQ(calls.size(), 1u);  // one call for all the items
    const QJsonArray call = QJsonDocument::fromJson(QByteArray::fromStdString(calls[0])).array();
    const QJsonArray uris = call.at(0).toArray();
    ASSERT_EQ(uris.size(), 2);
    const QString dir = QString::fromStdString(trashes.filesDir(v));
    // Listed in the rows' order; bytes that are not UTF-8 travel percent-encoded, unchanged.
    EXPECT_EQ(uris.at(0).toString(), QStringLiteral("file://") + dir + QStringLiteral("/bad%FF"));
    EXPECT_EQ(uris.at(1).toString(), QStringLiteral("file://") + dir + QStringLiteral("/two%20words.txt"));
    EXPECT_EQ(readAll(openLog), "");  // no folder opened besides
}

TEST_F(DesktopActionsTest, RevealWithoutAFileManagerOpensTheTrashFolder) {
    const size_t v = trashes.addVolume("Alpha");
    trashes.addFile(v, "x");
    open();
    selectNamed({"x"});
    list()->contextualMenuAction(RNListCntrl::kTagReveal);
    ASSERT_TRUE(waitUntil([&] { return !readAll(openLog).empty(); }));
    EXPECT_EQ(lines(readAll(openLog)), (std::vector<std::string>{"file://" + trashes.filesDir(v)}));
}

TEST_F(DesktopActionsTest, OpenHandsEachChosenItemToTheDefaultApplication) {
    const size_t v = trashes.addVolume("Alpha");
    trashes.addFile(v, "a.txt");
    trashes.addFile(v, "b c.txt");
    trashes.addFile(v, "not chosen");
    open();
    selectNamed({"a.txt"});
    list()->setClickedRow(1);  // a right click on an unselected row adds it
    ASSERT_EQ(list()->model()->itemAt(1)->name, "b c.txt");
    list()->contextualMenuAction(RNListCntrl::kTagOpen);
    list()->setClickedRow(-1);
    ASSERT_TRUE(waitUntil([&] { return lines(readAll(openLog)).size() >= 2; }));
    spin(200);
    auto opened = lines(readAll(openLog));
    std::sort(opened.begin(), opened.end());
    EXPECT_EQ(opened, (std::vector<std::string>{"file://" + trashes.filesDir(v) + "/a.txt",
                                                "file://" + trashes.filesDir(v) + "/b%20c.txt"}));
}

TEST_F(DesktopActionsTest, CopyNameAndPathOfOneItem) {
    const size_t v = trashes.addVolume("Alpha");
    trashes.addFile(v, "r\xc3\xa9sum\xc3\xa9 (1).pdf");
    trashes.addFile(v, "other");
    open();
    selectNamed({"r\xc3\xa9sum\xc3\xa9 (1).pdf"});
    list()->contextualMenuAction(RNListCntrl::kTagCopyName);
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8("r\xc3\xa9sum\xc3\xa9 (1).pdf"));
    list()->contextualMenuAction(RNListCntrl::kTagCopyPath);
    EXPECT_EQ(QApplication::clipboard()->text(),
              QString::fromUtf8((trashes.filesDir(v) + "/r\xc3\xa9sum\xc3\xa9 (1).pdf").c_str()));
    // Two items chosen: nothing is copied.
    selectNamed({"r\xc3\xa9sum\xc3\xa9 (1).pdf", "other"});
    QApplication::clipboard()->setText(QStringLiteral("before"));
    list()->contextualMenuAction(RNListCntrl::kTagCopyName);
    list()->contextualMenuAction(RNListCntrl::kTagCopyPath);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));
}

TEST_F(DesktopActionsTest, CopyPathGivesTheRealPathNotItsDisplayForm) {
    // A name that is not text is shown "caf\xE9"; a name that really is "caf\xE9" reads the
    // same, and Copy Path must tell them apart.
    const size_t v = trashes.addVolume("Alpha");
    trashes.addFile(v, "caf\xe9");
    trashes.addFile(v, "lit\\xE9");
    open();
    selectNamed({"caf\xe9"});
    list()->contextualMenuAction(RNListCntrl::kTagCopyPath);
    const QMimeData* copied = QApplication::clipboard()->mimeData();
    ASSERT_NE(copied, nullptr);
    EXPECT_FALSE(copied->text().contains(QStringLiteral("\\x"))) << copied->text().toStdString();
    EXPECT_TRUE(copied->text().startsWith(QFile::decodeName(trashes.filesDir(v).c_str())));

    selectNamed({"lit\\xE9"});
    list()->contextualMenuAction(RNListCntrl::kTagCopyPath);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), trashes.filesDir(v) + "/lit\\xE9");
}

int main(int argc, char** argv) {
    return runGuiTests(argc, argv, GuiTestOptions{GuiPlatform::X11, false});
}
