// The Lumo Window as a user meets it: secondary texts that read on light and dark palettes,
// the mark key and the Tab order, long and non-UTF-8 names in the preview card, the large preview
// paging through the selection, the column limits, and pictures decoded to the size shown.
#include "DarkPalette.h"
#include "GuiTest.h"
#include "LumoTestSupport.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNItemPreviewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNPreview.h"
#include "mainwindow/RNPreviewLoader.h"
#include "mainwindow/RNQuickLookPanel.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtStrings.h"
#include "ui/RNTextColors.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QTest>

#include <set>

using namespace quillo;
using namespace quillo::mainwindow;
using namespace quillo::test;

namespace {

class LumoLooksAndKeys : public ::testing::Test {
protected:
    void SetUp() override {
        erase::RNUserDefaults::resetStandardUserDefaults();
        dispatcher = ui::RNQtMainThread::install();
        savedPalette = QApplication::palette();
    }
    void TearDown() override {
        window.reset();
        QApplication::setPalette(savedPalette);
        erase::RNErrorDelegate::sharedControl().setBackend(nullptr);
        erase::RNMainThread::setActive(nullptr);
        erase::RNUserDefaults::resetStandardUserDefaults();
    }
    void open(size_t expectedSources) {
        window = std::make_unique<RNWindowCntrl>();
        window->resize(1100, 640);
        window->showWindow();
        ASSERT_TRUE(waitUntil([&] { return sources()->listingFinished() && int(expectedSources) == sources()->rowCount(); }));
        ASSERT_TRUE(waitUntil([&] {
            for (const auto& s : sources()->sourceItems())
                if (s->lockedGathering() > 0 || !s->datesLoaded) return false;
            // Every item of the shown trash is a row (rows arrive in batches).
            const auto shown = sources()->sourceAt(0);
            return !list()->isSorting() && !shown->children.empty() &&
                   list()->model()->rowCount() == int(shown->children.size());
        }));
    }
    RNSourceListModel* sources() { return window->sourceViewCntrl()->model(); }
    RNListCntrl* list() { return window->contentViewCntrl()->listCntrl(); }
    RNItemPreviewCntrl* preview() { return window->contentViewCntrl()->previewCntrl(); }
    int rowNamed(const std::string& name) {
        for (int r = 0; r < list()->model()->rowCount(); ++r)
            if (list()->model()->itemAt(r)->name == name) return r;
        return -1;
    }
    void select(std::initializer_list<int> rows) {
        auto* sel = list()->tableView()->selectionModel();
        sel->clearSelection();
        for (int r : rows)
            sel->select(list()->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    bool cardsLoaded() {
        if (preview()->cards().empty()) return false;
        for (RNPreview* c : preview()->cards())
            if (!c->isLoaded()) return false;
        return true;
    }
    // What `w` shows, cropped to `inner` (in w's coordinates).
    static QImage picture(QWidget* w, const QRect& inner) { return w->grab(inner).toImage(); }

    TempHome home;
    PlantedTrashes trashes{home};
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::unique_ptr<RNWindowCntrl> window;
    QPalette savedPalette;
};

std::vector<std::pair<const char*, QPalette>> palettes() {
    const QPalette light = QApplication::style()->standardPalette();
    return {{"light", light}, {"dark", darkPalette()}, {"theme dark", themeDarkPalette(light)},
            {"high contrast", highContrastPalette()}};
}

}  // namespace

// ---- Readable text -------------------------------------------------------------------------

TEST(SecondaryText, StaysReadableOnEveryPaletteAndPalerThanTheMainText) {
    for (const auto& [name, palette] : palettes()) {
        for (auto [fg, bg] : {std::pair{QPalette::WindowText, QPalette::Window}, std::pair{QPalette::Text, QPalette::Base}}) {
            const QColor c = ui::secondaryTextColor(palette, QPalette::Active, fg, bg);
            const QColor back = palette.color(QPalette::Active, bg);
            EXPECT_GE(ui::contrastRatio(ui::blendedColor(c, back), back), ui::kMinimumTextContrast) << name;
            EXPECT_LE(c.alphaF(), 1.0f);
        }
    }
    // Where the theme's text itself is faint, the full colour is used.
    QPalette faint;
    faint.setColor(QPalette::Window, QColor(0x80, 0x80, 0x80));
    faint.setColor(QPalette::WindowText, QColor(0x60, 0x60, 0x60));
    EXPECT_EQ(ui::secondaryTextColor(faint, QPalette::Active).alpha(), 255);
}

TEST_F(LumoLooksAndKeys, SelectionSummaryAndPreviewDetailsReadOnLightAndDarkPalettes) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "picture.png", std::string(3670, 'x'));
    trashes.addFile(a, "notes.txt", "hello");
    for (const auto& [name, palette] : palettes()) {
        SCOPED_TRACE(name);
        QApplication::setPalette(palette);
        open(1);
        select({rowNamed("picture.png")});
        ASSERT_TRUE(waitUntil([&] { return cardsLoaded(); }));
        QLabel* summary = window->contentViewCntrl()->pieInfoTextFld();
        ASSERT_FALSE(summary->text().isEmpty());
        // The summary line as drawn on the window's bar.
        QWidget* bar = summary->parentWidget();
        EXPECT_GE(textContrastIn(picture(bar, summary->geometry())), ui::kMinimumTextContrast);
        // The card's details ("Size:", "Modified:") as drawn on the card.
        RNPreview* card = preview()->cards().front();
        auto* details = card->findChild<QLabel*>(QStringLiteral("previewDetails"));
        ASSERT_NE(details, nullptr);
        ASSERT_TRUE(details->text().contains(QStringLiteral(": ")));
        EXPECT_GE(textContrastIn(picture(card, details->geometry())), ui::kMinimumTextContrast);
        window.reset();
    }
}

// ---- Keyboard ------------------------------------------------------------------------------

TEST_F(LumoLooksAndKeys, TheMarkKeyTogglesTheCurrentRowAndTheSelectionAndShowsInTheMenu) {
    const size_t a = trashes.addVolume("Alpha");
    for (const char* n : {"a", "b", "c"}) trashes.addFile(a, n);
    open(1);
    auto* table = list()->tableView();
    table->setFocus();
    QAction* mark = list()->toggleMarkAction();
    ASSERT_NE(mark, nullptr);
    ASSERT_FALSE(mark->shortcut().isEmpty());
    // Shown with its key in the contextual menu.
    EXPECT_TRUE(list()->contextualMenu()->actions().contains(mark));

    table->setCurrentIndex(list()->model()->index(rowNamed("b"), RNContentListModel::NameColumn));
    select({});
    QTest::keySequence(table, mark->shortcut());
    EXPECT_TRUE(list()->model()->itemAt(rowNamed("b"))->isMarked.load());
    EXPECT_FALSE(list()->model()->itemAt(rowNamed("a"))->isMarked.load());
    EXPECT_EQ(sources()->sourceAt(0)->markedCount, 1u);

    // The selection with a marked and an unmarked row: both marked, then both unmarked.
    select({rowNamed("a"), rowNamed("b")});
    QTest::keySequence(table, mark->shortcut());
    EXPECT_TRUE(list()->model()->itemAt(rowNamed("a"))->isMarked.load());
    EXPECT_TRUE(list()->model()->itemAt(rowNamed("b"))->isMarked.load());
    QTest::keySequence(table, mark->shortcut());
    EXPECT_FALSE(list()->model()->itemAt(rowNamed("a"))->isMarked.load());
    EXPECT_FALSE(list()->model()->itemAt(rowNamed("b"))->isMarked.load());
    EXPECT_EQ(sources()->sourceAt(0)->markedCount, 0u);
    // The space bar still belongs to the preview panel.
    select({rowNamed("c")});
    QTest::keyClick(table, Qt::Key_Space);
    EXPECT_TRUE(window->contentViewCntrl()->quickLookPanel()->isVisible());
    EXPECT_FALSE(list()->model()->itemAt(rowNamed("c"))->isMarked.load());
    window->contentViewCntrl()->closeQLWindow();
}

TEST_F(LumoLooksAndKeys, TabGoesSourceListItemListEraseButtonEachWithVisibleFocus) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "a");
    trashes.addFile(a, "b");
    open(1);
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QWidget* sourceList = window->sourceViewCntrl()->tableView();
    QWidget* itemList = list()->tableView();
    QWidget* erase = window->contentViewCntrl()->eraseBtn();
    sourceList->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(waitUntil([&] { return sourceList->hasFocus(); }));
    std::vector<QWidget*> stops;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        stops.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(stops, (std::vector<QWidget*>{itemList, erase, sourceList}));

    // Each stop looks different with the focus than without it.
    for (QWidget* w : {sourceList, itemList, erase}) {
        w->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(waitUntil([&] { return w->hasFocus(); }));
        const QImage focused = w->grab().toImage();
        QWidget* other = w == erase ? sourceList : erase;
        other->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(waitUntil([&] { return other->hasFocus(); }));
        EXPECT_NE(focused, w->grab().toImage()) << w->metaObject()->className();
    }
}

// The keyboard's current row carries a ring in the accent colour across the whole row, on light
// and dark palettes, and none without the focus (the style's own frame is a shade a dark palette
// hides).
TEST_F(LumoLooksAndKeys, TheCurrentRowIsRingedInTheAccentColourOnEveryPalette) {
    const size_t a = trashes.addVolume("Alpha");
    for (const char* n : {"a", "b", "c"}) trashes.addFile(a, n);
    open(1);
    QApplication::setActiveWindow(window.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto* table = list()->tableView();
    for (const auto& [name, palette] : palettes()) {
        SCOPED_TRACE(name);
        QApplication::setPalette(palette);
        select({});
        table->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(waitUntil([&] { return table->hasFocus(); }));
        const int row = rowNamed("b");
        table->selectionModel()->setCurrentIndex(list()->model()->index(row, RNContentListModel::NameColumn),
                                                 QItemSelectionModel::NoUpdate);
        const QRect rowRect(0, table->rowViewportPosition(row), table->viewport()->width(), table->rowHeight(row));
        const QColor accent = table->palette().color(QPalette::Active, QPalette::Highlight);
        auto accentPixels = [&] {
            const QImage image = table->viewport()->grab(rowRect).toImage();
            int n = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = image.pixelColor(x, y);
                    if (std::abs(c.red() - accent.red()) + std::abs(c.green() - accent.green()) +
                            std::abs(c.blue() - accent.blue()) < 60)
                        ++n;
                }
            return n;
        };
        // Top and bottom edges at least: twice the row's width.
        EXPECT_GT(accentPixels(), 2 * (rowRect.width() - 20));
        window->contentViewCntrl()->eraseBtn()->setFocus(Qt::TabFocusReason);
        ASSERT_TRUE(waitUntil([&] { return !table->hasFocus(); }));
        EXPECT_LT(accentPixels(), 10);
    }
}

// The header takes no keyboard focus: the contextual menu's Sort By sorts by a column, and its
// Descending turns the order round.
TEST_F(LumoLooksAndKeys, TheSortMenuSortsLikeTheHeader) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "small", "1");
    trashes.addFile(a, "large", std::string(5000, 'x'));
    trashes.addFile(a, "middle", std::string(300, 'x'));
    open(1);
    QMenu* sortMenu = nullptr;
    for (QAction* act : list()->contextualMenu()->actions())
        if (act->data().toInt() == RNListCntrl::kTagSort) sortMenu = act->menu();
    ASSERT_NE(sortMenu, nullptr);
    auto names = [&] {
        std::vector<std::string> out;
        for (int r = 0; r < list()->model()->rowCount(); ++r) out.push_back(list()->model()->itemAt(r)->name);
        return out;
    };
    auto choose = [&](const QString& text) {
        emit sortMenu->aboutToShow();
        for (QAction* act : sortMenu->actions())
            if (act->text() == text) {
                act->trigger();
                return true;
            }
        return false;
    };
    ASSERT_TRUE(choose(ui::L("size_col")));
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_EQ(names(), (std::vector<std::string>{"large", "middle", "small"}));  // sizes start descending
    EXPECT_EQ(list()->tableView()->horizontalHeader()->sortIndicatorSection(), int(RNContentListModel::SizeColumn));
    ASSERT_TRUE(choose(ui::L("sort_descending")));  // checked: it is on, so it turns it off
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_EQ(names(), (std::vector<std::string>{"small", "middle", "large"}));
    ASSERT_TRUE(choose(ui::L("name_col")));
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_EQ(names(), (std::vector<std::string>{"large", "middle", "small"}));
    EXPECT_TRUE(list()->sortDescriptor().ascending);
    // Choosing the column already in force changes nothing.
    ASSERT_TRUE(choose(ui::L("name_col")));
    ASSERT_TRUE(waitUntil([&] { return !list()->isSorting(); }));
    EXPECT_TRUE(list()->sortDescriptor().ascending);
}

// ---- Names -------------------------------------------------------------------------------

TEST(DisplayNames, BytesThatAreNotUtf8ShowAsEscapes) {
    EXPECT_EQ(ui::displayPath("caf\xE9.txt"), QStringLiteral("caf\\xE9.txt"));
    EXPECT_EQ(ui::displayPath("caf\xC3\xA9"), QStringLiteral("caf\u00e9"));
    EXPECT_EQ(ui::displayPath("cut \xC3"), QStringLiteral("cut \\xC3"));
    EXPECT_EQ(ui::displayPath("\xFF\xFE/\xE2\x82\xAC"), QStringLiteral("\\xFF\\xFE/\u20ac"));
    EXPECT_EQ(ui::displayPath("\xED\xA0\x80"), QStringLiteral("\\xED\\xA0\\x80"));  // a surrogate is no text
    EXPECT_EQ(ui::displayPath(""), QString());
    // Two names that differ in an invalid byte look different.
    EXPECT_NE(ui::displayPath("a\xE9"), ui::displayPath("a\xE8"));
    auto item = RNLumoWindowItem::item();
    item->name = "r\xE9sum\xE9.pdf";
    EXPECT_EQ(item->displayName(), QStringLiteral("r\\xE9sum\\xE9.pdf"));
}

TEST_F(LumoLooksAndKeys, LongNamesAreElidedInTheMiddleAndTheCardKeepsItsBorder) {
    const size_t a = trashes.addVolume("Alpha");
    const std::string longName = "Quarterly report " + std::string(200, 'W') + " final.txt";
    const std::string badName = "caf\xE9 menu.txt";
    trashes.addFile(a, longName, "x");
    trashes.addFile(a, badName, "x");
    open(1);
    select({rowNamed(longName)});
    ASSERT_TRUE(waitUntil([&] { return cardsLoaded(); }));
    RNPreview* card = preview()->cards().front();
    RNElidedLabel* name = card->nameField();
    EXPECT_EQ(name->toolTip(), QString::fromStdString(longName));
    EXPECT_TRUE(name->text().startsWith(QStringLiteral("Quarterly")));
    EXPECT_TRUE(name->text().endsWith(QStringLiteral("final.txt")));
    EXPECT_TRUE(name->text().contains(QChar(0x2026)));
    // The card stays inside the pane (its rim is drawn inside its own rectangle).
    QWidget* pane = card->parentWidget()->parentWidget();  // the scroll area's viewport
    EXPECT_LE(card->geometry().right(), pane->width());
    EXPECT_LE(name->geometry().right(), card->width());
    // The folder chain shortens its rows too.
    auto* chain = card->findChild<QListWidget*>(QStringLiteral("previewPath"));
    ASSERT_NE(chain, nullptr);
    EXPECT_LE(chain->geometry().right(), card->width());
    EXPECT_EQ(chain->textElideMode(), Qt::ElideMiddle);

    select({rowNamed(badName)});
    ASSERT_TRUE(waitUntil([&] { return cardsLoaded() && preview()->cards().front()->previewItem()->item.lock()->name == badName; }));
    card = preview()->cards().front();
    EXPECT_EQ(card->nameField()->fullText(), QStringLiteral("caf\\xE9 menu.txt"));
    EXPECT_EQ(list()->model()->data(list()->model()->index(rowNamed(badName), RNContentListModel::NameColumn), Qt::DisplayRole)
                  .toString(),
              QStringLiteral("caf\\xE9 menu.txt"));
    EXPECT_FALSE(card->nameField()->fullText().contains(QChar(0xFFFD)));
}

// ---- The large preview -------------------------------------------------------------------

TEST_F(LumoLooksAndKeys, TheLargePreviewPagesThroughEverySelectedItem) {
    const size_t a = trashes.addVolume("Alpha");
    for (const char* n : {"one.txt", "two.txt", "three.txt"}) trashes.addFile(a, n, n);
    open(1);
    select({rowNamed("one.txt"), rowNamed("three.txt"), rowNamed("two.txt")});
    window->contentViewCntrl()->quickLookAction();
    RNQuickLookPanel* panel = window->contentViewCntrl()->quickLookPanel();
    ASSERT_TRUE(panel->isVisible());
    ASSERT_EQ(panel->items().size(), 3u);
    auto nameAt = [&](size_t i) { return panel->items()[i]->item.lock()->displayName(); };
    // Right goes through every selected item once and comes back to the first shown.
    std::vector<QString> seen;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(waitUntil([&] { return panel->isLoaded(); }));
        seen.push_back(panel->titleText());
        EXPECT_EQ(panel->titleText(), nameAt(panel->currentIndex()));
        EXPECT_EQ(panel->pageText(), QStringLiteral("%1 / 3").arg(panel->currentIndex() + 1));
        QTest::keyClick(panel, Qt::Key_Right);
    }
    EXPECT_EQ(std::set<QString>(seen.begin(), seen.begin() + 3), (std::set<QString>{"one.txt", "two.txt", "three.txt"}));
    EXPECT_EQ(seen[3], seen[0]);
    // Left goes back.
    const size_t at = panel->currentIndex();
    QTest::keyClick(panel, Qt::Key_Left);
    EXPECT_EQ(panel->currentIndex(), (at + 2) % 3);
    EXPECT_EQ(panel->titleText(), nameAt((at + 2) % 3));
    const QString shown = panel->titleText();
    // The selection is left as it was; a narrower selection keeps the shown item when it can.
    EXPECT_EQ(list()->tableView()->selectionModel()->selectedRows().size(), 3);
    std::vector<int> keep{rowNamed(shown.toStdString())};
    for (const char* n : {"one.txt", "two.txt", "three.txt"})
        if (n != shown && keep.size() < 2) keep.push_back(rowNamed(n));
    select({keep[0], keep[1]});
    EXPECT_EQ(panel->items().size(), 2u);
    EXPECT_EQ(panel->titleText(), shown);
    window->contentViewCntrl()->closeQLWindow();
}

TEST_F(LumoLooksAndKeys, TheLargePreviewHasEverySelectedItemBeyondTheCardsLimit) {
    const size_t a = trashes.addVolume("Alpha");
    const size_t n = RNListCntrl::kMaxPreviewCards + 6;
    for (size_t i = 0; i < n; ++i) trashes.addFile(a, "f" + std::to_string(i), "x");
    open(1);
    list()->tableView()->selectAll();
    window->contentViewCntrl()->quickLookAction();
    RNQuickLookPanel* panel = window->contentViewCntrl()->quickLookPanel();
    EXPECT_EQ(panel->items().size(), n);
    EXPECT_EQ(panel->pageText(), QStringLiteral("1 / %1").arg(n));
    ASSERT_TRUE(waitUntil([&] { return !preview()->hasPendingCards() && cardsLoaded(); }, 20000));
    EXPECT_EQ(preview()->cards().size(), RNListCntrl::kMaxPreviewCards);
    // Following the selection while shown.
    select({0, 1});
    EXPECT_EQ(panel->items().size(), 2u);
    window->contentViewCntrl()->closeQLWindow();
}

// ---- Columns -----------------------------------------------------------------------------

TEST_F(LumoLooksAndKeys, ColumnsKeepTheirLimits) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "a");
    open(1);
    QHeaderView* header = list()->tableView()->horizontalHeader();
    auto width = [&](int c) { return header->sectionSize(c); };
    header->resizeSection(RNContentListModel::SizeColumn, 20);
    EXPECT_EQ(width(RNContentListModel::SizeColumn), 60);
    header->resizeSection(RNContentListModel::SizeColumn, 500);
    EXPECT_EQ(width(RNContentListModel::SizeColumn), 200);
    header->resizeSection(RNContentListModel::DateColumn, 10);
    EXPECT_EQ(width(RNContentListModel::DateColumn), 60);
    header->resizeSection(RNContentListModel::DateColumn, 5000);
    EXPECT_EQ(width(RNContentListModel::DateColumn), 1000);
    header->resizeSection(RNContentListModel::DateColumn, 200);
    // The name and the original location take what is left, the name never less than 260
    // however narrow the window, the place two fifths of it and at least its own minimum.
    const int viewport = list()->tableView()->viewport()->width();
    const int left = viewport - width(RNContentListModel::CheckColumn) - width(RNContentListModel::SizeColumn) - 200;
    EXPECT_EQ(width(RNContentListModel::OriginalColumn),
              std::max(RNListCntrl::kOriginalMinWidth, std::min(left * 2 / 5, left - 260)));
    EXPECT_EQ(width(RNContentListModel::NameColumn), std::max(260, left - width(RNContentListModel::OriginalColumn)));
    window->resize(420, 500);
    ASSERT_TRUE(waitUntil([&] { return list()->tableView()->viewport()->width() < 420; }));
    EXPECT_GE(width(RNContentListModel::NameColumn), 260);
    window->resize(1400, 600);
    // Wider again: the name takes all that the other columns leave.
    ASSERT_TRUE(waitUntil([&] {
        return width(RNContentListModel::NameColumn) > 260 &&
               width(RNContentListModel::NameColumn) ==
                   list()->tableView()->viewport()->width() - width(RNContentListModel::CheckColumn) -
                       width(RNContentListModel::SizeColumn) - width(RNContentListModel::DateColumn) -
                       width(RNContentListModel::OriginalColumn);
    }));
}

// At the size a first start gives the window, every column is in view with its text whole; a
// narrower window takes the room from the date and the size first, never below what their texts
// need, and a width the user gives a column stays.
TEST_F(LumoLooksAndKeys, EveryColumnIsInViewAtTheFirstSize) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "a");
    open(1);
    window->resize(RNWindowCntrl().size());  // the first start's size
    QHeaderView* header = list()->tableView()->horizontalHeader();
    auto width = [&](int c) { return header->sectionSize(c); };
    auto total = [&] {
        int sum = 0;
        for (int c = 0; c < header->count(); ++c)
            if (!header->isSectionHidden(c)) sum += width(c);
        return sum;
    };
    ASSERT_TRUE(waitUntil([&] { return total() <= list()->tableView()->viewport()->width(); }))
        << total() << " > " << list()->tableView()->viewport()->width();
    EXPECT_GE(width(RNContentListModel::DateColumn), list()->contentWidth(RNContentListModel::DateColumn));
    EXPECT_GE(width(RNContentListModel::SizeColumn), list()->contentWidth(RNContentListModel::SizeColumn));
    EXPECT_FALSE(header->isSectionHidden(RNContentListModel::OriginalColumn));

    window->resize(760, 500);
    ASSERT_TRUE(waitUntil([&] { return width(RNContentListModel::DateColumn) == list()->contentWidth(RNContentListModel::DateColumn); }));
    EXPECT_EQ(width(RNContentListModel::SizeColumn), list()->contentWidth(RNContentListModel::SizeColumn));
    EXPECT_GE(width(RNContentListModel::NameColumn), RNListCntrl::kNameMinWidth);

    header->resizeSection(RNContentListModel::DateColumn, 300);
    QApplication::processEvents();
    EXPECT_EQ(width(RNContentListModel::DateColumn), 300) << "the user's width stays";
}

// ---- Pictures ----------------------------------------------------------------------------

TEST(PreviewPictures, AreDecodedAtTheSizeShownAndCached) {
    TempHome home;
    const std::string path = home.root() + "/big.jpg";
    QImage big(3000, 2000, QImage::Format_RGB32);
    big.fill(QColor(0x40, 0x80, 0xc0));
    ASSERT_TRUE(big.save(QString::fromStdString(path), "JPEG"));
    const QImage small = thumbnailImageOfPath(path, 200);
    ASSERT_FALSE(small.isNull());
    EXPECT_EQ(std::max(small.width(), small.height()), 200);
    EXPECT_EQ(thumbnailImageOfPath(path, 200).cacheKey(), small.cacheKey());  // from the cache
    EXPECT_TRUE(thumbnailImageOfPath(home.root() + "/missing.jpg", 200).isNull());
    // Text files give their first lines, folders neither picture nor text.
    auto item = RNLumoWindowItem::item();
    item->url = home.root() + "/note.txt";
    writeFile(item->url, "first line\nsecond\n");
    const RNPreviewDetails d = previewDetailsOfItem(*item, 200, true);
    EXPECT_TRUE(d.text.startsWith(QStringLiteral("first line")));
    EXPECT_FALSE(d.path.empty());
    item->url = home.root();
    EXPECT_TRUE(previewDetailsOfItem(*item, 200, false).image.isNull());
    EXPECT_TRUE(previewDetailsOfItem(*item, 200, false).text.isNull());
}
