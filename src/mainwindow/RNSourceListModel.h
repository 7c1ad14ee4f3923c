// The model behind the Lumo Window's source list: one RNSourceItem per trash, in the order of
// the volume list, each with its trashed items. Trashes are listed and every top-level folder is
// measured (one walk per folder) on the source work queue, never on the main thread; results
// come back to the main thread in batches, so that a trash of a hundred thousand items shows
// its first rows at once and the interface never waits for a walk.
//
// Rows are added as their trash is found, removed when its volume goes away; the row of a
// source always equals its index.
#pragma once

#include "erase/RNNotificationCenter.h"
#include "files/RNFilesUtilities.h"
#include "mainwindow/RNSourceItem.h"

#include <QAbstractListModel>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quillo::erase {
class RNOperationQueue;
}

namespace quillo::mainwindow {

// The source work queue, made on first use.
erase::RNOperationQueue& sourceListOperationQueue();

class RNSourceListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        SourceRole = Qt::UserRole + 1,  // RNSourceItem* (as a pointer-sized integer)
        InfoTextRole,                   // "trash_empty" or the count and size line
        PillTextRole,                   // the marked pill's text, empty when nothing is marked
        GatheringRole,                  // folders are still being measured
        IsEmptyRole,
        MarkedStatusRole,               // Qt::CheckState of the row's check button
        IconRole,                       // the volume icon badged with a full or empty trash
    };

    using LocationsProvider = std::function<std::vector<files::TrashLocation>()>;

    explicit RNSourceListModel(QObject* parent = nullptr);
    ~RNSourceListModel() override;

    // Where the trashes come from (the volume list by default; tests plant their own). It is
    // called on the source work queue and may still be running when the model is destroyed, so
    // it must own (or share) what it reads; once the model has stopped it is no longer called.
    void setLocationsProvider(LocationsProvider provider);
    // The provider new models start with; an empty one restores the volume list.
    static void setDefaultLocationsProvider(LocationsProvider provider);
    // Called on the worker before each folder walk (tests hold a walk back with it).
    static void setWillMeasureFolderHook(std::function<void(const std::string&)> hook);

    // Lists every trash in the background.
    void setupSources();
    // Re-reads every trash (a trash with as many entries as before is left alone).
    void refreshAction();
    // A volume came or went ("mountedVolumeDidChange").
    void mountedVolumeDidChange(bool added, const std::string& devicePath);
    // The window closes: listings end at their next entry, queued walks do nothing.
    void stop();
    // Drops every source and lists the trashes again (work of the old listing is discarded).
    void restart();
    bool stopWorking() const;

    // Recomputes a source's marked totals and state and redraws its row.
    void updateMarkedItems(const RNSourceItemPtr& source);
    // The row's check button: marks all (none or some marked) or none (all marked); gives the
    // new state (1 or 0).
    int64_t toggleMarksOfSource(const RNSourceItemPtr& source);

    const std::vector<RNSourceItemPtr>& sourceItems() const { return sourceItems_; }
    RNSourceItemPtr sourceAt(int row) const;
    static size_t indexOfSourceWithPathInArray(const std::vector<RNSourceItemPtr>& array, const std::string& path);
    bool listingFinished() const;
    // Listed, measured and refreshed, with every result applied: nothing of this model is queued
    // or waiting for the main thread (what a test waits for instead of a fixed time).
    bool isIdle() const;

    // Texts.
    static QString pillCountText(uint64_t count);
    static QString pillText(uint64_t count, uint64_t size);
    static QString infoText(RNSourceItem& source);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    // Items were added to or removed from a source's children (main thread).
    void childrenChanged(quillo::mainwindow::RNSourceItem* source);
    // A batch of listed items is about to be added at the end of a source's children (rows
    // first..last), and has been added: a cheaper form of childrenChanged.
    void childrenAboutToBeAppended(quillo::mainwindow::RNSourceItem* source, int first, int last);
    void childrenAppended(quillo::mainwindow::RNSourceItem* source);
    // Sizes of a source's children changed (a batch of folder measurements ended).
    void childrenSizesChanged(quillo::mainwindow::RNSourceItem* source);
    // A source's last folder measurement ended.
    void gatheringFinished(quillo::mainwindow::RNSourceItem* source);
    // A source's items or their sizes changed: the content list sorts and counts again
    // ("updateItemsList").
    void itemsListUpdated(quillo::mainwindow::RNSourceItem* source);
    void sourcesLoaded();
    void sourceAboutToBeRemoved(int row);

private:
    struct State;
    struct Batch;
    void appendSource(const RNSourceItemPtr& source, bool notify);
    static void listTrash(const std::shared_ptr<State>& state, const RNSourceItemPtr& source);
    static void listAll(const std::shared_ptr<State>& state, const std::vector<files::TrashLocation>& locations);
    void listLocations(std::vector<files::TrashLocation> locations);
    void followVolumeModel();
    void addLocation(const files::TrashLocation& loc);
    void applyBatch(const std::shared_ptr<Batch>& batch);
    static void doGatherSizeWithItem(const std::shared_ptr<State>& state, const RNLumoWindowItemPtr& item,
                                     const RNSourceItemPtr& source);
    static void checkBinContentWithSourceItem(const std::shared_ptr<State>& state, const RNSourceItemPtr& source);
    void pollMeasurements();
    static bool providerIsDirectory(const RNLumoWindowItemPtr& item);
    void emitRowChanged(RNSourceItem* source);
    int rowOf(const RNSourceItem* source) const;

    std::shared_ptr<State> state_;
    std::vector<RNSourceItemPtr> sourceItems_;
    LocationsProvider provider_;
    QTimer pollTimer_;
    bool setupDone_ = false;
    // With the shared volume model: its rows were taken for the listing, and the trashes that
    // have a source (or one on its way).
    bool locationsTaken_ = false;
    std::set<std::string> listedTrashes_;
    std::vector<erase::RNObserverToken> observers_;
};

}  // namespace quillo::mainwindow
