// The Lumo Window offscreen: selection rules, switching trashes, unmounts, the frame, the title,
// the contextual menu, the space bar and the erase button with nothing marked.
#include "DarkPalette.h"
#include "GuiTest.h"
#include "LumoWindowFixture.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNCheckBoxStyle.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNItemPreviewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNQuickLookPanel.h"
#include "mainwindow/RNSplitView.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <QClipboard>
#include <QHeaderView>
#include <QMessageBox>
#include <QPainter>
#include <QStyleOption>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <unistd.h>

using namespace quillo;
using namespace quillo::mainwindow;
using namespace quillo::test;

class LumoWindowTest : public LumoWindowFixture {
protected:
    void select(std::initializer_list<int> rows) {
        auto* sel = list()->tableView()->selectionModel();
        sel->clearSelection();
        for (int r : rows)
            sel->select(list()->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    std::vector<std::string> selectedNames() {
        std::vector<std::string> out;
        QModelIndexList rows = list()->tableView()->selectionModel()->selectedRows();
        std::sort(rows.begin(), rows.end());
        for (const auto& i : rows) out.push_back(list()->model()->itemAt(i.row())->name);
        return out;
    }
};

TEST_F(LumoWindowTest, SelectionRulesAndTheFirstTrashShown) {
    trashes.addVolume("Empty");
    const size_t b = trashes.addVolume("Full");
    trashes.addFile(b, "x");
    open(2);
    // The first trash with items is shown; the empty one cannot be selected, nor can the
    // selection be cleared.
    EXPECT_EQ(window->sourceViewCntrl()->lastSelectedRow(), 1);
    EXPECT_EQ(list()->sourceItem(), sources()->sourceAt(1));
    window->sourceViewCntrl()->selectRow(0);
    EXPECT_EQ(window->sourceViewCntrl()->lastSelectedRow(), 1);
    window->sourceViewCntrl()->tableView()->selectionModel()->clearSelection();
    EXPECT_EQ(window->sourceViewCntrl()->tableView()->selectionModel()->selectedRows().size(), 1);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
}

// With nothing in any trash the window says so, instead of a spinner that turns forever.
TEST_F(LumoWindowTest, EveryTrashEmptySaysSoAndAFilledOneIsShown) {
    trashes.addVolume("Empty");
    open(1);
    auto* allEmpty = window->findChild<QWidget*>(QStringLiteral("allTrashesEmpty"));
    ASSERT_NE(allEmpty, nullptr);
    EXPECT_TRUE(waitUntil([&] { return allEmpty->isVisible(); }));
    EXPECT_EQ(window->sourceViewCntrl()->lastSelectedRow(), -1);

    // An item trashed while the window is open: that trash is shown, and the text goes.
    trashes.addFile(0, "late");
    window->sourceViewCntrl()->refreshAction();
    EXPECT_TRUE(waitUntil([&] { return window->sourceViewCntrl()->lastSelectedRow() == 0; }));
    EXPECT_TRUE(waitUntil([&] { return list()->tableView()->isVisible() && !allEmpty->isVisible(); }));
}

TEST_F(LumoWindowTest, SwitchingTrashesRestoresSortSelectionAndPreview) {
    const size_t a = trashes.addVolume("A");
    const size_t b = trashes.addVolume("B");
    trashes.addFile(a, "small", "1");
    trashes.addFile(a, "Big", std::string(500, 'x'));
    trashes.addFile(a, "middle", std::string(50, 'x'));
    trashes.addFile(b, "other", "1");
    open(2);
    showSource(0);
    // Size: largest first on the first click, then the other way round.
    list()->sortByColumn(RNContentListModel::SizeColumn);
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_EQ(list()->model()->itemAt(0)->name, "Big");
    list()->sortByColumn(RNContentListModel::SizeColumn);
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_EQ(list()->model()->itemAt(0)->name, "small");
    list()->sortByColumn(RNContentListModel::SizeColumn);
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting() && list()->model()->itemAt(0)->name == "Big"; }));
    select({0, 1});
    EXPECT_EQ(list()->selectedItemsForPreview()->size(), 2u);
    EXPECT_EQ(window->contentViewCntrl()->previewCntrl()->cards().size(), 2u);
    EXPECT_FALSE(window->contentViewCntrl()->pieInfoTextFld()->text().isEmpty());

    showSource(1);
    EXPECT_EQ(list()->sortDescriptor().key, QStringLiteral("name_col"));
    EXPECT_TRUE(selectedNames().empty());
    EXPECT_TRUE(window->contentViewCntrl()->previewCntrl()->cards().empty());

    showSource(0);
    EXPECT_EQ(list()->sortDescriptor().key, QStringLiteral("size_col"));
    EXPECT_FALSE(list()->sortDescriptor().ascending);
    EXPECT_EQ(selectedNames(), (std::vector<std::string>{"Big", "middle"}));
    EXPECT_EQ(window->contentViewCntrl()->previewCntrl()->cards().size(), 2u);
}

TEST_F(LumoWindowTest, UnmountingTheFirstOfThreeKeepsTheThirdSelected) {
    for (const char* n : {"One", "Two", "Three"}) {
        const size_t v = trashes.addVolume(n);
        trashes.addFile(v, std::string("in") + n);
    }
    open(3);
    showSource(2);
    sources()->mountedVolumeDidChange(false, trashes.volumePath(0));
    ASSERT_TRUE(waitUntil([&] { return sources()->rowCount() == 2; }));
    EXPECT_EQ(window->sourceViewCntrl()->lastSelectedRow(), 1);
    const auto rows = window->sourceViewCntrl()->tableView()->selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.first().row(), 1);
    EXPECT_EQ(list()->sourceItem()->name, "Three");
    EXPECT_EQ(list()->sourceItem()->row, 1);
    // The shown trash itself goes: another one is shown.
    sources()->mountedVolumeDidChange(false, trashes.volumePath(2));
    ASSERT_TRUE(waitUntil([&] { return sources()->rowCount() == 1; }));
    EXPECT_EQ(list()->sourceItem()->name, "Two");
}

TEST_F(LumoWindowTest, FrameTitleAndClose) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "x");
    open(1);
    const QString defaultTitle = window->windowTitle();
    // Collapsing the source list names the shown trash in the title.
    window->splitView()->setSizes({0, 1000});
    window->splitView()->subviewsDidResize();
    EXPECT_TRUE(window->windowTitle().contains(QStringLiteral("Alpha")));
    EXPECT_EQ(window->splitView()->dividerThickness(), RNSplitView::kThickDivider);
    window->splitView()->setSizes({250, 750});
    window->splitView()->subviewsDidResize();
    EXPECT_EQ(window->windowTitle(), defaultTitle);

    QSignalSpy closed(window.get(), &RNWindowCntrl::closed);
    window->setGeometry(QRect(40, 50, 900, 600));
    const QRect frame = window->geometry();
    window->close();
    ASSERT_EQ(closed.count(), 1);
    EXPECT_EQ(closed.at(0).at(0).toULongLong(), 0u) << "no erase ran";
    EXPECT_EQ(RNWindowCntrl::rectFromString(QString::fromStdString(
                  erase::RNUserDefaults::standardUserDefaults().stringForKey(erase::kPrefLumoDeleteWindow))),
              frame);
    window.reset();
    window = std::make_unique<RNWindowCntrl>();
    EXPECT_EQ(window->geometry(), frame);
    // A malformed frame leaves the default.
    EXPECT_TRUE(RNWindowCntrl::rectFromString(QStringLiteral("{{1, 2}, {0, 5}}")).isEmpty());
    EXPECT_TRUE(RNWindowCntrl::rectFromString(QStringLiteral("junk")).isNull());
}

TEST_F(LumoWindowTest, ContextMenuMarksAndCopies) {
    const size_t a = trashes.addVolume("Alpha");
    for (const char* n : {"a", "b", "c"}) trashes.addFile(a, n);
    open(1);
    QMenu* menu = list()->contextualMenu();
    std::vector<int> tags;
    for (QAction* act : menu->actions())
        if (!act->isSeparator()) tags.push_back(act->data().toInt());
    EXPECT_EQ(tags, (std::vector<int>{109, 100, 102, 103, 104, 105, 106, 107, 108, 110}));
    auto src = list()->sourceItem();
    select({0, 1});
    list()->contextualMenuAction(RNListCntrl::kTagMark);
    EXPECT_EQ(src->markedCount, 2u);
    list()->setClickedRow(2);  // the clicked row joins the selection
    list()->contextualMenuAction(RNListCntrl::kTagInvert);
    EXPECT_EQ(src->markedCount, 1u);
    EXPECT_TRUE(src->children[2]->isMarked.load() || list()->model()->itemAt(2)->isMarked.load());
    list()->setClickedRow(-1);
    list()->contextualMenuAction(RNListCntrl::kTagUnmark);
    EXPECT_EQ(src->markedCount, 1u);
    // Copying needs exactly one item.
    QApplication::clipboard()->setText(QStringLiteral("before"));
    list()->contextualMenuAction(RNListCntrl::kTagCopyName);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("before"));
    select({1});
    list()->contextualMenuAction(RNListCntrl::kTagCopyPath);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), list()->model()->itemAt(1)->url);
    // A check box in the list marks its item and updates the source's totals.
    ASSERT_TRUE(list()->model()->setData(list()->model()->index(1, 0), Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(src->markedCount, 2u);
}

TEST_F(LumoWindowTest, SpaceBarTogglesTheLargePreview) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "note.txt", "some text");
    open(1);
    auto* table = list()->tableView();
    RNQuickLookPanel* panel = window->contentViewCntrl()->quickLookPanel();
    table->selectionModel()->clearSelection();
    QTest::keyClick(table, Qt::Key_Space);  // nothing selected: a beep, no panel
    EXPECT_FALSE(panel->isVisible());
    select({0});
    QTest::keyClick(table, Qt::Key_Space);
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->items().size(), 1u);
    EXPECT_TRUE(window->contentViewCntrl()->previewCntrl()->qlPanelIsVisible());
    QTest::keyClick(panel, Qt::Key_Space);  // the panel hands the key to the list: closes
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(LumoWindowTest, EraseWithNothingMarkedBeepsThenSays) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "x");
    open(1);
    erase::RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
    window->contentViewCntrl()->eraseBtn()->click();
    ASSERT_TRUE(waitUntil([&] { return list()->clickedTimes() == 1; }));
    QString shown;
    onNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box) shown = box->text();
        if (box) box->buttons().first()->click();
    });
    window->contentViewCntrl()->eraseBtn()->click();
    ASSERT_TRUE(waitUntil([&] { return list()->clickedTimes() == 2 && !shown.isEmpty(); }, 10000));
    EXPECT_EQ(shown.toStdString(), util::RNLocalizedString("no_marked_items", "Errors"));
    EXPECT_FALSE(list()->isErasing());
}

TEST_F(LumoWindowTest, RefreshShowsWhatOtherProgramsTrashedAndRemovedAndKeepsMarksAndSelection) {
    const size_t a = trashes.addVolume("Alpha");
    for (const char* n : {"apple", "banana", "cherry"}) trashes.addFile(a, n);
    open(1);
    auto src = list()->sourceItem();
    ASSERT_EQ(list()->model()->rowCount(), 3);
    auto rowOf = [&](const std::string& name) {
        for (int r = 0; r < list()->model()->rowCount(); ++r)
            if (list()->model()->itemAt(r)->name == name) return r;
        return -1;
    };
    ASSERT_TRUE(list()->model()->setData(list()->model()->index(rowOf("apple"), 0), Qt::Checked, Qt::CheckStateRole));
    select({rowOf("banana")});
    list()->tableView()->selectionModel()->setCurrentIndex(list()->model()->index(rowOf("banana"), 1),
                                                           QItemSelectionModel::NoUpdate);
    auto* refresh = window->findChild<QToolButton*>(QStringLiteral("refreshBtn"));
    ASSERT_NE(refresh, nullptr);

    // Another program trashes an item (sorted in by name, between the others).
    trashes.addFile(a, "blueberry", std::string(40, 'x'));
    refresh->click();
    ASSERT_TRUE(waitUntil([&] { return list()->model()->rowCount() == 4 && !list()->isSorting(); }));
    ASSERT_TRUE(waitUntil([&] { return sources()->isIdle() && !list()->isSorting(); }));
    // The new row is sorted in after it is shown.
    EXPECT_TRUE(waitUntil([&] { return !list()->isSorting() && rowOf("blueberry") == 2; })) << rowOf("blueberry");
    EXPECT_EQ(selectedNames(), (std::vector<std::string>{"banana"}));
    EXPECT_EQ(list()->tableView()->currentIndex().row(), rowOf("banana"));
    EXPECT_TRUE(list()->model()->itemAt(rowOf("apple"))->isMarked.load());
    EXPECT_EQ(src->markedCount, 1u);
    EXPECT_EQ(src->lockedCount(), 4u);
    EXPECT_FALSE(list()->model()->itemAt(rowOf("blueberry"))->isMarked.load());

    // Another program empties one item: its row goes, the totals drop, marks and selection stay.
    ASSERT_EQ(::unlink((trashes.filesDir(a) + "/cherry").c_str()), 0);
    ::unlink((trashes.trashDir(a) + "/info/cherry.trashinfo").c_str());
    refresh->click();
    ASSERT_TRUE(waitUntil([&] { return list()->model()->rowCount() == 3 && !list()->isSorting(); }));
    ASSERT_TRUE(waitUntil([&] { return sources()->isIdle() && !list()->isSorting(); }));
    EXPECT_EQ(rowOf("cherry"), -1);
    EXPECT_EQ(selectedNames(), (std::vector<std::string>{"banana"}));
    EXPECT_TRUE(list()->model()->itemAt(rowOf("apple"))->isMarked.load());
    EXPECT_EQ(src->markedCount, 1u);
    EXPECT_EQ(src->lockedCount(), 3u);
    EXPECT_EQ(window->contentViewCntrl()->previewCntrl()->cards().size(), 1u);

    // A refresh with nothing changed leaves everything as it was.
    refresh->click();
    ASSERT_FALSE(sources()->isIdle());  // the refresh is under way
    ASSERT_TRUE(waitUntil([&] { return sources()->isIdle() && !list()->isSorting(); }));
    EXPECT_EQ(list()->model()->rowCount(), 3);
    EXPECT_EQ(selectedNames(), (std::vector<std::string>{"banana"}));
}

namespace {
// The largest difference in grey level between the colour behind a check box and any pixel of
// an unchecked box drawn by `style` with `palette`.
int uncheckedBoxContrast(QStyle* style, const QPalette& palette, QStyle::PrimitiveElement element) {
    QImage image(24, 24, QImage::Format_ARGB32);
    const QColor base = palette.color(QPalette::Base);
    image.fill(base);
    QStyleOptionViewItem option;
    option.rect = QRect(4, 4, 16, 16);
    option.palette = palette;
    option.state = QStyle::State_Enabled | QStyle::State_Off;
    option.features = QStyleOptionViewItem::HasCheckIndicator;
    option.checkState = Qt::Unchecked;
    QStyleOptionButton box;
    box.rect = option.rect;
    box.palette = palette;
    box.state = option.state;
    {
        QPainter p(&image);
        style->drawPrimitive(element, element == QStyle::PE_IndicatorCheckBox ? static_cast<QStyleOption*>(&box) : &option, &p);
    }
    int most = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) most = std::max(most, std::abs(qGray(image.pixel(x, y)) - qGray(base.rgb())));
    return most;
}
}  // namespace

TEST(LumoLooks, UncheckedCheckBoxesStandOutOnLightAndDarkPalettes) {
    const QString before = QApplication::style()->name();
    QApplication::setStyle(QStringLiteral("Fusion"));
    {
        QWidget owner;
        auto* style = new RNCheckBoxStyle(&owner);
        for (const QPalette& palette : {QApplication::style()->standardPalette(), darkPalette()})
            for (auto element : {QStyle::PE_IndicatorItemViewItemCheck, QStyle::PE_IndicatorCheckBox})
                EXPECT_GE(uncheckedBoxContrast(style, palette, element), 80)
                    << "base " << palette.color(QPalette::Base).name().toStdString() << ", element " << int(element);
    }
    QApplication::setStyle(before);
}
