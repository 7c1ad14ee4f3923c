// quillo: the tray application.
#include "erase/RNDeleteItems.h"
#include "erase/RNRestoreItems.h"
#include "erase/RNErrorDelegate.h"
#include "files/RNFilesUtilities.h"
#include "helperclient/RNSecureAccess.h"
#include "mainwindow/RNWindowCntrl.h"
#include "shell/RNQuillo.h"
#include "shell/RNSingleInstance.h"
#include "ui/RNLayoutDirection.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <cstring>
#include <iostream>

namespace {

void usage(std::ostream& out) {
    out << "usage: quillo [--lumo | --empty-all]\n\n"
           "Starts Quillo in the system tray. When Quillo already runs in this session, the running\n"
           "one is asked instead: to show its menu (no option), to open its window (--lumo), or to\n"
           "empty the Trash of every volume (--empty-all).\n";
}

}  // namespace

int main(int argc, char** argv) {
    QString request = QStringLiteral("Activate");
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--lumo")) request = QStringLiteral("OpenLumoWindow");
        else if (!std::strcmp(argv[i], "--empty-all")) request = QStringLiteral("EmptyAllTrashes");
        else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            usage(std::cout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            std::cerr << "quillo: unknown option " << argv[i] << "\n";
            usage(std::cerr);
            return 2;
        }
    }
    quillo::files::raiseOpenFileLimit();
    quillo::mainwindow::RNWindowCntrl::useOneHeapForAllThreads();

    using namespace quillo;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillo"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLO_VERSION));
    QApplication::setOrganizationDomain(QStringLiteral("quillo.org"));
    QApplication::setDesktopFileName(QStringLiteral("org.quillo.quillo-3"));
    // Arabic, Hebrew: every window, menu and dialog mirrored.
    quillo::ui::applyLayoutDirection();
    shell::initQuilloResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quillo/quillo.svg")));
    // A tray application lives on with no window open.
    QApplication::setQuitOnLastWindowClosed(false);

    shell::RNSingleInstance instance;
    switch (instance.claim(request)) {
        case shell::RNSingleInstance::Outcome::HandedOver: return 0;
        case shell::RNSingleInstance::Outcome::NoBus:
            std::cerr << "quillo: no session bus (" << instance.error().toStdString()
                      << "); another Quillo may be running in this session.\n";
            break;
        case shell::RNSingleInstance::Outcome::OwnerUnreachable:
            std::cerr << "quillo: Quillo already runs in this session but does not answer ("
                      << instance.error().toStdString() << ").\n";
            return 1;
        case shell::RNSingleInstance::Outcome::Primary: break;
    }

    auto mainThread = ui::RNQtMainThread::install();
    erase::RNErrorDelegate::sharedControl().setBackend(std::make_shared<ui::RNQtPromptBackend>());
    erase::RNDeleteItems::setProgressWindowFactory(ui::RNProgressWindowCntrl::factory());
    erase::RNDeleteItems::setPrivilegedEraserFactory(
        [](erase::RNSecureAccessDelegate* session) -> std::unique_ptr<erase::RNPrivilegedEraser> {
            return helperclient::RNSecureAccess::initWithDelegate(session);
        });
    erase::RNRestoreItems::setPrivilegedRestorerFactory([]() -> std::unique_ptr<erase::RNPrivilegedRestorer> {
        return helperclient::RNSecureAccess::initWithDelegate(nullptr);
    });

    int status = 0;
    {
        shell::RNQuillo delegate;
        QObject::connect(&instance, &shell::RNSingleInstance::activateRequested, &delegate,
                         &shell::RNQuillo::activateFromOtherInstance);
        QObject::connect(&instance, &shell::RNSingleInstance::lumoRequested, &delegate, [&delegate] {
            delegate.mainMenuAction(shell::kTagLumo);
        });
        // As the hot key does: also while the Lumo Window is open, never while an erase runs.
        QObject::connect(&instance, &shell::RNSingleInstance::emptyAllRequested, &delegate,
                         [&delegate] { delegate.emptyAllTrashesAction(); });
        // What the first start was asked for happens once the start-up is through.
        QObject::connect(&delegate, &shell::RNQuillo::startupFinished, &delegate, [&delegate, request] {
            if (request == QLatin1String("OpenLumoWindow")) delegate.mainMenuAction(shell::kTagLumo);
            else if (request == QLatin1String("EmptyAllTrashes")) delegate.mainMenuAction(shell::kTagEmptyAll);
        });
        QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
        status = QApplication::exec();
    }
    erase::RNDeleteItems::waitForTickToEnd();
    erase::RNDeleteItems::setProgressWindowFactory(nullptr);
    erase::RNErrorDelegate::sharedControl().setBackend(nullptr);
    erase::RNMainThread::setActive(nullptr);
    return status;
}
