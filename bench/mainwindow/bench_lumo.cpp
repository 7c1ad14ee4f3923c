// quillo-bench-lumo generate-flat FILES_DIR N      N top-level files with info files
// quillo-bench-lumo generate-deep FILES_DIR N      one trashed folder of N entries
// quillo-bench-lumo open [--wait-after-close S]     opens the Lumo Window on the home trash
// quillo-bench-lumo generate-images FILES_DIR N    N 24-megapixel JPEGs (6000 x 4000) with info files
// quillo-bench-lumo select-all                     opens the window, selects every row at once and
//                                                  waits for every preview card and the large preview
//
// `open` prints: time to the first rows, time until every size is in, the longest gap of a
// 10 ms heartbeat while measuring, sorting by size and marking all (and the most CPU time the
// main thread spent between two beats, which load on the machine does not inflate), and
// resident memory idle,
// with the list shown, and S seconds after the window was closed and released.
#include "erase/RNMainThread.h"
#include "files/TrashLocator.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNItemPreviewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNPreview.h"
#include "mainwindow/RNQuickLookPanel.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNWindowCntrl.h"
#include "ui/RNQtMainThread.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

using namespace quillo;
using namespace quillo::mainwindow;

namespace {

long rssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

void writeSmall(const std::string& path, const char* bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (::write(fd, bytes, std::strlen(bytes)) < 0) {
    }
    ::close(fd);
}

int generateFlat(const std::string& files, long n) {
    const std::string info = files + "/../info";
    ::mkdir(info.c_str(), 0700);
    for (long i = 0; i < n; ++i) {
        const std::string name = "item" + std::to_string(i);
        writeSmall(files + "/" + name, "0123456789abcdefghij");
        writeSmall(info + "/" + name + ".trashinfo", "[Trash Info]\nPath=/x\nDeletionDate=2024-05-01T10:20:30\n");
    }
    return 0;
}

int generateDeep(const std::string& files, long n) {
    const std::string top = files + "/big-folder";
    ::mkdir(top.c_str(), 0755);
    const long per = 1000;
    long made = 0;
    for (long d = 0; made < n; ++d) {
        const std::string dir = top + "/d" + std::to_string(d);
        ::mkdir(dir.c_str(), 0755);
        ++made;
        for (long f = 0; f < per - 1 && made < n; ++f, ++made) writeSmall(dir + "/f" + std::to_string(f), "0123456789");
    }
    return 0;
}

// CPU time of the calling thread, in milliseconds.
double threadCpuMs() {
    timespec ts {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The longest wall-clock gap between two beats, and the most CPU time the main thread spent
// between two beats: the second does not grow when other programs keep the cores busy, so it
// tells our own stalls from waiting for a core.
struct Heartbeat {
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    double lastCpu = 0;
    double longestCpu = 0;
    QTimer timer;
    Heartbeat() {
        timer.setInterval(10);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            const double cpu = threadCpuMs();
            longest = std::max(longest, now - last);
            longestCpu = std::max(longestCpu, cpu - lastCpu);
            last = now;
            lastCpu = cpu;
        });
        clock.start();
        lastCpu = threadCpuMs();
        timer.start();
    }
    void reset() {
        last = clock.elapsed();
        longest = 0;
        lastCpu = threadCpuMs();
        longestCpu = 0;
    }
};

// Runs the event loop until `done` holds (checked every 5 ms) or `ms` pass. The loop sleeps
// between events, as the application's does: a loop of processEvents() calls would keep the
// main thread busy and take a core from the workers being measured.
bool waitFor(const std::function<bool()>& done, int ms) {
    QDeadlineTimer d(ms);
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || d.hasExpired()) loop.quit();
    });
    check.start();
    if (!done()) loop.exec();
    return done();
}

void pump(int ms) { waitFor([] { return false; }, ms); }

int openWindow(int waitAfterClose) {
    auto dispatcher = ui::RNQtMainThread::install();
    const std::string trash = files::TrashLocator::homeTrashFromEnvironment() + "/files";
    // The idle figure is taken once the widgets, styles, fonts and icons a window needs are
    // loaded: a window without trashes is opened and closed first.
    RNSourceListModel::setDefaultLocationsProvider([] { return std::vector<files::TrashLocation>{}; });
    {
        auto* warm = new RNWindowCntrl;
        warm->showWindow();
        pump(300);
        warm->close();
        delete warm;
    }
    RNSourceListModel::setDefaultLocationsProvider([trash] {
        std::vector<files::TrashLocation> out;
        for (auto& loc : files::RNFilesUtilities::sharedControl().trashesAndVolumesLocations())
            if (loc.trashURL == trash) out.push_back(loc);
        return out;
    });
    pump(200);
    malloc_trim(0);
    const long idle = rssKiB();
    Heartbeat beat;
    QElapsedTimer t;
    t.start();
    auto* window = new RNWindowCntrl;
    window->showWindow();
    RNListCntrl* list = window->contentViewCntrl()->listCntrl();
    RNSourceListModel* sources = window->sourceViewCntrl()->model();
    waitFor([&] { return list->model()->rowCount() > 0; }, 60000);
    const double firstRows = t.nsecsElapsed() / 1e9;
    waitFor([&] {
        if (!sources->listingFinished() || sources->rowCount() == 0) return false;
        for (const auto& s : sources->sourceItems())
            if (s->lockedGathering() > 0) return false;
        return true;
    }, 600000);
    const double allSizes = t.nsecsElapsed() / 1e9;
    pump(300);
    const qint64 gapMeasuring = beat.longest;
    const double cpuMeasuring = beat.longestCpu;
    const size_t rows = size_t(list->model()->rowCount());

    beat.reset();
    QElapsedTimer s;
    s.start();
    list->sortByColumn(RNContentListModel::SizeColumn);
    waitFor([&] { return !list->isSorting(); }, 120000);
    const double sortTime = s.nsecsElapsed() / 1e9;
    pump(100);
    const qint64 gapSorting = beat.longest;
    const double cpuSorting = beat.longestCpu;

    beat.reset();
    s.restart();
    window->sourceViewCntrl()->checkBtnAction(0);
    pump(200);
    const double markTime = s.nsecsElapsed() / 1e9;
    const qint64 gapMarking = beat.longest;
    const double cpuMarking = beat.longestCpu;
    const long listed = rssKiB();

    window->close();
    delete window;
    pump(500);
    malloc_trim(0);
    const long released = rssKiB();
    if (std::getenv("MALLINFO")) { auto mi = mallinfo2(); std::fprintf(stderr, "MALLINFO inuse %zu KiB arena %zu KiB mmap %zu KiB free %zu KiB\n", mi.uordblks/1024, mi.arena/1024, mi.hblkhd/1024, mi.fordblks/1024); malloc_stats(); }
    long later = released;
    if (waitAfterClose > 0) {
        pump(waitAfterClose * 1000);
        malloc_trim(0);
        later = rssKiB();
    }
    std::printf("rows %zu | first rows %.3f s | every size in %.3f s | sort by size %.3f s | mark all %.3f s\n", rows,
                firstRows, allSizes, sortTime, markTime);
    std::printf("longest heartbeat gap (10 ms timer): measuring %lld ms | sorting %lld ms | marking all %lld ms\n",
                (long long)gapMeasuring, (long long)gapSorting, (long long)gapMarking);
    std::printf("most main-thread CPU between two beats: measuring %.1f ms | sorting %.1f ms | marking all %.1f ms\n",
                cpuMeasuring, cpuSorting, cpuMarking);
    std::printf("resident memory: idle %ld KiB | listed %ld KiB | closed and released %ld KiB | %d s later %ld KiB\n",
                idle, listed, released, waitAfterClose, later);
    erase::RNMainThread::setActive(nullptr);
    return 0;
}

// N large photographs: one is drawn and encoded, the others are copies of its bytes (each is
// still decoded on its own: the cache goes by path).
int generateImages(const std::string& files, long n) {
    QImage image(6000, 4000, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb((x * 7 + y) & 255, (y * 3 + (x >> 4)) & 255, ((x ^ y) * 5) & 255);  // detail to encode
    }
    const std::string first = files + "/IMG_0000.JPG";
    if (!image.save(QString::fromStdString(first), "JPEG", 92)) return 1;
    std::ifstream in(first, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string info = files.substr(0, files.rfind('/')) + "/info/";
    for (long i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04ld.JPG", i);
        if (i > 0) std::ofstream(files + "/" + name, std::ios::binary) << bytes;
        std::ofstream(info + name + ".trashinfo") << "[Trash Info]\nPath=/home/user/Pictures/" << name
                                                  << "\nDeletionDate=2024-05-01T10:20:30\n";
    }
    return 0;
}

int selectAll() {
    auto dispatcher = ui::RNQtMainThread::install();
    const std::string trash = files::TrashLocator::homeTrashFromEnvironment() + "/files";
    RNSourceListModel::setDefaultLocationsProvider([trash] {
        std::vector<files::TrashLocation> out;
        for (auto& loc : files::RNFilesUtilities::sharedControl().trashesAndVolumesLocations())
            if (loc.trashURL == trash) out.push_back(loc);
        return out;
    });
    auto* window = new RNWindowCntrl;
    window->resize(1200, 800);
    window->showWindow();
    RNListCntrl* list = window->contentViewCntrl()->listCntrl();
    RNSourceListModel* sources = window->sourceViewCntrl()->model();
    waitFor([&] {
        if (!sources->listingFinished() || sources->rowCount() == 0) return false;
        for (const auto& s : sources->sourceItems())
            if (s->lockedGathering() > 0 || !s->datesLoaded) return false;
        return !list->isSorting() && list->model()->rowCount() > 0;
    }, 60000);
    pump(300);
    RNItemPreviewCntrl* preview = window->contentViewCntrl()->previewCntrl();
    auto cardsLoaded = [&] {
        if (preview->cards().empty() || preview->hasPendingCards()) return false;
        for (RNPreview* c : preview->cards())
            if (!c->isLoaded()) return false;
        return true;
    };
    Heartbeat beat;
    QElapsedTimer t;
    t.start();
    list->tableView()->selectAll();
    const double selectMs = t.nsecsElapsed() / 1e6;
    waitFor(cardsLoaded, 600000);
    const double cardsS = t.nsecsElapsed() / 1e9;
    pump(100);
    const qint64 gapCards = beat.longest;
    const double cpuCards = beat.longestCpu;

    // The large preview, paged through every selected picture.
    beat.reset();
    t.restart();
    RNQuickLookPanel* panel = window->contentViewCntrl()->quickLookPanel();
    window->contentViewCntrl()->quickLookAction();
    for (size_t i = 0; i < panel->items().size(); ++i) {
        waitFor([&] { return panel->isLoaded(); }, 60000);
        panel->showNext();
    }
    waitFor([&] { return panel->isLoaded(); }, 60000);
    const double pagingS = t.nsecsElapsed() / 1e9;
    pump(100);
    const qint64 gapPaging = beat.longest;
    const double cpuPaging = beat.longestCpu;
    std::printf("rows %d | cards %zu | selecting %.1f ms | every card loaded %.2f s | large preview through all %.2f s\n",
                list->model()->rowCount(), preview->cards().size(), selectMs, cardsS, pagingS);
    std::printf("longest heartbeat gap (10 ms timer): cards %lld ms | large preview %lld ms\n", (long long)gapCards,
                (long long)gapPaging);
    std::printf("most main-thread CPU between two beats: cards %.1f ms | large preview %.1f ms\n", cpuCards, cpuPaging);
    panel->hide();
    window->close();
    delete window;
    pump(300);
    erase::RNMainThread::setActive(nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && !std::strcmp(argv[1], "generate-flat")) return generateFlat(argv[2], std::atol(argv[3]));
    if (argc >= 4 && !std::strcmp(argv[1], "generate-deep")) return generateDeep(argv[2], std::atol(argv[3]));
    if (argc >= 4 && !std::strcmp(argv[1], "generate-images")) {
        QCoreApplication app(argc, argv);
        return generateImages(argv[2], std::atol(argv[3]));
    }
    if (argc >= 2 && !std::strcmp(argv[1], "select-all")) {
        if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        RNWindowCntrl::useOneHeapForAllThreads();
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        return selectAll();
    }
    if (argc >= 2 && !std::strcmp(argv[1], "open")) {
        if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        RNWindowCntrl::useOneHeapForAllThreads();  // as quillo does
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        const int wait = argc >= 4 && !std::strcmp(argv[2], "--wait-after-close") ? std::atoi(argv[3]) : 0;
        return openWindow(wait);
    }
    std::fprintf(stderr, "usage: quillo-bench-lumo generate-flat|generate-deep|generate-images FILES_DIR N | open "
                         "[--wait-after-close S] | select-all\n");
    return 2;
}
