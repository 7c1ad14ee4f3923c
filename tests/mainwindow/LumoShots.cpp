// quillo-lumo-shots DIR: pictures of the Lumo Window on two planted trashes, in the platform's
// light palette and in a dark one: the window as it opens, three items selected with their
// preview cards, a marked item in each trash, and the large preview panel. Run under a display
// (scripts/screenshots starts Xvfb); nothing outside a temporary home is read or changed.
#include "DarkPalette.h"
#include "Screenshot.h"
#include "LumoTestSupport.h"

#include "erase/RNMainThread.h"
#include "erase/RNUserDefaults.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNQuickLookPanel.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNLayoutDirection.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtStrings.h"
#include "ui/RNQtMainThread.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QIcon>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyleFactory>

#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>

using namespace quillo;
using quillo::test::pump;
using quillo::test::save;
using namespace quillo::mainwindow;

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer d(ms);
    while (!done()) {
        if (d.hasExpired()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void plantPicture(const std::string& path) {
    QImage image(640, 420, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, 420);
    sky.setColorAt(0, QColor(0x3a, 0x7b, 0xd5));
    sky.setColorAt(1, QColor(0xf6, 0xd3, 0x8d));
    p.fillRect(image.rect(), sky);
    p.setBrush(QColor(0x26, 0x5c, 0x3a));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(160, 520), 360, 200);
    p.drawEllipse(QPointF(520, 540), 320, 220);
    p.setBrush(QColor(0xff, 0xf4, 0xc0));
    p.drawEllipse(QPointF(480, 110), 46, 46);
    p.end();
    image.save(QString::fromStdString(path), "PNG");
}

void shootSet(const QString& out, const QString& suffix) {
    auto window = std::make_unique<RNWindowCntrl>();
    // At the size a first start gives it, unless the screen is smaller (clear of a panel at the
    // bottom).
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    window->move(screen.x() + 4, screen.y() + 4);
    window->resize(std::min(window->width(), screen.width() - 8), std::min(window->height(), screen.height() - 48));
    window->showWindow();
    RNSourceListModel* sources = window->sourceViewCntrl()->model();
    RNListCntrl* list = window->contentViewCntrl()->listCntrl();
    waitFor([&] {
        if (!sources->listingFinished() || sources->rowCount() < 2) return false;
        for (const auto& s : sources->sourceItems())
            if (s->lockedGathering() > 0 || !s->datesLoaded) return false;
        return !list->isSorting();
    });
    pump(400);
    save(window.get(), out, QStringLiteral("lumo-window") + suffix);

    // Three items selected: their cards in the preview pane.
    auto* sel = list->tableView()->selectionModel();
    const int rows = list->model()->rowCount();
    sel->clearSelection();
    for (int r : {0, 2, 3})
        if (r < rows) sel->select(list->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    list->tableView()->setFocus();
    save(window.get(), out, QStringLiteral("lumo-preview") + suffix);

    // A marked item in each trash.
    for (const auto& s : sources->sourceItems()) {
        if (s->children.empty()) continue;
        s->children[std::min<size_t>(1, s->children.size() - 1)]->isMarked = true;
        sources->updateMarkedItems(s);
    }
    list->model()->reloadColumn(RNContentListModel::CheckColumn);
    sel->clearSelection();
    sel->select(list->model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    save(window.get(), out, QStringLiteral("lumo-marked") + suffix);

    // Keyboard focus: the current row of the content list (not selected), then the erase button.
    sel->clearSelection();
    list->tableView()->setFocus(Qt::TabFocusReason);
    sel->setCurrentIndex(list->model()->index(std::min(2, rows - 1), RNContentListModel::NameColumn), QItemSelectionModel::NoUpdate);
    save(window.get(), out, QStringLiteral("lumo-focus-list") + suffix);
    window->contentViewCntrl()->eraseBtn()->setFocus(Qt::TabFocusReason);
    save(window.get(), out, QStringLiteral("lumo-focus-erase") + suffix);
    window->sourceViewCntrl()->tableView()->setFocus(Qt::TabFocusReason);
    save(window.get(), out, QStringLiteral("lumo-focus-sources") + suffix);

    // The large preview panel on the picture.
    sel->clearSelection();
    for (int r = 0; r < rows; ++r)
        if (list->model()->itemAt(r)->name == "Lake at dusk.png")
            sel->select(list->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    window->contentViewCntrl()->quickLookAction();
    RNQuickLookPanel* panel = window->contentViewCntrl()->quickLookPanel();
    panel->resize(std::min(640, window->width() - 200), std::min(560, window->height() - 60));
    panel->move(window->x() + 220, window->y() + 40);
    pump(500);
    // The panel over the window: one picture of the screen area both cover.
    const QRect area = window->frameGeometry().united(panel->frameGeometry()).intersected(screen);
    QPixmap shot = window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = out + QStringLiteral("/lumo-large-preview") + suffix + QStringLiteral(".png");
    shot.save(path);
    std::printf("screenshots: %s\n", qPrintable(path));
    panel->hide();

    // A long name and a name that is not UTF-8: their cards, elided in the middle.
    sel->clearSelection();
    for (int r = 0; r < rows; ++r)
        if (list->model()->itemAt(r)->name.rfind("Quarterly", 0) == 0 || list->model()->itemAt(r)->name.rfind("draft", 0) == 0)
            sel->select(list->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    save(window.get(), out, QStringLiteral("lumo-long-names") + suffix);

    // The large preview paging through three selected items: the second of three.
    sel->clearSelection();
    for (int r = 0; r < rows; ++r) {
        const std::string& n = list->model()->itemAt(r)->name;
        if (n == "Lake at dusk.png" || n == "Meeting notes.txt" || n == "Invoice 2023.pdf")
            sel->select(list->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    window->contentViewCntrl()->quickLookAction();
    panel->showNext();
    waitFor([&] { return panel->isLoaded(); });
    pump(300);
    const QRect area2 = window->frameGeometry().united(panel->frameGeometry()).intersected(screen);
    shot = window->screen()->grabWindow(0, area2.x(), area2.y(), area2.width(), area2.height());
    const QString path2 = out + QStringLiteral("/lumo-large-preview-paging") + suffix + QStringLiteral(".png");
    shot.save(path2);
    std::printf("screenshots: %s\n", qPrintable(path2));
    panel->hide();

    // A put back copying to another disk: the progress panel on the window, as the list shows it.
    {
        ui::RNProgressWindowCntrl progress;
        progress.setMainText(util::RNLocalizedString("putting_back_str"));
        progress.setInfoText("");
        progress.startIndeterminateAnimation();
        progress.setCountText(util::RNLocalizedMessage("put_back_copied_str", {{"count", uint64_t(1840)}}));
        progress.setSizeText("212.4 MB");
        progress.window()->countTxt->setText(ui::L("put_back_copied_label"));
        progress.show(window.get());
        pump(300);
        save(window.get(), out, QStringLiteral("lumo-put-back-progress") + suffix);
        progress.close();
    }
    window->close();
}


}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillo-lumo-shots DIR\n");
        return 2;
    }
    QApplication app(argc, argv);
    ui::applyLayoutDirection();  // as quillo does: mirrored in Arabic and Hebrew
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(out);
    auto dispatcher = ui::RNQtMainThread::install();

    test::TempHome home;
    erase::RNUserDefaults::resetStandardUserDefaults();
    test::PlantedTrashes trashes(home);
    const size_t disk = trashes.addVolume("Home");
    const size_t card = trashes.addVolume("Backup Disk");
    plantPicture(trashes.filesDir(disk) + "/Lake at dusk.png");
    test::TempHome::plantTrashInfo(trashes.trashDir(disk), "Lake at dusk.png", "2024-06-02T18:40:00");
    trashes.addFile(disk, "Meeting notes.txt",
                    "Meeting notes\n\n- Move the backup to the new disk\n- Empty the camera card\n- Order paper\n",
                    "2024-06-03T09:12:00");
    trashes.addFolder(disk, "old-build", 240, "2024-05-28T16:05:00");
    trashes.addFile(disk, "Invoice 2023.pdf", std::string(182000, 'x'), "2024-04-11T11:30:00");
    trashes.addFile(disk, "draft \xff.odt", std::string(24000, 'x'), "");
    trashes.addFile(disk,
                    "Quarterly report of the regional office for the third quarter, with every appendix and the "
                    "board's remarks, final version (2).odt",
                    std::string(52000, 'x'), "2024-06-04T08:00:00");
    trashes.addFolder(disk, "Holiday photos", 36, "2024-05-30T20:00:00");
    const std::string tagged = trashes.filesDir(disk) + "/Invoice 2023.pdf";
    ::setxattr(tagged.c_str(), "user.xdg.tags", "red", 3, 0);
    trashes.addFile(card, "IMG_2041.JPG", std::string(2400000, 'x'), "2024-06-01T07:02:00");
    trashes.addFolder(card, "DCIM-old", 120, "2024-05-20T10:00:00");
    trashes.addFile(card, "backup.log", "ok\n", "2024-05-21T10:00:00");
    // Where the items came from (relative to their volume, as volume trashes keep it).
    const std::pair<size_t, std::vector<std::pair<std::string, std::string>>> places[] = {
        {disk, {{"Lake at dusk.png", "Pictures/2024"}, {"Meeting notes.txt", "Documents"}, {"old-build", "src/quillo"},
                {"Invoice 2023.pdf", "Documents/Invoices"}, {"Holiday photos", "Pictures"}}},
        {card, {{"IMG_2041.JPG", "DCIM/100CANON"}, {"DCIM-old", ""}, {"backup.log", "backups"}}}};
    for (const auto& [volume, items] : places)
        for (const auto& [name, folder] : items) {
            const std::string info = trashes.trashDir(volume) + "/info/" + name + ".trashinfo";
            std::string text = test::readFile(info);
            const size_t at = text.find("Path=/somewhere/");
            if (at == std::string::npos) continue;
            text.replace(at, 16, "Path=" + (folder.empty() ? folder : folder + "/"));
            test::writeFile(info, text);
        }

    shootSet(out, QString());
    QApplication::setPalette(darkPalette());
    shootSet(out, QStringLiteral("-dark"));
    QApplication::setPalette(highContrastPalette());
    shootSet(out, QStringLiteral("-high-contrast"));
    erase::RNMainThread::setActive(nullptr);
    return 0;
}
