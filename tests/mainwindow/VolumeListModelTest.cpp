// The one volume model the tray rows and the source list share: rows matched by trash, one
// listing per trash, failures kept as failures.
#include "GuiTest.h"
#include "mainwindow/RNVolumeListModel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <mutex>

using namespace quillo;
using namespace quillo::test;
using mainwindow::RNVolumeListModel;

namespace {

files::TrashLocation trashIn(const std::string& root, const std::string& name, int items) {
    const std::string trash = root + "/" + name + "/Trash";
    makeDirs(trash + "/files", 0700);
    makeDirs(trash + "/info", 0700);
    for (int i = 0; i < items; ++i) writeFile(trash + "/files/f" + std::to_string(i), "123");
    files::TrashLocation l;
    l.trashURL = trash + "/files";
    l.volumeURL = l.volumePath = root + "/" + name;
    l.volumeName = name;
    l.trashIsEmpty = items == 0;
    return l;
}

// What the provider answers, changed by the test between refreshes.
struct Volumes {
    std::mutex mutex;
    std::vector<files::TrashLocation> list;
    void set(std::vector<files::TrashLocation> l) {
        std::lock_guard g(mutex);
        list = std::move(l);
    }
    std::vector<files::TrashLocation> get() {
        std::lock_guard g(mutex);
        return list;
    }
};

void refreshAndWait(RNVolumeListModel& model) {
    QSignalSpy refreshed(&model, &RNVolumeListModel::refreshed);
    model.refresh();
    ASSERT_TRUE(refreshed.count() > 0 || refreshed.wait(10000));
}

}  // namespace

TEST(VolumeListModel, RowsFollowTheirTrashAndKeepTheirMeasurements) {
    TempHome home;
    auto volumes = std::make_shared<Volumes>();
    const auto a = trashIn(home.root(), "A", 1), b = trashIn(home.root(), "B", 3), c = trashIn(home.root(), "C", 2);
    volumes->set({a, b});
    RNVolumeListModel model;
    model.setLocationsProvider([volumes] { return volumes->get(); });
    refreshAndWait(model);
    ASSERT_EQ(model.rowCount(), 2);

    QSignalSpy measured(&model, &RNVolumeListModel::trashMeasured);
    model.measure(b.trashURL);
    model.measure(b.trashURL);  // one listing per trash
    ASSERT_TRUE(waitUntil([&] { return model.measurement(b.trashURL) != nullptr; }));
    EXPECT_EQ(measured.count(), 1);
    EXPECT_EQ(model.measurement(b.trashURL)->itemsToErase.size(), 3u);
    EXPECT_EQ(model.measurement(b.trashURL)->size, 9u);

    // C comes before both; A goes. B's row is moved, not replaced, and keeps its figures.
    volumes->set({c, b});
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    refreshAndWait(model);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.locations()[0].trashURL, c.trashURL);
    EXPECT_EQ(model.locations()[1].trashURL, b.trashURL);
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(reset.count(), 0);
    ASSERT_NE(model.measurement(b.trashURL), nullptr);
    EXPECT_EQ(model.measurement(b.trashURL)->itemsToErase.size(), 3u);
    EXPECT_EQ(model.measurement(c.trashURL), nullptr);
    EXPECT_EQ(model.data(model.index(1), RNVolumeListModel::MeasuredRole).toBool(), true);
    EXPECT_EQ(model.data(model.index(0), RNVolumeListModel::MeasuredRole).toBool(), false);

    // After an erase the next measurement lists again.
    writeFile(b.trashURL + "/more", "1");
    model.invalidateMeasurements();
    EXPECT_EQ(model.measurement(b.trashURL), nullptr);
    model.measure(b.trashURL);
    ASSERT_TRUE(waitUntil([&] { return model.measurement(b.trashURL) != nullptr; }));
    EXPECT_EQ(model.measurement(b.trashURL)->itemsToErase.size(), 4u);
}

TEST(VolumeListModel, AListingThatFailsIsAFailureNotZero) {
    TempHome home;
    const std::string linked = home.root() + "/L/Trash";
    makeDirs(linked, 0700);
    makeDirs(home.root() + "/elsewhere", 0700);
    writeFile(home.root() + "/elsewhere/x", "x");
    ASSERT_EQ(::symlink((home.root() + "/elsewhere").c_str(), (linked + "/files").c_str()), 0);
    RNVolumeListModel model;
    model.measure(linked + "/files");
    ASSERT_TRUE(waitUntil([&] { return model.measurement(linked + "/files") != nullptr; }));
    EXPECT_NE(model.measurement(linked + "/files")->readError, 0);
    EXPECT_TRUE(model.measurement(linked + "/files")->itemsToErase.empty());

    // A trash that does not exist yet is an empty one.
    model.measure(home.root() + "/none/Trash/files");
    ASSERT_TRUE(waitUntil([&] { return model.measurement(home.root() + "/none/Trash/files") != nullptr; }));
    EXPECT_EQ(model.measurement(home.root() + "/none/Trash/files")->readError, 0);
}

TEST(VolumeListModel, MountsAreAppliedBeforeTheyAreAnnounced) {
    TempHome home;
    auto volumes = std::make_shared<Volumes>();
    const auto a = trashIn(home.root(), "A", 1), b = trashIn(home.root(), "B", 1);
    volumes->set({a});
    RNVolumeListModel model;
    model.setLocationsProvider([volumes] { return volumes->get(); });
    refreshAndWait(model);
    std::vector<int> rowsWhenAnnounced;
    QObject::connect(&model, &RNVolumeListModel::volumeMounted, [&](const QString&, bool listed) {
        rowsWhenAnnounced.push_back(model.rowCount() * (listed ? 1 : -1));
    });
    QObject::connect(&model, &RNVolumeListModel::volumeUnmounted,
                     [&](const QString&) { rowsWhenAnnounced.push_back(model.rowCount()); });
    volumes->set({a, b});
    model.volumeDidMount(b.volumePath);
    ASSERT_TRUE(waitUntil([&] { return rowsWhenAnnounced.size() == 1; }));
    model.volumeDidMount(home.root() + "/no-trash-there");
    ASSERT_TRUE(waitUntil([&] { return rowsWhenAnnounced.size() == 2; }));
    volumes->set({b});
    model.volumeWillUnmount(a.volumePath);
    ASSERT_TRUE(waitUntil([&] { return rowsWhenAnnounced.size() == 3; }));
    EXPECT_EQ(rowsWhenAnnounced, (std::vector<int>{2, -2, 1}));
    EXPECT_EQ(model.rowOfVolumePath(b.volumePath), 0);
}

// The Lumo Window's source list reads the trashes from the shared model (one read of the volume
// list for the whole interface) and follows its rows as volumes come and go.
#include "mainwindow/RNSourceListModel.h"

TEST(VolumeListModel, TheSourceListFollowsTheSharedModel) {
    TempHome home;
    auto volumes = std::make_shared<Volumes>();
    const auto a = trashIn(home.root(), "A", 1), b = trashIn(home.root(), "B", 2), c = trashIn(home.root(), "C", 3);
    volumes->set({a, b});
    auto& shared = RNVolumeListModel::sharedModel();
    shared.setLocationsProvider([volumes] { return volumes->get(); });
    mainwindow::RNSourceListModel::setDefaultLocationsProvider(nullptr);
    {
        mainwindow::RNSourceListModel sources;
        sources.setupSources();
        ASSERT_TRUE(waitUntil([&] { return sources.listingFinished() && sources.rowCount() == 2; }, 10000));
        EXPECT_EQ(sources.sourceAt(0)->url, a.trashURL);
        EXPECT_EQ(sources.sourceAt(1)->url, b.trashURL);

        // A volume listed first, then one gone: the sources follow, each keeping its trash.
        volumes->set({c, a, b});
        refreshAndWait(shared);
        ASSERT_TRUE(waitUntil([&] { return sources.rowCount() == 3; }));
        volumes->set({c, b});
        refreshAndWait(shared);
        ASSERT_TRUE(waitUntil([&] { return sources.rowCount() == 2; }));
        std::vector<std::string> urls;
        for (const auto& s : sources.sourceItems()) urls.push_back(s->url);
        EXPECT_EQ(urls, (std::vector<std::string>{b.trashURL, c.trashURL}));
        ASSERT_TRUE(waitUntil([&] { return sources.listingFinished() && sources.sourceAt(1)->lockedCount() == 3; }));
        EXPECT_EQ(sources.sourceAt(1)->children.size(), 3u);
        // Refreshing with nothing new adds nothing twice.
        refreshAndWait(shared);
        EXPECT_EQ(sources.rowCount(), 2);
    }
    shared.setLocationsProvider(nullptr);
}
