// Responsiveness of the tray application's main thread (offscreen):
//   quillo-bench-gui heartbeat TRASH_FILES_DIR ROWS
//       ROWS disk rows each measure the trash folder TRASH_FILES_DIR on the measurement queue
//       while a 10 ms timer beats on the main thread; prints the longest gap between beats,
//       the time until every row showed its figures, and the rows' figures.
//   quillo-bench-gui menu
//       starts the application delegate and opens the per-disk submenu; prints how long the
//       submenu took to show every volume's row (gathering), and when each row's figures came.
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "shell/RNDiskMenuItemView.h"
#include "shell/RNQuillo.h"
#include "ui/RNQtMainThread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace quillo;

namespace {

int heartbeat(const std::string& trashFiles, int rows) {
    std::vector<std::unique_ptr<shell::RNDiskMenuItem>> items;
    QMenu menu;
    QElapsedTimer clock;
    qint64 last = 0, worst = 0, worstAt = 0;
    QTimer beat;
    beat.setInterval(10);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (now - last > worst) {
            worst = now - last;
            worstAt = now;
        }
        last = now;
    });
    int measured = 0;
    qint64 allMeasuredAt = -1;
    clock.start();
    beat.start();
    for (int i = 0; i < rows; ++i) {
        files::TrashLocation t;
        // A trash is listed once for every row that shows it: each row gets a path of its own
        // to the same tree ("files/./."), so that ROWS listings run side by side as with ROWS
        // volumes.
        t.trashURL = trashFiles;
        for (int k = 0; k < i; ++k) t.trashURL += "/.";
        t.volumeURL = t.volumePath = "/bench" + std::to_string(i);
        t.volumeName = "Volume " + std::to_string(i);
        t.trashIsEmpty = false;
        auto item = std::make_unique<shell::RNDiskMenuItem>(t, nullptr);
        QObject::connect(item->view(), &shell::RNDiskMenuItemView::measured, [&] {
            if (++measured == rows) allMeasuredAt = clock.elapsed();
        });
        menu.addAction(item.get());
        items.push_back(std::move(item));
    }
    menu.popup(QPoint(0, 0));  // rows measure once shown
    // With no rows: the same heartbeat for 20 s, the machine's own scheduling noise.
    if (rows == 0) allMeasuredAt = -1;
    while (((rows == 0 && clock.elapsed() < 20000) || (rows > 0 && allMeasuredAt < 0)) && clock.elapsed() < 600000) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::printf("rows=%d measured_all_ms=%lld longest_main_thread_gap_ms=%lld (ending at %lld ms) first_row=\"%s\"\n",
                rows, (long long)allMeasuredAt, (long long)worst, (long long)worstAt,
                rows ? items[0]->view()->infoText().toUtf8().constData() : "(baseline: no rows)");
    return rows > 0 && allMeasuredAt < 0 ? 1 : 0;
}

int menuOpen() {
    erase::RNUserDefaults::standardUserDefaults().setBool(erase::kPrefIsFirstRun, false);
    erase::RNUserDefaults::standardUserDefaults().setBool(erase::kPrefShowInstallHelperTool, true);
    shell::RNQuillo delegate;
    bool started = false;
    QObject::connect(&delegate, &shell::RNQuillo::startupFinished, [&] { started = true; });
    delegate.applicationDidFinishLaunching();
    QElapsedTimer wait;
    wait.start();
    while (!(started && delegate.volumesLoaded()) && wait.elapsed() < 30000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    QMenu* sub = delegate.subTrashMenu();
    if (!sub) {
        std::fprintf(stderr, "menu: fewer than two volumes\n");
        return 1;
    }
    // The way there: the status menu opens first.
    delegate.quilloMenu()->popup(QPoint(300, 300));
    QApplication::processEvents();
    delegate.quilloMenu()->close();
    QApplication::processEvents();
    QElapsedTimer clock;
    clock.start();
    sub->popup(QPoint(0, 0));
    const size_t n = delegate.volumes().size();
    while (!(sub->isVisible() && delegate.submenuViews().size() == n) && clock.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 1);
    QApplication::processEvents();  // the first paint
    const qint64 shown = clock.elapsed();
    std::vector<qint64> arrived(n, -1);
    for (size_t i = 0; i < n; ++i)
        QObject::connect(delegate.submenuViews()[i]->view(), &shell::RNDiskMenuItemView::measured,
                         [&, i] { arrived[i] = clock.elapsed(); });
    auto done = [&] {
        for (size_t i = 0; i < n; ++i)
            if (arrived[i] < 0 && !delegate.submenuViews()[i]->view()->info() &&
                !delegate.submenuViews()[i]->view()->diskDict().trashIsEmpty)
                return false;
        return true;
    };
    while (!done() && clock.elapsed() < 600000) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    std::printf("volumes=%zu rows_shown_ms=%lld figures_ms=", n, (long long)shown);
    for (size_t i = 0; i < n; ++i) std::printf("%s%lld", i ? "," : "", (long long)arrived[i]);
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    shell::initQuilloResources();
    auto dispatcher = ui::RNQtMainThread::install();
    const std::string mode = argc > 1 ? argv[1] : "";
    int status = 2;
    if (mode == "heartbeat" && argc == 4) status = heartbeat(argv[2], std::atoi(argv[3]));
    else if (mode == "menu") status = menuOpen();
    else std::fprintf(stderr, "usage: quillo-bench-gui heartbeat TRASH_FILES_DIR ROWS | menu\n");
    erase::RNMainThread::setActive(nullptr);
    return status;
}
