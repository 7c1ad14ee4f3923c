// Records, sorting, marks and the source list model, offscreen, on planted trashes.
#include "GuiTest.h"
#include "LumoTestSupport.h"

#include "erase/RNDeleteItems.h"
#include "erase/RNNotificationCenter.h"
#include "erase/RNOperationQueue.h"
#include "mainwindow/RNContentListModel.h"
#include "mainwindow/RNFinderLabels.h"
#include "mainwindow/RNImages.h"
#include "mainwindow/RNItemPreviewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNPreview.h"
#include "mainwindow/RNPreviewLoader.h"
#include "mainwindow/RNSourceListModel.h"
#include "ui/RNQtMainThread.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QScrollArea>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <limits>

using namespace quillo;
using namespace quillo::mainwindow;
using namespace quillo::test;

namespace {

RNLumoWindowItemPtr record(const std::string& name, uint64_t size, double date) {
    auto i = RNLumoWindowItem::item();
    i->name = name;
    i->url = "/nonexistent/" + name;
    i->size = size;
    i->dateAdded = date;
    return i;
}

std::vector<std::string> names(const std::vector<RNLumoWindowItemPtr>& items) {
    std::vector<std::string> out;
    for (const auto& i : items) out.push_back(i->name);
    return out;
}

class SourceModelTest : public ::testing::Test {
protected:
    void SetUp() override { dispatcher = ui::RNQtMainThread::install(); }
    void TearDown() override {
        model.reset();
        erase::RNMainThread::setActive(nullptr);
    }
    void load() {
        model = std::make_unique<RNSourceListModel>();
        model->setupSources();
        ASSERT_TRUE(waitUntil([&] {
            if (!model->listingFinished()) return false;
            for (const auto& s : model->sourceItems())
                if (s->lockedGathering() > 0 || !s->datesLoaded) return false;
            return true;
        }));
        ASSERT_TRUE(waitUntil([&] { return model->isIdle(); }));  // the last poll of the measurements
    }
    TempHome home;
    PlantedTrashes trashes{home};
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::unique_ptr<RNSourceListModel> model;
};

}  // namespace

TEST(LumoRecords, DerivedAndSortValues) {
    TempHome home;
    auto unknown = record("x", 0, 0);
    EXPECT_EQ(unknown->cfDateAdded(), double(std::numeric_limits<int64_t>::max()));
    EXPECT_EQ(record("x", 0, 12.5)->cfDateAdded(), 12.5);
    EXPECT_EQ(unknown->valueForKey(QStringLiteral("no_such_col")).toString(), QString(8, QChar(0xFF)));
    EXPECT_EQ(RNLumoWindowItem::valueForString(QString(), false), QString());
    EXPECT_EQ(RNLumoWindowItem::valueForString(QStringLiteral("a"), true), QStringLiteral("a"));
    unknown->isMarked = true;
    EXPECT_EQ(unknown->valueForKey(QStringLiteral("check_col")).toInt(), 1);

    // Kind, dates and icons of a real file; creation and modification on different days.
    const std::string path = home.root() + "/notes.txt";
    writeFile(path, "hello");
    auto item = RNLumoWindowItem::item();
    item->url = path;
    item->name = "notes.txt";
    const timespec times[2] = {{0, UTIME_OMIT}, {1262304000, 0}};  // modified 2010-01-01
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_FALSE(item->kind().isEmpty());
    EXPECT_NE(item->formattedDateModified(), item->formattedDateCreated());
    EXPECT_FALSE(item->fileIconWithSize(QSize(32, 32)).isNull());
    EXPECT_FALSE(item->isInvisible());
    auto none = RNLumoWindowItem::item();
    EXPECT_EQ(none->fileIconWithSize(QSize(16, 16)).size(), QSize(16, 16));  // the placeholder
    EXPECT_TRUE(none->fileIcon().isNull());
}

TEST(LumoRecords, ImagesAndLabelBadges) {
    // The placeholder's rectangle is at least 20 points: inside a 16-point image it is clipped,
    // so the image's corner pixel is still painted.
    const QImage placeholder = placeholderImageWithSize(QSize(16, 16)).toImage();
    EXPECT_EQ(placeholder.size(), QSize(16, 16));
    EXPECT_GT(qAlpha(placeholder.pixel(8, 8)), 0);
    QPixmap red(40, 40), blue(10, 10);
    red.fill(Qt::red);
    blue.fill(Qt::blue);
    const QImage composed = composedImageMainImage(red, blue).toImage();
    EXPECT_EQ(composed.pixelColor(5, 5), QColor(Qt::red));
    EXPECT_EQ(composed.pixelColor(30, 30), QColor(Qt::blue));  // lower right quarter
    const QImage ghost = ghostIconWithIcon(red, QSize(40, 40)).toImage();
    EXPECT_NEAR(qAlpha(ghost.pixel(5, 5)), 77, 3);

    auto& labels = RNFinderLabels::sharedControl();
    for (qint64 key : {0, 8, -1}) EXPECT_TRUE(labels.imageLabelWithBackgroundWithKey(key, QSize(11, 11)).isNull()) << key;
    const QImage badge = labels.imageLabelWithBackgroundWithKey(2, QSize(11, 11)).toImage();
    ASSERT_EQ(badge.size(), QSize(15, 15));
    EXPECT_EQ(badge.pixelColor(7, 7), labels.color(2));
    EXPECT_EQ(badge.pixelColor(7, 1), QColor(Qt::white));  // the white ring
}

TEST(LumoRecords, SortRules) {
    std::vector<RNLumoWindowItemPtr> items = {record("banana", 10, 100), record("Apple", 300, 0), record("cherry", 20, 50)};
    using M = RNContentListModel;
    // The first click on a column sorts in its own direction: sizes largest first.
    EXPECT_EQ(names(M::sortedChildren(items, {M::prototypeOfColumn(M::SizeColumn)})),
              (std::vector<std::string>{"Apple", "cherry", "banana"}));
    EXPECT_EQ(names(M::sortedChildren(items, {M::prototypeOfColumn(M::NameColumn)})),
              (std::vector<std::string>{"Apple", "banana", "cherry"}));
    // Unknown dates after every known one.
    EXPECT_EQ(names(M::sortedChildren(items, {M::prototypeOfColumn(M::DateColumn)})),
              (std::vector<std::string>{"cherry", "banana", "Apple"}));
    items[2]->isMarked = true;
    EXPECT_EQ(M::sortedChildren(items, {M::prototypeOfColumn(M::CheckColumn)}).front()->name, "cherry");
    // An unknown key keeps the order (every row compares equal).
    EXPECT_EQ(names(M::sortedChildren(items, {{QStringLiteral("other"), true}})), names(items));
}

TEST(LumoRecords, PillTexts) {
    EXPECT_EQ(RNSourceListModel::pillCountText(1500), QStringLiteral("1.5K"));
    EXPECT_EQ(RNSourceListModel::pillCountText(2000000), QStringLiteral("2M"));
    EXPECT_EQ(RNSourceListModel::pillCountText(999), QStringLiteral("999"));
    EXPECT_TRUE(RNSourceListModel::pillText(1500, 2000).startsWith(QStringLiteral("1.5K - ")));
}

TEST_F(SourceModelTest, OneRowPerTrashWithCountsAndMarks) {
    const size_t a = trashes.addVolume("Alpha");
    const size_t b = trashes.addVolume("Empty");
    trashes.addFile(a, "one", "12345");
    trashes.addFile(a, "two", std::string(100, 'x'));
    trashes.addFolder(a, "dir", 3);
    (void)b;
    load();
    ASSERT_EQ(model->rowCount(), 2);
    auto src = model->sourceAt(0);
    EXPECT_EQ(src->name, "Alpha");
    EXPECT_EQ(src->children.size(), 3u);
    EXPECT_EQ(src->lockedCount(), 3u);
    EXPECT_EQ(src->lockedSize(), 5u + 100 + 30);
    EXPECT_TRUE(model->sourceAt(1)->trashIsEmpty);
    EXPECT_EQ(model->data(model->index(1), RNSourceListModel::InfoTextRole).toString(),
              QString::fromStdString(util::RNLocalizedString("trash_empty")));
    EXPECT_TRUE(model->data(model->index(0), RNSourceListModel::InfoTextRole).toString().startsWith(QStringLiteral("3 ")));
    for (const auto& c : src->children) {
        if (c->name == "dir") {
            EXPECT_EQ(c->actualCount.load(), 3u);
        }
    }

    // The row's button: none marked → all; all → none; some → all.
    EXPECT_EQ(model->toggleMarksOfSource(src), 1);
    EXPECT_EQ(src->markedStatus, 1);
    EXPECT_EQ(src->markedCount, 3u);
    EXPECT_EQ(src->markedSize, 135u);
    EXPECT_FALSE(model->data(model->index(0), RNSourceListModel::PillTextRole).toString().isEmpty());
    EXPECT_EQ(model->toggleMarksOfSource(src), 0);
    EXPECT_EQ(src->markedCount, 0u);
    EXPECT_TRUE(model->data(model->index(0), RNSourceListModel::PillTextRole).toString().isEmpty());
    src->children[0]->isMarked = true;
    model->updateMarkedItems(src);
    EXPECT_EQ(src->markedStatus, -1);
    EXPECT_EQ(model->data(model->index(0), RNSourceListModel::MarkedStatusRole).toInt(), int(Qt::PartiallyChecked));
    EXPECT_EQ(model->toggleMarksOfSource(src), 1);
}

TEST_F(SourceModelTest, FileFirstThenBothOnceTheFolderIsMeasured) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "file", std::string(1000, 'x'));
    trashes.addFolder(a, "folder", 2);
    // The folder's walk waits until the test lets it go.
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::atomic<int> walks{0};
    RNSourceListModel::setWillMeasureFolderHook([&](const std::string&) {
        ++walks;
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return go; });
    });
    std::atomic<int> announced{0};
    auto token = erase::RNNotificationCenter::defaultCenter().addObserver(
        erase::kUpdateCountAndSizeToDelete, nullptr, [&](const erase::RNNotification& n) {
            if (n.object) ++announced;
        });
    model = std::make_unique<RNSourceListModel>();
    model->setupSources();
    ASSERT_TRUE(waitUntil([&] { return model->rowCount() == 1 && model->sourceAt(0)->children.size() == 2 && walks == 1; }));
    auto src = model->sourceAt(0);
    EXPECT_TRUE(model->data(model->index(0), RNSourceListModel::InfoTextRole).toString().startsWith(QStringLiteral("1 item")));
    EXPECT_TRUE(model->data(model->index(0), RNSourceListModel::GatheringRole).toBool());
    EXPECT_EQ(announced, 0);
    {
        std::lock_guard lock(m);
        go = true;
    }
    cv.notify_all();
    ASSERT_TRUE(waitUntil([&] { return !model->data(model->index(0), RNSourceListModel::GatheringRole).toBool(); }));
    EXPECT_TRUE(model->data(model->index(0), RNSourceListModel::InfoTextRole).toString().startsWith(QStringLiteral("2 items")));
    EXPECT_EQ(announced, 1);  // once, when the last measurement ended
    erase::RNNotificationCenter::defaultCenter().removeObserver(token);
    RNSourceListModel::setWillMeasureFolderHook(nullptr);
}

TEST_F(SourceModelTest, RefreshAddsNewItemsAndLeavesAnUnchangedCountAlone) {
    const size_t a = trashes.addVolume("Alpha");
    trashes.addFile(a, "one");
    load();
    auto src = model->sourceAt(0);
    ASSERT_EQ(src->children.size(), 1u);
    trashes.addFile(a, "two", "1234567");
    model->refreshAction();
    ASSERT_TRUE(waitUntil([&] { return src->children.size() == 2; }));
    EXPECT_EQ(src->lockedCount(), 2u);
    EXPECT_EQ(src->lockedSize(), 12u);
    // One file replaced by another: same number of entries, nothing compared.
    ::unlink((trashes.filesDir(a) + "/one").c_str());
    trashes.addFile(a, "three");
    model->refreshAction();
    ASSERT_TRUE(waitUntil([&] { return model->isIdle(); }));
    EXPECT_EQ(src->children.size(), 2u);
    EXPECT_EQ(src->lockedCount(), 2u);
}

TEST_F(SourceModelTest, BadNamesMissingInfoAndUnmount) {
    const size_t a = trashes.addVolume("Alpha");
    const size_t b = trashes.addVolume("Beta");
    trashes.addFile(a, "bad\xff", "x");
    trashes.addFile(a, "noinfo", "x", "");
    trashes.addFile(a, "broken", "x", "");
    writeFile(trashes.trashDir(a) + "/info/broken.trashinfo", "[Trash Info]\nDeletionDate=yesterday\n");
    trashes.addFile(b, "b", "x");
    load();
    auto src = model->sourceAt(0);
    ASSERT_EQ(src->children.size(), 3u);
    for (const auto& c : src->children) {
        if (c->name == "bad\xff") {
            EXPECT_EQ(c->displayName(), QStringLiteral("bad\\xFF"));
            EXPECT_EQ(c->url, trashes.filesDir(a) + "/bad\xff");
            EXPECT_NE(c->dateAdded.load(), 0);
        } else {
            EXPECT_EQ(c->dateAdded.load(), 0) << c->name;
        }
    }
    // The volume goes away while listed: its row goes, the others move up.
    model->mountedVolumeDidChange(false, trashes.volumePath(a));
    ASSERT_EQ(model->rowCount(), 1);
    EXPECT_EQ(model->sourceAt(0)->name, "Beta");
    EXPECT_EQ(model->sourceAt(0)->row, 0);
    // And comes back.
    model->mountedVolumeDidChange(true, trashes.volumePath(a));
    ASSERT_TRUE(waitUntil([&] { return model->rowCount() == 2 && model->sourceAt(1)->children.size() == 3; }));
    EXPECT_EQ(model->sourceAt(1)->row, 1);
}

TEST(LumoPreview, MinimalCardUpdates) {
    TempHome home;
    std::vector<RNLumoWindowItemPtr> rows;
    for (int i = 0; i < 4; ++i) {
        auto item = RNLumoWindowItem::item();
        item->name = "item" + std::to_string(i);
        item->url = home.root() + "/" + item->name;
        writeFile(item->url, "text " + std::to_string(i));
        rows.push_back(item);
    }
    auto records = [&](std::initializer_list<int> which) {
        std::vector<RNPreviewItemPtr> out;
        for (int r : which) out.push_back(std::make_shared<RNPreviewItem>(rows[size_t(r)], r));
        return out;
    };
    QWidget pane;
    auto* area = new QScrollArea(&pane);
    auto* empty = new QLabel(&pane);
    RNItemPreviewCntrl preview(area, empty);
    preview.showPreviewWithArray(records({1, 3}));
    ASSERT_EQ(preview.cards().size(), 2u);
    EXPECT_EQ(preview.insertedCards(), 2);
    RNPreview* first = preview.cards()[0];
    RNPreview* last = preview.cards()[1];
    // Adding row 2 inserts one card between the others, which stay.
    preview.showPreviewWithArray(records({1, 2, 3}));
    ASSERT_EQ(preview.cards().size(), 3u);
    EXPECT_EQ(preview.insertedCards(), 3);
    EXPECT_EQ(preview.deletedCards(), 0);
    EXPECT_EQ(preview.cards()[0], first);
    EXPECT_EQ(preview.cards()[2], last);
    EXPECT_EQ(preview.cards()[1]->previewItem()->index, 2);
    // Deselecting row 1 removes only its card.
    preview.showPreviewWithArray(records({2, 3}));
    ASSERT_EQ(preview.cards().size(), 2u);
    EXPECT_EQ(preview.deletedCards(), 1);
    EXPECT_EQ(preview.cards()[1], last);
    // Nothing selected: the empty view and no cards.
    preview.showPreviewWithArray(std::nullopt);
    EXPECT_TRUE(preview.cards().empty());
    EXPECT_FALSE(empty->isHidden());
    EXPECT_TRUE(area->isHidden());
    // The cards' loads end before the files and the widgets go.
    previewOperationQueue().waitUntilAllOperationsAreFinished();
}

TEST(LumoPreview, ChainFromTheVolumeAndDisplayValues) {
    TempHome home;
    const std::string path = home.root() + "/a/b.txt";
    makeDirs(home.root() + "/a");
    writeFile(path, "");
    const auto chain = RNPreviewItem::oldStylePathForPath(path);
    ASSERT_GE(chain.size(), 3u);
    EXPECT_EQ(chain.front().url, files::volumeOfPath(path));
    EXPECT_EQ(chain.back().url, path);
    EXPECT_EQ(chain.back().name, QStringLiteral("b.txt"));
    auto item = RNLumoWindowItem::item();
    item->url = path;
    item->name = "b.txt";
    RNPreviewItem preview(item, 0);
    EXPECT_EQ(preview.size(), QStringLiteral("--"));  // 0 bytes
    EXPECT_EQ(fileUriOfPath("/t/a b\xff"), QStringLiteral("file:///t/a%20b%FF"));
}

TEST(LumoRecords, DateColumnStyleFollowsItsWidth) {
    // No date: "--" at any width; otherwise wider columns show longer forms, with the time from
    // 210 points on and in the narrow short form between 100 and 160.
    EXPECT_EQ(RNDateCellView::drawDate(0, 300), QStringLiteral("--"));
    const double when = 740000000;  // 2024-06-14
    const QString full = RNDateCellView::drawDate(when, 260), longWithTime = RNDateCellView::drawDate(when, 220),
                  longDate = RNDateCellView::drawDate(when, 170), shortWithTime = RNDateCellView::drawDate(when, 120),
                  shortDate = RNDateCellView::drawDate(when, 80);
    EXPECT_GT(full.size(), longWithTime.size() - 3);
    EXPECT_GT(longWithTime.size(), longDate.size());
    EXPECT_GT(shortWithTime.size(), shortDate.size());
    EXPECT_GT(longDate.size(), shortDate.size());
    EXPECT_EQ(RNDateCellView::drawDate(when, 160), longDate);
    EXPECT_EQ(RNDateCellView::drawDate(when, 159), shortWithTime);
    EXPECT_EQ(RNDateCellView::drawDate(when, 99), shortDate);
}

TEST(LumoRecords, AReorderMovesSelectionAndHeldRowsWithTheirItems) {
    auto source = RNSourceItem::sourceItem();
    for (const char* n : {"a", "b", "c", "d", "e"}) {
        auto item = RNLumoWindowItem::item();
        item->name = n;
        item->url = std::string("/t/files/") + n;
        source->children.push_back(item);
    }
    RNContentListModel model;
    model.setSource(source);
    QItemSelectionModel selection(&model);
    selection.select(QItemSelection(model.index(1, 0), model.index(1, RNContentListModel::ColumnCount - 1)),
                     QItemSelectionModel::Select);
    selection.select(QItemSelection(model.index(3, 0), model.index(3, RNContentListModel::ColumnCount - 1)),
                     QItemSelectionModel::Select);
    selection.setCurrentIndex(model.index(4, RNContentListModel::NameColumn), QItemSelectionModel::NoUpdate);
    const QPersistentModelIndex held(model.index(0, RNContentListModel::SizeColumn));

    std::vector<RNLumoWindowItemPtr> reversed(source->children.rbegin(), source->children.rend());
    const auto old = model.reorder(reversed);
    ASSERT_EQ(old.size(), 5u);
    EXPECT_EQ(old.front()->name, "a");  // the previous order comes back
    EXPECT_EQ(model.itemAt(0)->name, "e");
    std::vector<std::string> selected;
    QModelIndexList rows = selection.selectedRows();
    std::sort(rows.begin(), rows.end());
    for (const auto& i : rows) selected.push_back(model.itemAt(i.row())->name);
    EXPECT_EQ(selected, (std::vector<std::string>{"d", "b"}));
    EXPECT_EQ(model.itemAt(selection.currentIndex().row())->name, "e");
    EXPECT_EQ(selection.currentIndex().column(), int(RNContentListModel::NameColumn));
    ASSERT_TRUE(held.isValid());
    EXPECT_EQ(model.itemAt(held.row())->name, "a");
    EXPECT_EQ(held.column(), int(RNContentListModel::SizeColumn));
}
