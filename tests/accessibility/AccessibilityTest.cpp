// The windows as a screen reader meets them: on a private Xvfb display with the accessibility bus
// (at-spi-bus-launcher on a private session bus), a separate process reads the application's
// accessible tree through AT-SPI (atspi_probe.py, pyatspi) and acts on it, while the test keeps
// the application's event loop running to answer.
#include "GuiTestSupport.h"
#include "LumoTestSupport.h"

#include "../erase/ScriptedPromptBackend.h"
#include "erase/RNErrorDelegate.h"
#include "erase/RNMainThread.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "erase/RNUserDefaultsController.h"
#include "mainwindow/RNContentViewCntrl.h"
#include "mainwindow/RNListCntrl.h"
#include "mainwindow/RNLumoWindowSourceViewCntrl.h"
#include "mainwindow/RNWindowCntrl.h"
#include "shell/RNDiskMenuItemView.h"
#include "ui/RNLinearProgressIndicatorView.h"
#include "ui/RNProgressWindow.h"
#include "ui/RNQtMainThread.h"
#include "ui/RNQtPromptBackend.h"
#include "ui/RNQtStrings.h"
#include "ui/preferences/RNPreferencesWindow.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using namespace quillo;
using namespace quillo::mainwindow;
using namespace quillo::test;

namespace {

// Runs the probe with `args`, the event loop turning meanwhile (the application answers the
// probe's calls on this thread). Gives its standard output; fails the test on a bad exit.
QByteArray probe(const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral(QUILLO_ATSPI_PROBE)} + args);
    EXPECT_TRUE(p.waitForStarted(10000));
    EXPECT_TRUE(waitUntil([&] { return p.state() == QProcess::NotRunning; }, 120000)) << "the probe did not end";
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(5000);
    }
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    return p.readAllStandardOutput();
}

QJsonObject dumpTree() {
    const QJsonDocument doc = QJsonDocument::fromJson(probe({QStringLiteral("dump"), QApplication::applicationName()}));
    return doc.object();
}

void act(const QString& role, const QString& name, const QString& action) {
    probe({QStringLiteral("act"), QApplication::applicationName(), role, name, action});
}

// Every node below `node` (tables' cells included), depth first.
void forEachNode(const QJsonObject& node, const std::function<void(const QJsonObject&)>& visit) {
    visit(node);
    for (const auto& child : node.value(QStringLiteral("children")).toArray()) forEachNode(child.toObject(), visit);
    for (const auto& row : node.value(QStringLiteral("rows")).toArray())
        for (const auto& cell : row.toArray())
            if (cell.isObject()) forEachNode(cell.toObject(), visit);
}

std::vector<QJsonObject> nodes(const QJsonObject& root, const std::function<bool(const QJsonObject&)>& match) {
    std::vector<QJsonObject> out;
    forEachNode(root, [&](const QJsonObject& n) {
        if (match(n)) out.push_back(n);
    });
    return out;
}

bool hasState(const QJsonObject& node, const char* state) {
    return node.value(QStringLiteral("states")).toArray().contains(QString::fromLatin1(state));
}

QString str(const QJsonObject& node, const char* key) { return node.value(QLatin1String(key)).toString(); }

QString describe(const QJsonObject& node) {
    return str(node, "role") + QStringLiteral(" '") + str(node, "name") + QStringLiteral("' ") +
           QString::fromUtf8(QJsonDocument(node.value(QStringLiteral("states")).toArray()).toJson(QJsonDocument::Compact));
}

class Accessibility : public ::testing::Test {
protected:
    void SetUp() override {
        if (!guiSkipReason().empty()) GTEST_SKIP() << guiSkipReason();
        erase::RNUserDefaults::resetStandardUserDefaults();
        dispatcher = ui::RNQtMainThread::install();
    }
    void TearDown() override {
        window.reset();
        erase::RNErrorDelegate::sharedControl().setBackend(nullptr);
        erase::RNMainThread::setActive(nullptr);
        erase::RNUserDefaults::resetStandardUserDefaults();
    }
    RNListCntrl* list() { return window->contentViewCntrl()->listCntrl(); }
    int rowNamed(const std::string& name) {
        for (int r = 0; r < list()->model()->rowCount(); ++r)
            if (list()->model()->itemAt(r)->name == name) return r;
        return -1;
    }
    void openLumoWindow() {
        window = std::make_unique<RNWindowCntrl>();
        window->showWindow();
        ASSERT_TRUE(waitUntil([&] {
            const auto* s = window->sourceViewCntrl()->model();
            if (!s->listingFinished() || s->rowCount() != 1) return false;
            return s->sourceAt(0)->lockedGathering() == 0 && s->sourceAt(0)->datesLoaded && !list()->isSorting() &&
                   list()->model()->rowCount() > 0;
        }, 30000));
        ASSERT_TRUE(waitUntil([&] { return window->sourceViewCntrl()->model()->isIdle() && !list()->isSorting(); }));
    }

    TempHome home;
    PlantedTrashes trashes{home};
    std::shared_ptr<ui::RNQtMainThread> dispatcher;
    std::unique_ptr<RNWindowCntrl> window;
};

}  // namespace

// A screen reader finds every trashed item with its name, size, date and mark, marks one through
// the check box's own action, and hears the trash's marked total change.
TEST_F(Accessibility, TheLumoWindowsItemsAreReadAndMarkedThroughAtSpi) {
    const size_t v = trashes.addVolume("Archive");
    trashes.addFile(v, "alpha.txt", "12345");
    trashes.addFile(v, "beta notes.log", std::string(3000, 'b'), "2023-11-02T08:00:00");
    trashes.addFolder(v, "gamma", 3);
    openLumoWindow();
    RNContentListModel* model = list()->model();
    ASSERT_EQ(model->rowCount(), 3);

    const QJsonObject tree = dumpTree();
    const auto tables = nodes(tree, [](const QJsonObject& n) { return n.contains(QStringLiteral("rows")) &&
                                                                      str(n, "name") == ui::L("content_list_name"); });
    ASSERT_EQ(tables.size(), 1u) << "no table named " << ui::L("content_list_name").toStdString();
    const QJsonArray rows = tables[0].value(QStringLiteral("rows")).toArray();
    ASSERT_EQ(rows.size(), model->rowCount());
    // The columns have names (the check column's is no bare check mark).
    const QJsonArray headers = tables[0].value(QStringLiteral("headers")).toArray();
    ASSERT_EQ(headers.size(), RNContentListModel::ColumnCount);
    for (int c = 0; c < RNContentListModel::ColumnCount; ++c)
        EXPECT_EQ(str(headers.at(c).toObject(), "name"), model->headerData(c, Qt::Horizontal, Qt::AccessibleTextRole).toString()) << c;
    for (int r = 0; r < model->rowCount(); ++r) {
        SCOPED_TRACE(r);
        const QJsonArray cells = rows.at(r).toArray();
        ASSERT_EQ(cells.size(), RNContentListModel::ColumnCount);
        auto cell = [&](int c) { return cells.at(c).toObject(); };
        const QString name = model->itemAt(r)->displayName();
        EXPECT_EQ(str(cell(RNContentListModel::NameColumn), "name"), name);
        EXPECT_EQ(str(cell(RNContentListModel::SizeColumn), "name"),
                  model->index(r, RNContentListModel::SizeColumn).data().toString());
        EXPECT_NE(str(cell(RNContentListModel::SizeColumn), "name"), QStringLiteral("--"));
        // The date as the column shows it, whatever its width.
        const QString date = str(cell(RNContentListModel::DateColumn), "name");
        EXPECT_FALSE(date.isEmpty());
        EXPECT_NE(date, QStringLiteral("--"));
        // The check box says whose mark it is, and whether it is set.
        const QJsonObject check = cell(RNContentListModel::CheckColumn);
        EXPECT_TRUE(str(check, "name").contains(name)) << describe(check).toStdString();
        EXPECT_EQ(str(check, "role"), QStringLiteral("check box")) << describe(check).toStdString();
        EXPECT_FALSE(hasState(check, "checked")) << describe(check).toStdString();
        EXPECT_FALSE(check.value(QStringLiteral("actions")).toArray().isEmpty()) << describe(check).toStdString();
    }

    // The source row tells what is marked; nothing is yet.
    auto sourceRow = [](const QJsonObject& root) {
        const auto found = nodes(root, [](const QJsonObject& n) { return str(n, "name") == QStringLiteral("Archive"); });
        return found.empty() ? QJsonObject() : found.front();
    };
    const QString before = str(sourceRow(tree), "description");
    ASSERT_FALSE(before.isEmpty()) << "the source row has no description";

    const int row = rowNamed("beta notes.log");
    ASSERT_GE(row, 0);
    const QJsonObject check = rows.at(row).toArray().at(RNContentListModel::CheckColumn).toObject();
    act(str(check, "role"), str(check, "name"), check.value(QStringLiteral("actions")).toArray().first().toString());
    ASSERT_TRUE(waitUntil([&] { return model->itemAt(row)->isMarked.load(); }))
        << "the check box's action did not mark the item";
    EXPECT_EQ(model->itemAt(0 == row ? 1 : 0)->isMarked.load(), false);

    const QJsonObject after = dumpTree();
    const QString total = str(sourceRow(after), "description");
    EXPECT_NE(total, before);
    EXPECT_TRUE(total.contains(model->index(row, RNContentListModel::SizeColumn).data().toString())) << total.toStdString();
    const auto checked = nodes(after, [&](const QJsonObject& n) { return str(n, "name") == str(check, "name") && hasState(n, "checked"); });
    EXPECT_EQ(checked.size(), 1u) << "the check box does not read as checked";

    // The headers sort when pressed, as a click does: the largest item first by size.
    const QJsonObject sizeHeader = headers.at(RNContentListModel::SizeColumn).toObject();
    ASSERT_TRUE(sizeHeader.value(QStringLiteral("actions")).toArray().contains(QAccessibleActionInterface::pressAction()))
        << describe(sizeHeader).toStdString();
    act(str(sizeHeader, "role"), str(sizeHeader, "name"), QAccessibleActionInterface::pressAction());
    ASSERT_TRUE(waitUntil([&] { return list()->sortDescriptor().key == QLatin1String("size_col") && !list()->isSorting(); }));
    EXPECT_EQ(model->itemAt(0)->name, "beta notes.log");

    // A mark set from the keyboard is announced: a state change of that row's check box.
    static std::vector<std::pair<QObject*, QAccessibleInterface*>> announced;
    static QAccessible::UpdateHandler bridge = nullptr;
    announced.clear();
    bridge = QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        if (event->type() == QAccessible::StateChanged &&
            static_cast<QAccessibleStateChangeEvent*>(event)->changedStates().checked)
            announced.emplace_back(event->object(), event->accessibleInterface());
        if (bridge) bridge(event);
    });
    RNContentTableView* table = list()->tableView();
    table->setFocus();
    const int gammaRow = rowNamed("gamma");
    table->selectionModel()->setCurrentIndex(model->index(gammaRow, RNContentListModel::NameColumn),
                                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list()->toggleMarkAction()->trigger();
    QAccessible::installUpdateHandler(bridge);
    ASSERT_TRUE(model->itemAt(gammaRow)->isMarked.load());
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].first, table);
    ASSERT_NE(announced[0].second, nullptr);
    EXPECT_EQ(announced[0].second->role(), QAccessible::CheckBox);
    EXPECT_TRUE(announced[0].second->state().checked);
    EXPECT_TRUE(announced[0].second->text(QAccessible::Name).contains(QStringLiteral("gamma")));
}

// Every control that takes the keyboard has a name a screen reader can say: in the preferences
// window (the hot-key recorders too, which are no standard control), in the erase confirmation
// (its buttons and its check box) and in the progress panel, whose bar gives its value.
TEST_F(Accessibility, EveryFocusableControlOfTheWindowsAndDialogsHasAName) {
    erase::RNUserDefaultsController controller(&erase::RNUserDefaults::standardUserDefaults());
    erase::setupDefaultsPreferences(controller.defaults(), controller);
    auto backend = std::make_shared<ScriptedPromptBackend>();
    erase::RNErrorDelegate::sharedControl().setBackend(backend);
    ui::RNPreferencesWindow prefs(controller);
    prefs.openWindowInModal(false);

    erase::RNPromptRequest request;
    request.title = "Erase the items of “Archive”?";
    request.message = "You cannot undo this action.";
    request.buttons = {"Erase", "Cancel"};
    request.checkBoxTitle = "Do not ask again";
    request.liveText = [] { return std::string("3 items, 12 KB"); };
    std::unique_ptr<QMessageBox> box(ui::RNQtPromptBackend::makeBox(request, nullptr, nullptr));
    box->setWindowTitle(QStringLiteral("Confirmation"));
    box->show();

    ui::RNProgressWindow progress;
    progress.setWindowTitle(QStringLiteral("Progress"));
    progress.spinner->updateProgress(40);
    progress.show();
    ASSERT_TRUE(waitUntil([&] { return prefs.window()->isVisible() && box->isVisible() && progress.isVisible(); }));

    const QJsonObject tree = dumpTree();
    for (const QString& title : {ui::L("preferences_title"), QStringLiteral("Confirmation"), QStringLiteral("Progress")}) {
        SCOPED_TRACE(title.toStdString());
        const auto windows = nodes(tree, [&](const QJsonObject& n) { return str(n, "name") == title && str(n, "role") != "label"; });
        ASSERT_FALSE(windows.empty());
        int focusable = 0;
        forEachNode(windows.front(), [&](const QJsonObject& n) {
            if (!hasState(n, "focusable") || !hasState(n, "showing")) return;
            ++focusable;
            EXPECT_FALSE(str(n, "name").trimmed().isEmpty()) << "no name: " << describe(n).toStdString();
        });
        EXPECT_GE(focusable, 1);
    }
    // The recorders say what they record.
    const QString recorderName = ui::L("empty_trash_hot_key").remove(QLatin1Char('&'));
    const auto recorders = nodes(tree, [&](const QJsonObject& n) { return str(n, "name") == recorderName && hasState(n, "focusable"); });
    EXPECT_FALSE(recorders.empty()) << "no focusable recorder named " << recorderName.toStdString();
    // The confirmation's check box and buttons by their texts.
    for (const char* text : {"Do not ask again", "Erase", "Cancel"})
        EXPECT_FALSE(nodes(tree, [&](const QJsonObject& n) {
                         return str(n, "name") == QLatin1String(text) && hasState(n, "focusable");
                     }).empty())
            << text;
    // The bar: named, with its value.
    const auto bars = nodes(tree, [](const QJsonObject& n) { return str(n, "role") == QStringLiteral("progress bar"); });
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_EQ(str(bars[0], "name"), ui::L("progress_bar_name"));
    const QJsonArray value = bars[0].value(QStringLiteral("value")).toArray();
    ASSERT_EQ(value.size(), 3);
    EXPECT_NEAR(value.at(0).toDouble() / value.at(2).toDouble(), 0.4, 0.01);
    box->close();
    progress.close();
    prefs.window()->close();
}

// The tray menu's disk rows carry the volume's name and its figures for a screen reader, and can
// be chosen without a pointer.
TEST_F(Accessibility, TheTrayMenusDiskRowsSayTheVolumeAndItsFigures) {
    const std::string root = home.root() + "/Backup Disk";
    std::filesystem::create_directories(root + "/.Trash-1000/files");
    std::filesystem::create_directories(root + "/.Trash-1000/info");
    for (int i = 0; i < 3; ++i) writeFile(root + "/.Trash-1000/files/f" + std::to_string(i), "12345");
    files::TrashLocation t;
    t.trashURL = root + "/.Trash-1000/files";
    t.volumeURL = t.volumePath = root;
    t.volumeName = "Backup Disk";
    t.trashIsEmpty = false;

    QMenu menu;
    auto* row = new shell::RNDiskMenuItem(t, &menu);
    menu.addAction(row);
    menu.popup(QPoint(20, 20));
    ASSERT_TRUE(waitUntil([&] { return menu.isVisible() && row->view()->info().has_value(); }, 30000));

    // A popup menu is no window of the application's tree: screen readers follow it through its
    // own accessible interface (focus events), as read here.
    std::vector<QAccessibleInterface*> found;
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
        if (!node) return;
        if (node->text(QAccessible::Name).contains(QStringLiteral("Backup Disk"))) found.push_back(node);
        for (int i = 0; i < node->childCount(); ++i) walk(node->child(i));
    };
    walk(QAccessible::queryAccessibleInterface(&menu));
    ASSERT_FALSE(found.empty()) << "no menu row names the volume";
    for (QAccessibleInterface* node : found) {
        const QString name = node->text(QAccessible::Name);
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(node->role(), QAccessible::MenuItem);
        EXPECT_TRUE(name.contains(row->view()->infoText()));
    }
    // The row's own interface: a menu item whose press chooses it, as Return does.
    QAccessibleInterface* view = QAccessible::queryAccessibleInterface(row->view());
    ASSERT_NE(view, nullptr);
    ASSERT_NE(view->actionInterface(), nullptr);
    EXPECT_TRUE(view->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
    EXPECT_FALSE(view->text(QAccessible::Description).isEmpty());
    QSignalSpy sent(row->view(), &shell::RNDiskMenuItemView::actionSent);
    view->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(waitUntil([&] { return sent.count() == 1; }));
    menu.close();
}

int main(int argc, char** argv) {
    GuiTestOptions options;
    options.platform = GuiPlatform::X11;
    options.accessibility = true;
    return runGuiTests(argc, argv, options);
}
