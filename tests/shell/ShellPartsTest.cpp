// The shell's smaller parts: the access check, the mount-table diff, the row width.
#include "GuiTest.h"
#include "shell/RNDiskMenuItemView.h"
#include "shell/RNFullDiskAuthorization.h"
#include "shell/RNMountWatcher.h"
#include "support/TestSupport.h"
#include "util/Localization.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

using namespace quillo;
using namespace quillo::test;
using shell::RNFullDiskAuthorization;

TEST(FullDiskAuthorization, FlatpakNeedsHostAccessOutsideASandboxAllIsReachable) {
    TempHome home;
    auto& fda = RNFullDiskAuthorization::sharedControl();
    const std::string info = home.root() + "/flatpak-info";
    fda.setFlatpakInfoPath(info);
    ::unsetenv("SNAP_NAME");
    EXPECT_EQ(fda.sandbox(), RNFullDiskAuthorization::Sandbox::None);
    EXPECT_EQ(fda.authorizationStatus(), RNFullDiskAuthorization::Authorized);

    writeFile(info, "[Application]\nname=org.quillo.quillo-3\n[Context]\nshared=ipc;\nfilesystems=home;xdg-download;\n");
    EXPECT_EQ(fda.sandbox(), RNFullDiskAuthorization::Sandbox::Flatpak);
    EXPECT_EQ(fda.authorizationStatus(), RNFullDiskAuthorization::Denied);
    writeFile(info, "[Context]\nfilesystems=xdg-download;host;\n");
    EXPECT_EQ(fda.authorizationStatus(), RNFullDiskAuthorization::Authorized);
    // "host" under another section grants nothing.
    EXPECT_FALSE(RNFullDiskAuthorization::flatpakGrantsHost("[Session Bus Policy]\nfilesystems=host\n"));
    EXPECT_FALSE(RNFullDiskAuthorization::flatpakGrantsHost("[Context]\nfilesystems=host-os;\n"));
    ::unlink(info.c_str());

    ::setenv("SNAP_NAME", "quillo", 1);
    ::setenv("SNAP_CONFINEMENT", "strict", 1);
    EXPECT_EQ(fda.authorizationStatus(), RNFullDiskAuthorization::Denied);
    ::setenv("SNAP_CONFINEMENT", "classic", 1);
    EXPECT_EQ(fda.authorizationStatus(), RNFullDiskAuthorization::Authorized);
    ::unsetenv("SNAP_NAME");
    ::unsetenv("SNAP_CONFINEMENT");
    EXPECT_EQ(fda.userHomeFolderPath(), home.home());
    fda.setFlatpakInfoPath("/.flatpak-info");
}

namespace {
std::string mountLine(int id, const std::string& point, const std::string& fs = "ext4") {
    return std::to_string(id) + " 1 8:1 / " + point + " rw,relatime shared:1 - " + fs + " /dev/sda1 rw\n";
}
}  // namespace

TEST(MountWatcher, DiffsTheTableIntoMountsAndUnmountsIgnoringSystemMounts) {
    TempHome home;
    const std::string table = home.root() + "/mountinfo";
    writeFile(table, mountLine(1, "/") + mountLine(2, "/proc", "proc") + mountLine(3, "/media/a\\040b"));
    shell::RNMountWatcher watcher(nullptr, table);
    QSignalSpy mounted(&watcher, &shell::RNMountWatcher::didMount);
    QSignalSpy unmounted(&watcher, &shell::RNMountWatcher::willUnmount);
    EXPECT_EQ(watcher.mountPoints(), (std::vector<std::string>{"/", "/media/a b"}));

    writeFile(table, mountLine(1, "/") + mountLine(4, "/run/user/0", "tmpfs") + mountLine(5, "/mnt/usb") +
                         mountLine(6, "/sys/kernel/debug", "debugfs"));
    watcher.checkForChanges();
    ASSERT_EQ(unmounted.count(), 1);
    EXPECT_EQ(unmounted.at(0).at(0).toString(), "/media/a b");
    ASSERT_EQ(mounted.count(), 1);
    EXPECT_EQ(mounted.at(0).at(0).toString(), "/mnt/usb");
    // Nothing changed: nothing reported.
    watcher.checkForChanges();
    EXPECT_EQ(mounted.count(), 1);
    EXPECT_EQ(unmounted.count(), 1);
}

TEST(MountWatcher, SeesARealMountThroughTheKernelsNotification) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
    TempHome home;
    shell::RNMountWatcher watcher;
    ASSERT_TRUE(watcher.isWatching());
    QSignalSpy mounted(&watcher, &shell::RNMountWatcher::didMount);
    QSignalSpy unmounted(&watcher, &shell::RNMountWatcher::willUnmount);
    std::string point;
    {
        ScopedMount m(home.root(), ScopedMount::Kind::Tmpfs);
        ASSERT_TRUE(m.ok()) << m.error();
        point = m.mountPoint();
        ASSERT_TRUE(waitUntil([&] { return mounted.count() > 0; }));
        EXPECT_EQ(shell::mountPathFromQString(mounted.last().at(0).toString()), point);
    }
    ASSERT_TRUE(waitUntil([&] { return unmounted.count() > 0; }));
    EXPECT_EQ(shell::mountPathFromQString(unmounted.last().at(0).toString()), point);
}

TEST(DiskMenuItemView, LongNamesWidenTheRowAndANamelessVolumeIsHardDrive) {
    files::TrashLocation t;
    t.trashURL = "/nowhere/.Trash-0/files";
    t.volumeURL = t.volumePath = "/nowhere";
    t.volumeName = "USB";
    t.trashIsEmpty = true;
    shell::RNDiskMenuItem item(t, nullptr);
    EXPECT_EQ(item.view()->sizeHint().width(), shell::RNDiskMenuItemView::kBaseWidth);
    EXPECT_EQ(item.view()->title(), QString("USB") + QChar(0x2026));

    t.volumeName = std::string(80, 'W');
    item.view()->setDiskDict(t);
    EXPECT_GT(item.view()->sizeHint().width(), shell::RNDiskMenuItemView::kBaseWidth + 15);

    t.volumeName.clear();
    item.view()->setDiskDict(t);
    EXPECT_TRUE(item.view()->title().startsWith(QString::fromStdString(util::RNLocalizedString("Hard Drive"))));
    EXPECT_EQ(item.view()->sizeHint().width(), shell::RNDiskMenuItemView::kBaseWidth);
    // An empty trash is never measured.
    item.view()->gatherTrashInfo();
    EXPECT_FALSE(item.view()->sizeIsWorking());
}

// ---- What a row says about its trash, and that the Lumo Window says the same ------------------

#include "mainwindow/RNSourceListModel.h"

namespace {
files::TrashLocation plantedTrash(const std::string& root) {
    const std::string trash = root + "/Trash";
    makeDirs(trash + "/files/photos/2024", 0700);
    makeDirs(trash + "/info", 0700);
    writeFile(trash + "/files/photos/2024/a.jpg", "12345");
    writeFile(trash + "/files/photos/2024/b.jpg", "12345");
    writeFile(trash + "/files/photos/c.jpg", "12345");
    writeFile(trash + "/files/notes.txt", "1234567890");
    TempHome::plantTrashInfo(trash, "photos");
    TempHome::plantTrashInfo(trash, "notes.txt");
    files::TrashLocation loc;
    loc.trashURL = trash + "/files";
    loc.volumeURL = root;
    loc.volumePath = root;
    loc.volumeName = "Camera Card";
    loc.trashIsEmpty = false;
    return loc;
}
}  // namespace

TEST(DiskRowFigures, TheRowAndTheSourceListCountTheSameTrashedItems) {
    TempHome home;
    const files::TrashLocation loc = plantedTrash(home.root());
    shell::RNDiskMenuItem row(loc, nullptr);
    QSignalSpy measured(row.view(), &shell::RNDiskMenuItemView::measured);
    row.view()->gatherTrashInfo();
    ASSERT_TRUE(measured.wait(10000) || measured.count() > 0);

    // Two trashed items (a folder and a file); the erase's figure is every entry.
    EXPECT_EQ(row.view()->infoText(), "2 items, 25 bytes");
    EXPECT_EQ(row.view()->itemsCount(), 6u) << "photos, 2024, three pictures, notes";
    EXPECT_EQ(row.view()->topLevelCount(), 2u);
    EXPECT_EQ(row.view()->toolTip(), "6 files and folders");
    EXPECT_TRUE(row.text().contains("2 items, 25 bytes"));

    mainwindow::RNSourceListModel sources;
    sources.setLocationsProvider([loc] { return std::vector<files::TrashLocation>{loc}; });
    sources.setupSources();
    ASSERT_TRUE(waitUntil([&] {
        return sources.listingFinished() && sources.rowCount() == 1 && sources.sourceAt(0)->lockedGathering() == 0;
    }, 10000));
    EXPECT_EQ(sources.data(sources.index(0), mainwindow::RNSourceListModel::InfoTextRole).toString(),
              row.view()->infoText());
}

TEST(DiskRowFigures, OneItemIsSaidInTheSingularAndAnUnreadableTrashIsNotEmpty) {
    TempHome home;
    const std::string trash = home.root() + "/Trash";
    makeDirs(trash + "/files", 0700);
    makeDirs(trash + "/info", 0700);
    writeFile(trash + "/files/only", "1");
    files::TrashLocation loc;
    loc.trashURL = trash + "/files";
    loc.volumeURL = loc.volumePath = home.root();
    loc.volumeName = "Stick";
    loc.trashIsEmpty = false;
    shell::RNDiskMenuItem one(loc, nullptr);
    QSignalSpy measured(one.view(), &shell::RNDiskMenuItemView::measured);
    one.view()->gatherTrashInfo();
    ASSERT_TRUE(measured.wait(10000) || measured.count() > 0);
    EXPECT_EQ(one.view()->infoText(), "1 item, 1 byte");
    EXPECT_EQ(one.view()->toolTip(), "1 file or folder");

    // A files/ folder that is a link to elsewhere is never read through: the row says it cannot
    // read the trash - not "0 items" - and cannot be chosen.
    makeDirs(home.root() + "/elsewhere", 0700);
    writeFile(home.root() + "/elsewhere/x", "x");
    const std::string linked = home.root() + "/Linked";
    makeDirs(linked, 0700);
    ASSERT_EQ(::symlink((home.root() + "/elsewhere").c_str(), (linked + "/files").c_str()), 0);
    loc.trashURL = linked + "/files";
    shell::RNDiskMenuItem unreadable(loc, nullptr);
    QSignalSpy done(unreadable.view(), &shell::RNDiskMenuItemView::measured);
    unreadable.view()->gatherTrashInfo();
    ASSERT_TRUE(done.wait(10000) || done.count() > 0);
    EXPECT_EQ(unreadable.view()->infoText(), QString::fromStdString(util::RNLocalizedString("trash_unreadable")));
    EXPECT_TRUE(unreadable.view()->isUnreadable());
    EXPECT_FALSE(unreadable.view()->diskDict().trashIsEmpty);
    EXPECT_FALSE(unreadable.isEnabled());

    mainwindow::RNSourceListModel sources;
    sources.setLocationsProvider([loc] { return std::vector<files::TrashLocation>{loc}; });
    sources.setupSources();
    ASSERT_TRUE(waitUntil([&] { return sources.listingFinished() && sources.rowCount() == 1; }, 10000));
    EXPECT_EQ(sources.data(sources.index(0), mainwindow::RNSourceListModel::InfoTextRole).toString(),
              QString::fromStdString(util::RNLocalizedString("trash_unreadable")));
}
