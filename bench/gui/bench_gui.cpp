// Responsiveness of the tray application's main thread (offscreen):
//   quillo-bench-gui heartbeat TRASH_FILES_DIR ROWS
//       ROWS disk rows each measure the trash folder TRASH_FILES_DIR on the measurement queue
//       while a 10 ms timer beats on the main thread; prints the longest gap between beats,
//       the time until every row showed its figures, and the rows' figures.
//   quillo-bench-gui menu
//       starts the application delegate and opens the per-disk submenu; prints how long the
//       submenu took to show every volume's row (gathering), and when each row's figures came.
//   quillo-bench-gui passes COUNT ITEMS
//       starts the application delegate with "erase what is older than 30 days" on and runs
//       COUNT automatic passes one after another (the hourly timer, shortened), each finding
//       ITEMS old items planted in the home trash just before; prints the resident memory after
//       the first pass, after every sixth one and at the end.
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "shell/RNCleanupScheduler.h"
#include "shell/RNDiskMenuItemView.h"
#include "shell/RNQuillo.h"
#include "ui/RNQtMainThread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/stat.h>
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

long rssKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// ITEMS files of 4 KiB trashed on 1 May 2024 in the home trash.
void plantOld(const std::string& trash, int round, int items) {
    ::mkdir(trash.c_str(), 0700);
    ::mkdir((trash + "/files").c_str(), 0700);
    ::mkdir((trash + "/info").c_str(), 0700);
    const std::string data(4096, 'x');
    for (int i = 0; i < items; ++i) {
        const std::string name = "r" + std::to_string(round) + "-" + std::to_string(i);
        std::ofstream(trash + "/files/" + name) << data;
        std::ofstream(trash + "/info/" + name + ".trashinfo")
            << "[Trash Info]\nPath=/home/user/" << name << "\nDeletionDate=2024-05-01T10:20:30\n";
    }
}

int passes(int count, int items) {
    auto& defaults = erase::RNUserDefaults::standardUserDefaults();
    defaults.setBool(erase::kPrefIsFirstRun, false);
    defaults.setBool(erase::kPrefShowInstallHelperTool, true);
    defaults.setBool(erase::kPrefAutoCleanupOlderThan, true);
    defaults.setInteger(erase::kPrefAutoCleanupOlderThanDays, 30);
    const char* data = std::getenv("XDG_DATA_HOME");
    if (!data) {
        std::fprintf(stderr, "passes: XDG_DATA_HOME must name a temporary folder\n");
        return 2;
    }
    const std::string trash = std::string(data) + "/Trash";
    shell::RNQuillo delegate;
    shell::RNCleanupScheduler* scheduler = delegate.cleanupScheduler();
    int done = 0, erasedTotal = 0;
    long first = -1;
    QObject::connect(scheduler, &shell::RNCleanupScheduler::passFinished, [&](bool, bool, quint64 erased) {
        ++done;
        erasedTotal += int(erased);
        const long rss = rssKib();
        if (done == 1) first = rss;
        if (done == 1 || done % 6 == 0 || done == count)
            std::printf("pass=%d erased=%llu rss_kib=%ld\n", done, (unsigned long long)erased, rss);
        std::fflush(stdout);
        // The next "hour": a new batch of old items for the next timed pass.
        if (done < count) plantOld(trash, done, items);
    });
    plantOld(trash, 0, items);
    scheduler->setInterval(50);
    delegate.applicationDidFinishLaunching();
    QElapsedTimer clock;
    clock.start();
    while (done < count && clock.elapsed() < 1800000) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const long last = rssKib();
    std::printf("passes=%d items_erased=%d rss_after_first_kib=%ld rss_after_last_kib=%ld growth_kib=%ld\n", done,
                erasedTotal, first, last, last - first);
    return done == count ? 0 : 1;
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
    else if (mode == "passes" && argc == 4) status = passes(std::atoi(argv[2]), std::atoi(argv[3]));
    else std::fprintf(stderr, "usage: quillo-bench-gui heartbeat TRASH_FILES_DIR ROWS | menu | passes COUNT ITEMS\n");
    erase::RNMainThread::setActive(nullptr);
    return status;
}
