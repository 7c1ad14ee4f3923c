// The volumes with a usable trash, as one model for the whole interface: the tray's disk rows
// and the Lumo Window's source list both read it, so the volume list is read once (on a worker)
// and each trash is listed once for its figures, by one listing code. The mount watcher feeds it.
//
// Rows belong to their trash, never to a position: a refresh keeps the rows of the trashes that
// are still listed (with their measurements), removes the others and inserts new ones where the
// volume list puts them. A listing that fails is kept as a failure (readError), never as zeros.
#pragma once

#include "erase/RNDeleteItems.h"
#include "files/RNFilesUtilities.h"

#include <QAbstractListModel>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillo::mainwindow {

class RNVolumeListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        TrashURLRole = Qt::UserRole + 1,  // QString (bytes through local 8-bit)
        VolumePathRole,
        TrashIsEmptyRole,
        MeasuredRole,
    };

    // One listing of a trash: its trashed items, every entry below them, the bytes.
    struct Measurement {
        uint64_t size = 0;
        uint64_t count = 0;  // every entry, nested ones included (the erase's figure)
        erase::RNItemList itemsToErase;
        int readError = 0;  // errno: the trash folder could not be read
    };

    using LocationsProvider = std::function<std::vector<files::TrashLocation>()>;

    explicit RNVolumeListModel(QObject* parent = nullptr);
    ~RNVolumeListModel() override;

    // The process's model, made on first use (main thread).
    static RNVolumeListModel& sharedModel();
    // Where the volume list comes from (the platform's by default; tests plant their own). The
    // provider runs on a worker and must not outlive what it captures: see stop().
    void setLocationsProvider(LocationsProvider provider);

    // Reads the volume list in the background and applies it; `then` runs afterwards (main
    // thread), also when nothing changed.
    void refresh(std::function<void()> then = {});
    bool loaded() const { return loaded_; }
    const std::vector<files::TrashLocation>& locations() const { return locations_; }
    int rowOfTrash(const std::string& trashURL) const;
    int rowOfVolumePath(const std::string& volumePath) const;

    // Lists the trash once in the background (a second call while it runs, or once it is
    // measured, does nothing); trashMeasured() follows.
    void measure(const std::string& trashURL);
    // nullptr until measured.
    const Measurement* measurement(const std::string& trashURL) const;
    // After an erase: the next measure() lists again.
    void invalidateMeasurements();

    // From the mount watcher: the list is read again; volumeMounted/volumeUnmounted follow once
    // it is applied.
    void volumeDidMount(const std::string& devicePath);
    void volumeWillUnmount(const std::string& devicePath);

    // Background work ends early and its results are dropped (the model is going away).
    void stop();

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    void refreshed();
    // Same thread only (the main thread): the trash's measurement is in (see measurement()).
    void trashMeasured(const std::string& trashURL);
    void volumeMounted(const QString& devicePath, bool listed);
    void volumeUnmounted(const QString& devicePath);

private:
    void apply(std::vector<files::TrashLocation> fresh);

    LocationsProvider provider_;
    std::vector<files::TrashLocation> locations_;
    bool loaded_ = false;
    std::map<std::string, std::shared_ptr<const Measurement>> measurements_;
    std::map<std::string, uint64_t> measuring_;  // trash -> generation of the listing in flight
    uint64_t generation_ = 0;
    std::shared_ptr<std::atomic<bool>> stopped_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace quillo::mainwindow
