#include "mainwindow/RNVolumeListModel.h"

#include "erase/RNOperationQueue.h"
#include "files/RNQuilloFileUtilities.h"
#include "ui/RNRunThen.h"

#include <QCoreApplication>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace quillo::mainwindow {

namespace {
constexpr const char* kVolumeListQueue = "volumeListQueue";
// The trash measurements (the tray's rows hold this queue back in tests).
constexpr const char* kMeasurementQueue = "MenuCreationOperationQueue";
constexpr int kMeasurementNice = 10;

QString bytesToQString(const std::string& s) { return QString::fromLocal8Bit(s.data(), qsizetype(s.size())); }
}  // namespace

RNVolumeListModel::RNVolumeListModel(QObject* parent) : QAbstractListModel(parent) {
    provider_ = [] { return files::RNFilesUtilities::sharedControl().trashesAndVolumesLocations(); };
}

RNVolumeListModel::~RNVolumeListModel() { stop(); }

RNVolumeListModel& RNVolumeListModel::sharedModel() {
    // Lives as long as the application: parented to it, so that it goes before Qt does.
    static RNVolumeListModel* shared = new RNVolumeListModel(QCoreApplication::instance());
    return *shared;
}

void RNVolumeListModel::setLocationsProvider(LocationsProvider provider) {
    provider_ = provider ? std::move(provider)
                         : LocationsProvider([] { return files::RNFilesUtilities::sharedControl().trashesAndVolumesLocations(); });
}

void RNVolumeListModel::stop() { stopped_->store(true); }

int RNVolumeListModel::rowOfTrash(const std::string& trashURL) const {
    for (size_t i = 0; i < locations_.size(); ++i)
        if (locations_[i].trashURL == trashURL) return int(i);
    return -1;
}

int RNVolumeListModel::rowOfVolumePath(const std::string& volumePath) const {
    for (size_t i = 0; i < locations_.size(); ++i)
        if (locations_[i].volumePath == volumePath) return int(i);
    return -1;
}

// ---- The volume list ---------------------------------------------------------------------------

void RNVolumeListModel::refresh(std::function<void()> then) {
    ui::runThen(
        erase::RNOperationQueue::named(kVolumeListQueue), this, [provider = provider_] { return provider(); },
        [this, then](std::vector<files::TrashLocation> fresh) {
            apply(std::move(fresh));
            if (then) then();
            emit refreshed();
        });
}

void RNVolumeListModel::apply(std::vector<files::TrashLocation> fresh) {
    loaded_ = true;
    auto listedIn = [](const std::vector<files::TrashLocation>& list, const std::string& trash) {
        return std::any_of(list.begin(), list.end(), [&](const files::TrashLocation& l) { return l.trashURL == trash; });
    };
    // Rows whose trash is gone.
    for (size_t i = locations_.size(); i-- > 0;) {
        if (listedIn(fresh, locations_[i].trashURL)) continue;
        beginRemoveRows({}, int(i), int(i));
        measurements_.erase(locations_[i].trashURL);
        measuring_.erase(locations_[i].trashURL);
        locations_.erase(locations_.begin() + std::ptrdiff_t(i));
        endRemoveRows();
    }
    // The rows left keep their order in the fresh list (the platform's order does not change for
    // mounts that stay); should it, the rows are laid out again.
    std::vector<std::string> keptOrder;
    for (const auto& l : fresh)
        if (listedIn(locations_, l.trashURL)) keptOrder.push_back(l.trashURL);
    bool sameOrder = keptOrder.size() == locations_.size();
    for (size_t i = 0; sameOrder && i < keptOrder.size(); ++i) sameOrder = keptOrder[i] == locations_[i].trashURL;
    if (!sameOrder) {
        beginResetModel();
        locations_ = std::move(fresh);
        endResetModel();
        return;
    }
    // New trashes where the list puts them; the others take the fresh look at their trash.
    for (size_t i = 0; i < fresh.size(); ++i) {
        if (i < locations_.size() && locations_[i].trashURL == fresh[i].trashURL) {
            if (locations_[i].trashIsEmpty != fresh[i].trashIsEmpty || locations_[i].volumeName != fresh[i].volumeName) {
                locations_[i] = fresh[i];
                emit dataChanged(index(int(i)), index(int(i)));
            }
            continue;
        }
        beginInsertRows({}, int(i), int(i));
        locations_.insert(locations_.begin() + std::ptrdiff_t(i), fresh[i]);
        endInsertRows();
    }
}

void RNVolumeListModel::volumeDidMount(const std::string& devicePath) {
    refresh([this, devicePath] { emit volumeMounted(bytesToQString(devicePath), rowOfVolumePath(devicePath) >= 0); });
}

void RNVolumeListModel::volumeWillUnmount(const std::string& devicePath) {
    refresh([this, devicePath] { emit volumeUnmounted(bytesToQString(devicePath)); });
}

// ---- Measurements ------------------------------------------------------------------------------

void RNVolumeListModel::measure(const std::string& trashURL) {
    if (trashURL.empty() || measurements_.count(trashURL) || measuring_.count(trashURL)) return;
    const uint64_t generation = generation_;
    measuring_[trashURL] = generation;
    auto stopped = stopped_;
    ui::runThen(
        erase::RNOperationQueue::named(kMeasurementQueue), this,
        [trashURL, stopped] {
            auto result = std::make_shared<Measurement>();
            if (stopped->load()) return std::shared_ptr<const Measurement>(result);
            // A measurement is background work: it only takes the processor when nothing else
            // wants it, so the menu being shown never waits for it (the walk's own threads
            // inherit this).
            sched_param idle{};
            if (::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle) != 0)
                ::setpriority(PRIO_PROCESS, pid_t(::gettid()), kMeasurementNice);
            if (auto listing = files::RNQuilloFileUtilities::sharedControl().binItemsAndInfoWithURL(trashURL)) {
                result->size = listing->size;
                result->count = listing->count;
                result->readError = listing->readError;
                result->itemsToErase = std::move(listing->itemsToErase);
            }
            return std::shared_ptr<const Measurement>(result);
        },
        [this, trashURL, generation](std::shared_ptr<const Measurement> result) {
            auto it = measuring_.find(trashURL);
            // Invalidated (an erase) or its volume gone while it ran: a newer one counts.
            if (it == measuring_.end() || it->second != generation) return;
            measuring_.erase(it);
            measurements_[trashURL] = std::move(result);
            const int row = rowOfTrash(trashURL);
            if (row >= 0) emit dataChanged(index(row), index(row));
            emit trashMeasured(trashURL);
        });
}

const RNVolumeListModel::Measurement* RNVolumeListModel::measurement(const std::string& trashURL) const {
    auto it = measurements_.find(trashURL);
    return it == measurements_.end() ? nullptr : it->second.get();
}

void RNVolumeListModel::invalidateMeasurements() {
    ++generation_;
    measurements_.clear();
    measuring_.clear();
}

// ---- Model -------------------------------------------------------------------------------------

int RNVolumeListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(locations_.size());
}

QVariant RNVolumeListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= int(locations_.size())) return {};
    const files::TrashLocation& l = locations_[size_t(index.row())];
    switch (role) {
        case Qt::DisplayRole: return bytesToQString(l.volumeName);
        case TrashURLRole: return bytesToQString(l.trashURL);
        case VolumePathRole: return bytesToQString(l.volumePath);
        case TrashIsEmptyRole: return l.trashIsEmpty;
        case MeasuredRole: return measurements_.count(l.trashURL) > 0;
        default: return {};
    }
}

}  // namespace quillo::mainwindow
