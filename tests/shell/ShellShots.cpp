// quillo-shell-shots DIR: pictures of the tray application's dialogs in the platform's light
// palette and in a dark one: the welcome pages, the "Quillo is running" window, the erase
// confirmation before and after its count arrives, the message about damaged settings, the
// preferences window while a hot key is being recorded, and its automatic clean-up with two rules
// on and the preview of a planted trash. Run under a display (scripts/screenshots
// starts Xvfb) or offscreen; nothing outside a temporary home is read or changed.
#include "DarkPalette.h"
#include "Screenshot.h"

#include "erase/RNErrorDelegate.h"
#include "erase/RNPreferences.h"
#include "erase/RNPromptBackend.h"
#include "erase/RNUserDefaults.h"
#include "shell/RNRunningNotice.h"
#include "shell/RNStatusMenu.h"
#include "ui/RNInfoWindows.h"
#include "ui/RNLayoutDirection.h"
#include "ui/RNQtPromptBackend.h"
#include "ui/preferences/RNCleanupSection.h"
#include "ui/preferences/RNPreferencesWindow.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QStyleFactory>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <cstdlib>

using namespace quillo;
using quillo::test::pump;
using quillo::test::save;

namespace {

std::string t(const char* key, const char* table = "") { return util::RNLocalizedString(key, table); }

void shots(const QString& dir, const QString& suffix) {
    {
        // The tray's own menu names the hot keys as the preferences do.
        shell::RNStatusMenu menu;
        menu.addAction(QString::fromStdString(t("empty_all_menu_item_title")))
            ->setShortcut(QKeySequence(Qt::CTRL | Qt::META | Qt::Key_Backspace));
        menu.addAction(QString::fromStdString(t("lumo_menu_item_title")))
            ->setShortcut(QKeySequence(Qt::SHIFT | Qt::META | Qt::Key_S));
        menu.addSeparator();
        menu.addAction(QString::fromStdString(t("preferences_menu_item_title")));
        menu.popup(QPoint(40, 40));
        save(&menu, dir, QStringLiteral("tray-menu") + suffix);
        menu.hide();
    }
    {
        ui::RNWelcomeCntrl welcome(QStringLiteral("Ctrl+Super+Backspace"), QStringLiteral("Shift+Super+S"));
        welcome.show();
        for (int i = 0; i < welcome.pageCount(); ++i) {
            if (i > 0) welcome.next();
            save(&welcome, dir, QStringLiteral("welcome-%1%2").arg(i + 1).arg(suffix));
        }
    }
    {
        ui::RNWebPromo running(shell::RNRunningNotice::windowText(QStringLiteral("Ctrl+Super+Backspace"),
                                                                  QStringLiteral("Shift+Super+S")));
        running.show();
        save(&running, dir, QStringLiteral("running-window") + suffix);
    }
    {
        std::atomic<bool> counted{false};
        erase::RNPromptRequest r;
        r.style = erase::RNPromptRequest::Style::Critical;
        r.title = t("erase_all");
        r.message = t("delete_mess");
        r.buttons = {t("empty_trash_button"), t("cancel_btn")};
        const std::string countedText = util::RNLocalizedMessage(
            "all_disks", {{"count", uint64_t(160473)},
                          {"nested", "no"},
                          {"entries", uint64_t(160473)},
                          {"size", util::RNNumberUtilities::sharedControl().sizeToFormatString(39890000, 4, true)}});
        r.liveText = [&] { return counted ? countedText : t("gathering_info"); };
        std::vector<QAbstractButton*> buttons;
        QMessageBox* box = ui::RNQtPromptBackend::makeBox(r, nullptr, &buttons);
        box->show();
        save(box, dir, QStringLiteral("confirm-counting") + suffix);
        counted = true;
        pump(200);
        save(box, dir, QStringLiteral("confirm-counted") + suffix);
        delete box;
    }
    {
        erase::RNPromptRequest r;
        r.title = t("preferences_reset", "Errors");
        r.message = util::RNFormat(t("preferences_reset_mess", "Errors"),
                                   {"/home/user/.config/quillo/org.quillo.quillo-3.plist.corrupt-20261209-041500"});
        r.buttons = {t("ok_btn")};
        QMessageBox* box = ui::RNQtPromptBackend::makeBox(r, nullptr, nullptr);
        box->show();
        save(box, dir, QStringLiteral("settings-reset") + suffix);
        delete box;
    }
    {
        ui::RNPreferencesWindow prefs;
        prefs.openWindowInModal(false);
        auto* edit = prefs.window()->findChild<QKeySequenceEdit*>(QStringLiteral("lmHotKeyFld"));
        edit->setFocus();
        QKeyEvent ctrl(QEvent::KeyPress, Qt::Key_Control, Qt::ControlModifier);
        QApplication::sendEvent(edit, &ctrl);
        QKeyEvent meta(QEvent::KeyPress, Qt::Key_Meta, Qt::ControlModifier | Qt::MetaModifier);
        QApplication::sendEvent(edit, &meta);
        save(prefs.window(), dir, QStringLiteral("preferences-recording") + suffix);
        QKeyEvent up(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier);
        QApplication::sendEvent(edit, &up);
    }
    {
        // The automatic clean-up with two rules on and the preview of a planted home trash.
        auto& defaults = erase::RNUserDefaults::standardUserDefaults();
        defaults.setBool(erase::kPrefAutoCleanupOlderThan, true);
        defaults.setBool(erase::kPrefAutoCleanupMinFree, true);
        ui::RNPreferencesWindow prefs;
        prefs.openWindowInModal(false);
        auto* section = prefs.window()->findChild<ui::RNCleanupSection*>(QStringLiteral("cleanupSection"));
        QDeadlineTimer limit(60000);
        while (section && section->previewPending() && !limit.hasExpired()) pump(50);
        prefs.window()->findChild<QWidget*>(QStringLiteral("cleanupOlderThanDays"))->setFocus();
        save(prefs.window(), dir, QStringLiteral("preferences-cleanup") + suffix);
        defaults.setBool(erase::kPrefAutoCleanupOlderThan, false);
        defaults.setBool(erase::kPrefAutoCleanupMinFree, false);
    }
}

// Old items in the (temporary) home trash, for the clean-up preview.
void plantTrash(const QString& home) {
    const QString trash = home + QStringLiteral("/Trash");
    QDir().mkpath(trash + QStringLiteral("/files"));
    QDir().mkpath(trash + QStringLiteral("/info"));
    const char* names[] = {"Holiday photos.zip", "Report draft.odt", "old-build.tar", "video.mkv"};
    for (int i = 0; i < 4; ++i) {
        const QString name = QString::fromLatin1(names[i]);
        QFile item(trash + QStringLiteral("/files/") + name);
        if (item.open(QIODevice::WriteOnly)) item.write(QByteArray(200000 * (i + 1), 'x'));
        QFile info(trash + QStringLiteral("/info/") + name + QStringLiteral(".trashinfo"));
        if (info.open(QIODevice::WriteOnly))
            info.write("[Trash Info]\nPath=/home/user/" + name.toUtf8() + "\nDeletionDate=2024-05-01T10:20:30\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillo-shell-shots DIR\n");
        return 2;
    }
    QTemporaryDir home;
    for (const char* var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
        ::setenv(var, qPrintable(home.path()), 1);
    erase::setupDefaultsPreferences();
    plantTrash(home.path());
    QApplication app(argc, argv);
    ui::applyLayoutDirection();  // as quillo does: mirrored in Arabic and Hebrew
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const QString dir = QString::fromLocal8Bit(argv[1]);
    shots(dir, QString());
    QApplication::setPalette(darkPalette());
    shots(dir, QStringLiteral("-dark"));
    return 0;
}
