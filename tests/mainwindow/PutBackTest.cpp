// Where trashed items came from, putting them back, dropping files on the window and undoing
// either, in the Lumo Window offscreen on planted trashes in a temporary home.
#include "LumoWindowFixture.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNItemPreviewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNPreview.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include <sys/stat.h>

using namespace quillo;
using namespace quillo::mainwindow;
using namespace quillo::test;

class PutBackTest : public LumoWindowFixture {
protected:
    // A drag entering the window, then its drop (the application delivers a drop only to the
    // widget that took the drag).
    void dropOn(QMimeData* data) {
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);
        ASSERT_TRUE(drop.isAccepted());
        EXPECT_EQ(drop.dropAction(), Qt::CopyAction) << "the source must not remove anything itself";
    }
    void select(std::initializer_list<std::string> names) {
        auto* sel = list()->tableView()->selectionModel();
        sel->clearSelection();
        for (const auto& n : names)
            sel->select(list()->model()->index(rowNamed(n), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    QString cell(const std::string& name, int column, int role = Qt::DisplayRole) {
        return list()->model()->data(list()->model()->index(rowNamed(name), column), role).toString();
    }
    // files/NAME with an info file whose Path is `infoPath` as stored (percent-encoded).
    void plant(size_t volume, const std::string& name, const std::string& infoPath, const std::string& bytes = "12345") {
        writeFile(trashes.filesDir(volume) + "/" + name, bytes);
        writeFile(trashes.trashDir(volume) + "/info/" + name + ".trashinfo",
                  "[Trash Info]\nPath=" + infoPath + "\nDeletionDate=2024-05-01T10:20:30\n");
    }

};

TEST_F(PutBackTest, OriginalLocationColumnShowsSortsAndHidesPerTrash) {
    const size_t a = trashes.addVolume("Alpha");
    const size_t b = trashes.addVolume("Beta");
    plant(a, "a.txt", "docs/a.txt");
    plant(a, "b.txt", "zeta/b.txt");
    plant(a, "bad", "bin/caf%E9");                   // not UTF-8: shown escaped
    plant(a, "escape", "../../etc/passwd");          // a place a restore refuses: not shown either
    writeFile(trashes.filesDir(a) + "/noinfo", "1");  // no info file at all
    plant(b, "other", "x/other");
    open(2);
    showSource(0);
    const std::string vol = trashes.volumePath(a);
    const auto* model = list()->model();
    EXPECT_EQ(model->headerData(RNContentListModel::OriginalColumn, Qt::Horizontal, Qt::DisplayRole).toString(),
              QStringLiteral("Original Location"));
    // The folder, as file managers show it; the whole place in the tip.
    EXPECT_EQ(cell("a.txt", RNContentListModel::OriginalColumn), QString::fromStdString(vol + "/docs"));
    EXPECT_EQ(cell("a.txt", RNContentListModel::OriginalColumn, Qt::ToolTipRole), QString::fromStdString(vol + "/docs/a.txt"));
    EXPECT_EQ(cell("bad", RNContentListModel::OriginalColumn, Qt::ToolTipRole), QString::fromStdString(vol + "/bin/caf\\xE9"));
    EXPECT_EQ(cell("escape", RNContentListModel::OriginalColumn), QStringLiteral("--"));
    EXPECT_EQ(cell("noinfo", RNContentListModel::OriginalColumn), QStringLiteral("--"));
    EXPECT_EQ(model->itemAt(rowNamed("bad"))->originalPath(), vol + "/bin/caf\xE9") << "the bytes are kept";

    // Shown by default; sorted by place, ascending first, places unknown last either way.
    QHeaderView* header = list()->tableView()->horizontalHeader();
    EXPECT_FALSE(header->isSectionHidden(RNContentListModel::OriginalColumn));
    EXPECT_GT(header->sectionSize(RNContentListModel::OriginalColumn), 0);
    list()->sortByColumn(RNContentListModel::OriginalColumn);
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    // The first three rows (the other two have no place).
    auto order = [&] {
        std::vector<std::string> names;
        for (int r = 0; r < 3 && r < model->rowCount(); ++r) names.push_back(model->itemAt(r)->name);
        return names;
    };
    EXPECT_EQ(order(), (std::vector<std::string>{"bad", "a.txt", "b.txt"}));
    list()->sortByColumn(RNContentListModel::OriginalColumn);
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_EQ(order(), (std::vector<std::string>{"b.txt", "a.txt", "bad"}));

    // The preview card says where the item was.
    select({"a.txt"});
    ASSERT_TRUE(waitUntil([&] {
        const auto& cards = window->contentViewCntrl()->previewCntrl()->cards();
        return cards.size() == 1 && cards.front()->isLoaded();
    }));
    auto* details = window->contentViewCntrl()->previewCntrl()->cards().front()->findChild<QLabel*>(QStringLiteral("previewDetails"));
    ASSERT_NE(details, nullptr);
    EXPECT_TRUE(details->text().contains(QString::fromStdString("Originally in: " + vol + "/docs"))) << details->text().toStdString();

    // Hidden from the header's menu: for this trash only, and remembered; a sort by the hidden
    // column goes back to the names.
    QAction* toggle = list()->headerMenu()->actions().front();
    emit list()->headerMenu()->aboutToShow();
    EXPECT_TRUE(toggle->isChecked());
    toggle->trigger();
    EXPECT_TRUE(header->isSectionHidden(RNContentListModel::OriginalColumn));
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_EQ(list()->sortDescriptor().key, QStringLiteral("name_col"));
    showSource(1);
    EXPECT_FALSE(header->isSectionHidden(RNContentListModel::OriginalColumn));
    EXPECT_EQ(cell("other", RNContentListModel::OriginalColumn), QString::fromStdString(trashes.volumePath(b) + "/x"));
    showSource(0);
    EXPECT_TRUE(header->isSectionHidden(RNContentListModel::OriginalColumn));
    // The name column takes the width the hidden one left.
    EXPECT_EQ(header->sectionSize(RNContentListModel::NameColumn),
              std::max(RNListCntrl::kNameMinWidth, list()->tableView()->viewport()->width() -
                                                       header->sectionSize(RNContentListModel::CheckColumn) -
                                                       header->sectionSize(RNContentListModel::SizeColumn) -
                                                       header->sectionSize(RNContentListModel::DateColumn)));
    window.reset();
    open(2);
    showSource(0);
    EXPECT_TRUE(list()->tableView()->horizontalHeader()->isSectionHidden(RNContentListModel::OriginalColumn));
    emit list()->headerMenu()->aboutToShow();
    list()->headerMenu()->actions().front()->trigger();
    EXPECT_FALSE(list()->tableView()->horizontalHeader()->isSectionHidden(RNContentListModel::OriginalColumn));
    EXPECT_GE(list()->tableView()->horizontalHeader()->sectionSize(RNContentListModel::OriginalColumn), RNListCntrl::kOriginalMinWidth);
}

namespace {
QMessageBox* failureBox(QWidget* window) { return window->findChild<QMessageBox*>(QStringLiteral("moveFailures")); }

// Answers the conflict question with the button titled `button`.
void answerConflict(const std::string& button) {
    onNextModal([button](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box) return;
        for (QAbstractButton* b : box->buttons())
            if (b->text().remove(QLatin1Char('&')) == QString::fromStdString(util::RNLocalizedString(button)).remove(QLatin1Char('&'))) {
                b->click();
                return;
            }
    });
}
}  // namespace

TEST_F(PutBackTest, PutBackFromTheButtonTheKeyAndTheMenuAndUndoIt) {
    erase::RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
    const size_t a = trashes.addVolume("Alpha");
    const std::string vol = trashes.volumePath(a);
    plant(a, "a.txt", "docs/a.txt", "first");
    plant(a, "b.txt", "docs/b.txt", "second");
    plant(a, "escape", "../outside");  // refused: stays in the trash, said in a message
    makeDirs(vol + "/docs");
    writeFile(vol + "/docs/b.txt", "already here");  // a conflict: kept both
    open(1);
    ASSERT_EQ(list()->model()->rowCount(), 3);
    auto* button = window->contentViewCntrl()->putBackBtn();
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->isVisible());

    // The button with one selected row: the item goes back; the row goes.
    select({"a.txt"});
    button->click();
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving() && rowNamed("a.txt") < 0; }));
    EXPECT_EQ(readFile(vol + "/docs/a.txt"), "first");
    EXPECT_FALSE(exists(trashes.filesDir(a) + "/a.txt"));
    EXPECT_FALSE(exists(trashes.trashDir(a) + "/info/a.txt.trashinfo"));

    // The key, on a conflict answered "Keep Both" and a refused item: one message for the refusal.
    select({"b.txt", "escape"});
    answerConflict("keep_both_btn");
    QTest::keyClick(window.get(), Qt::Key_Backspace, Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving() && rowNamed("b.txt") < 0; }, 20000));
    EXPECT_EQ(readFile(vol + "/docs/b.txt"), "already here");
    EXPECT_EQ(readFile(vol + "/docs/b (restored).txt"), "second");
    EXPECT_GE(rowNamed("escape"), 0);
    EXPECT_TRUE(exists(trashes.filesDir(a) + "/escape"));
    ASSERT_TRUE(waitUntil([&] { return failureBox(window.get()) != nullptr; }));
    EXPECT_EQ(failureBox(window.get())->text(), QStringLiteral("1 item was not put back."));
    failureBox(window.get())->close();
    window->activateWindow();
    ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window.get(); }));

    // Ctrl+Z: the last put back goes to the trash again (the home trash: the planted volume is
    // a folder of the home's file system); the first one stays where it is.
    QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving() && !exists(vol + "/docs/b (restored).txt"); }));
    EXPECT_TRUE(exists(home.homeTrash() + "/files/b (restored).txt"));
    EXPECT_TRUE(exists(home.homeTrash() + "/info/b (restored).txt.trashinfo"));
    EXPECT_EQ(readFile(vol + "/docs/a.txt"), "first");
    // Nothing more to undo.
    QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_FALSE(list()->isMoving());

    // The contextual menu's first entry is Put Back, for the clicked row.
    EXPECT_EQ(list()->contextualMenu()->actions().front(), list()->putBackAction());
}

TEST_F(PutBackTest, DroppedFilesGoToTheTrashRefusalsAreSaidAndUndoBringsThemBack) {
    erase::RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "x");
    const std::string work = home.home() + "/work";
    makeDirs(work + "/folder/inner");
    writeFile(work + "/folder/inner/f", "f");
    const std::string odd = work + "/caf\xE9.txt";  // not UTF-8: must arrive byte-exact
    writeFile(odd, "odd");
    open(1);

    QMimeData data;
    data.setUrls({QUrl::fromEncoded(QByteArray("file://") + QByteArray(odd.c_str()).toPercentEncoding("/")),
                  QUrl::fromLocalFile(QString::fromStdString(work + "/folder"))});
    ASSERT_EQ(RNWindowCntrl::droppedPaths(&data), (std::vector<std::string>{odd, work + "/folder"}));
    dropOn(&data);
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving() && !exists(odd) && !exists(work + "/folder"); }));
    EXPECT_EQ(readFile(home.homeTrash() + "/files/caf\xE9.txt"), "odd");
    EXPECT_EQ(readFile(home.homeTrash() + "/files/folder/inner/f"), "f");
    EXPECT_EQ(failureBox(window.get()), nullptr);

    // Ctrl+Z brings both back where they were.
    QTest::keyClick(window.get(), Qt::Key_Z, Qt::ControlModifier);
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving() && exists(odd) && exists(work + "/folder/inner/f"); }));
    EXPECT_FALSE(exists(home.homeTrash() + "/files/folder"));

    // The home folder and an item already in the trash are refused, with nothing touched, and
    // said once.
    const std::string trashed = home.homeTrash() + "/files/already";
    writeFile(trashed, "t");
    QMimeData refused;
    refused.setUrls({QUrl::fromLocalFile(QString::fromStdString(home.home())),
                     QUrl::fromLocalFile(QString::fromStdString(trashed))});
    dropOn(&refused);
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving() && failureBox(window.get()) != nullptr; }))
        ;
    EXPECT_EQ(failureBox(window.get())->text(), QStringLiteral("2 items were not put in the Trash."));
    EXPECT_TRUE(exists(trashed));
    EXPECT_TRUE(exists(home.home()));
    failureBox(window.get())->close();

    // A drop that is not all local files is not taken.
    QMimeData remote;
    remote.setUrls({QUrl(QStringLiteral("https://example.org/a"))});
    QDragEnterEvent enter2(QPoint(10, 10), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter2);
    EXPECT_FALSE(enter2.isAccepted());

    // The undo lasts while the window is open.
    QMimeData again;
    again.setUrls({QUrl::fromLocalFile(QString::fromStdString(work + "/folder"))});
    dropOn(&again);
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving() && !exists(work + "/folder"); }));
    window->close();
    window->showWindow();
    list()->undoLast();
    EXPECT_FALSE(list()->isMoving());
    EXPECT_FALSE(exists(work + "/folder"));
}

namespace {
// Presses Stop on the put back's progress panel as soon as it is shown, and says it was shown.
class StopWhenShown : public QObject {
public:
    bool shown = false;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            if (auto* panel = qobject_cast<ui::RNProgressWindow*>(watched); panel && !shown) {
                shown = true;
                panel->stopBtn->click();
            }
        return false;
    }
};
}  // namespace

// Items without an info file go back only into a chosen folder: Put Back brings up the chooser
// (folders only) for them. A copy to another disk shows the progress panel; its Stop leaves
// every item whole in one place, the trash or the chosen folder, with no partial copy.
TEST_F(PutBackTest, ItemsWithoutInfoGoIntoAChosenFolderAndACopyCanBeStopped) {
    erase::RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFolder(a, "noinfo", 3000, "");
    writeFile(trashes.filesDir(a) + "/orphan.txt", "orphan");
    // An unreadable info file counts as none.
    makeDirs(trashes.trashDir(a) + "/info/orphan.txt.trashinfo");
    std::unique_ptr<ScopedMount> disk;
    std::string chosen = home.root() + "/chosen";
    if (::geteuid() == 0) {
        disk = std::make_unique<ScopedMount>(home.root(), ScopedMount::Kind::Tmpfs);
        ASSERT_TRUE(disk->ok()) << disk->error();
        chosen = disk->mountPoint();
    } else {
        makeDirs(chosen);
    }
    open(1);
    list()->setMovePanelDelay(std::chrono::milliseconds(0));
    StopWhenShown stopper;
    qApp->installEventFilter(&stopper);

    select({"noinfo", "orphan.txt"});
    list()->putBackAction()->trigger();
    QFileDialog* chooser = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (chooser = window->findChild<QFileDialog*>(QStringLiteral("putBackTo"))); }));
    EXPECT_EQ(chooser->windowTitle(), QString::fromUtf8("Put Back To…"));
    EXPECT_EQ(chooser->fileMode(), QFileDialog::Directory);
    EXPECT_FALSE(failureBox(window.get())) << "an item without its origin is not a failure";
    EXPECT_TRUE(exists(trashes.filesDir(a) + "/orphan.txt"));
    QString picked;
    QObject::connect(chooser, &QFileDialog::fileSelected, [&](const QString& f) { picked = f; });
    chooser->setDirectory(QString::fromStdString(chosen));
    QMetaObject::invokeMethod(chooser, "accept");
    EXPECT_EQ(picked.toStdString(), chosen);
    ASSERT_TRUE(waitUntil([&] { return list()->isMoving(); }));
    ASSERT_TRUE(waitUntil([&] { return !list()->isMoving(); }, 60000));
    qApp->removeEventFilter(&stopper);

    // Each item is whole in exactly one place.
    const bool folderBack = exists(chosen + "/noinfo");
    EXPECT_NE(folderBack, exists(trashes.filesDir(a) + "/noinfo"));
    if (folderBack) {
        EXPECT_EQ(readFile(chosen + "/noinfo/f2999"), "0123456789");
    }
    EXPECT_NE(exists(chosen + "/orphan.txt"), exists(trashes.filesDir(a) + "/orphan.txt"));
    std::string left;
    run("ls -A " + shellQuote(chosen), &left);
    EXPECT_EQ(left.find(".quillo-restore-"), std::string::npos) << left;
    if (disk) {
        EXPECT_TRUE(stopper.shown) << "a copy to another disk shows the progress panel";
        EXPECT_FALSE(folderBack) << "the stop came while 3,000 files were being copied";
        EXPECT_EQ(window->findChild<ui::RNProgressWindow*>(), nullptr) << "the panel closes with the move";
    } else {
        EXPECT_TRUE(folderBack);  // one rename: nothing to stop, no panel
    }
}
