// The tray's per-disk rows as drawn: the count and size line reads on light and dark palettes,
// and the menu's current row is the one drawn highlighted, also when the menu was opened from
// the keyboard.
#include "DarkPalette.h"
#include "GuiTestSupport.h"

#include "erase/RNMainThread.h"
#include "shell/RNDiskMenuItemView.h"
#include "support/TestSupport.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNTextColors.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QStyle>
#include <QTest>

#include <cstdlib>
#include <filesystem>

using namespace quillo;
using namespace quillo::test;

namespace {

class DiskRowLooks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!guiSkipReason().empty()) GTEST_SKIP() << guiSkipReason();
        dispatcher = ui::RNQtMainThread::install();
        saved = QApplication::palette();
    }
    void TearDown() override {
        QApplication::setPalette(saved);
        erase::RNMainThread::setActive(nullptr);
    }
    // A trash of `items` files on a planted volume folder.
    files::TrashLocation volume(const std::string& name, int items) {
        const std::string root = home.root() + "/" + name;
        std::filesystem::create_directories(root + "/.Trash-1000/files");
        std::filesystem::create_directories(root + "/.Trash-1000/info");
        for (int i = 0; i < items; ++i) writeFile(root + "/.Trash-1000/files/f" + std::to_string(i), "12345");
        writeFile(root + "/.Trash-1000/info/.keep", "");
        files::TrashLocation t;
        t.trashURL = root + "/.Trash-1000/files";
        t.volumeURL = t.volumePath = root;
        t.volumeName = name;
        t.trashIsEmpty = items == 0;
        return t;
    }
    TempHome home;
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    QPalette saved;
};

}  // namespace

TEST_F(DiskRowLooks, TheCountAndSizeLineReadsOnLightAndDarkPalettes) {
    const QPalette light = QApplication::style()->standardPalette();
    for (const auto& [name, palette] : std::vector<std::pair<const char*, QPalette>>{
             {"light", light}, {"dark", darkPalette()}, {"theme dark", themeDarkPalette(light)},
             {"high contrast", highContrastPalette()}}) {
        SCOPED_TRACE(name);
        QApplication::setPalette(palette);
        QMenu menu;
        auto* row = new shell::RNDiskMenuItem(volume(std::string("Disk ") + name, 3), &menu);
        menu.addAction(row);
        menu.popup(QPoint(10, 10));
        ASSERT_TRUE(waitUntil([&] { return menu.isVisible() && row->view()->info().has_value(); }));
        menu.setActiveAction(nullptr);
        row->view()->setMenuItemIsSelected(false);
        ASSERT_FALSE(row->view()->isDrawnAsCurrent());
        // The info line: the lower part of the row, right of the icon, as the menu draws it.
        QWidget* view = row->view();
        const int lineHeight = view->fontMetrics().height();
        const QRect line(view->x() + 64, view->y() + view->height() - 8 - lineHeight, view->width() - 64 - 28, lineHeight);
        const double contrast = textContrastIn(menu.grab(line).toImage());
        EXPECT_GE(contrast, ui::kMinimumTextContrast) << row->view()->infoText().toStdString();
        // QUILLO_SHOTS_DIR: the row's picture, for a look.
        if (const char* dir = std::getenv("QUILLO_SHOTS_DIR"))
            menu.grab().save(QStringLiteral("%1/disk-row-%2.png").arg(QString::fromLocal8Bit(dir), QString::fromLatin1(name).replace(QLatin1Char(' '), QLatin1Char('-'))));
        menu.close();
    }
}

TEST_F(DiskRowLooks, TheMenusCurrentRowIsTheOneDrawnHighlighted) {
    QMenu menu;
    std::vector<shell::RNDiskMenuItem*> rows;
    for (const char* n : {"One", "Two", "Three"}) {
        rows.push_back(new shell::RNDiskMenuItem(volume(n, 1), &menu));
        menu.addAction(rows.back());
    }
    // Opened from the keyboard: the menu's first row is current before the rows can take focus.
    menu.setActiveAction(rows[0]);
    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(waitUntil([&] { return menu.isVisible(); }));
    const QColor highlight = menu.palette().color(QPalette::Active, QPalette::Highlight);
    auto drawnCurrent = [&](shell::RNDiskMenuItem* r) {
        QWidget* v = r->view();
        return menu.grab(QRect(v->x() + 2, v->y() + 2, 1, 1)).toImage().pixelColor(0, 0) == highlight;
    };
    EXPECT_EQ(menu.activeAction(), rows[0]);
    ASSERT_TRUE(waitUntil([&] { return drawnCurrent(rows[0]); }));
    EXPECT_FALSE(drawnCurrent(rows[1]));
    // Down goes to the second row, which is then the one drawn current.
    QTest::keyClick(&menu, Qt::Key_Down);
    EXPECT_EQ(menu.activeAction(), rows[1]);
    ASSERT_TRUE(waitUntil([&] { return drawnCurrent(rows[1]); }));
    EXPECT_FALSE(drawnCurrent(rows[0]));
    EXPECT_FALSE(drawnCurrent(rows[2]));
    menu.close();
}

int main(int argc, char** argv) { return runGuiTests(argc, argv, GuiTestOptions{GuiPlatform::X11, false}); }
