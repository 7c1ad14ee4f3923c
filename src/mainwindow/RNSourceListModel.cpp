#include "mainwindow/RNSourceListModel.h"

#include "erase/RNDeleteItems.h"
#include "erase/RNOperationQueue.h"
#include "files/FolderWalk.h"
#include "files/RNFilesUtilities.h"
#include "files/TrashLocator.h"
#include "files/TrashInfo.h"
#include "mainwindow/RNImages.h"
#include "mainwindow/RNVolumeListModel.h"
#include "ui/RNQtStrings.h"
#include "ui/RNRunThen.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <unordered_set>

namespace quillo::mainwindow {

using erase::RNDictionary;
using erase::RNNotificationCenter;
using erase::RNValue;

erase::RNOperationQueue& sourceListOperationQueue() {
    return erase::RNOperationQueue::named("sourceListOperationQueue");
}

struct RNSourceListModel::State {
    explicit State(RNSourceListModel* m) : model(m), path(m) {}
    std::atomic<bool> stopWorking{false};
    RNSourceListModel* model = nullptr;  // read and cleared on the main thread only
    ui::RNMainThreadPath path;           // back to the main thread while the model lives
    std::mutex dirtyMutex;
    std::vector<RNSourceItemPtr> dirty;  // sources whose sizes changed since the last poll
    std::atomic<int> pendingListings{0};
    std::atomic<int> pendingWalks{0};  // folder walks queued or running
    int pendingRefreshes = 0;          // main thread only: refreshes whose results are not applied
};

struct RNSourceListModel::Batch {
    RNSourceItemPtr source;
    std::vector<RNLumoWindowItemPtr> items;
    bool last = false;
};

namespace {

using StatePtr = std::shared_ptr<void>;

// Runs `fn` on the main thread while the model still exists and this listing is its own (a
// restart leaves the old one's results unshown).
template <class State, class Fn>
void onMain(const std::shared_ptr<State>& state, Fn fn) {
    state->path.post([state, fn = std::move(fn)]() mutable {
        if (state->model) fn(state->model);
    });
}

// How a trash's info files name places: relative to the volume's top folder, or absolute in the
// home trash.
struct TrashOrigin {
    std::string topdir;
    bool home = false;
};

TrashOrigin originOfSource(const RNSourceItem& source) {
    const std::string trashDir = files::canonicalPath(files::deletingLastPathComponent(source.url));
    const std::string homeTrash = files::canonicalPath(files::RNFilesUtilities::sharedControl().trashLocator().homeTrashDir());
    return {source.volumeUrl, !trashDir.empty() && trashDir == homeTrash};
}

// The date and the original place of one item as its info file gives them. A place the restore
// would refuse (a ".." component, outside the volume) is not shown either.
void applyInfo(RNLumoWindowItem& item, const files::TrashInfoFields& fields, const TrashOrigin& origin) {
    item.dateAdded = fields.deletionDate;
    if (!fields.path) return;
    std::string error;
    if (auto place = files::originalPathFromTrashInfo(*fields.path, origin.topdir, origin.home, error))
        item.setOriginalPath(std::move(*place));
}

// Lists the direct entries of a trash's files/ folder (hidden ones included) as records with
// their dates; files get their size at once. `onBatch` receives the records in growing batches
// so that the first ones can be shown while the rest are read.
// Gives the errno that kept the folder from being read (0: read, or missing - an empty trash).
int listEntries(const std::string& folder, const std::atomic<bool>& stop, const TrashOrigin* readDates,
                const std::function<void(std::vector<RNLumoWindowItemPtr>&&, bool last)>& onBatch,
                const std::function<void(const RNLumoWindowItemPtr&, const struct stat*)>& onItem) {
    std::vector<RNLumoWindowItemPtr> batch;
    // Never through a link: the tray's listing does not follow one either, and the two must
    // agree about the same trash.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const int error = errno == ENOENT ? 0 : errno;
        onBatch(std::move(batch), true);
        return error;
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int error = errno ? errno : EIO;
        ::close(fd);
        onBatch(std::move(batch), true);
        return error;
    }
    std::optional<files::TrashInfoReader> info;
    if (readDates) info.emplace(files::deletingLastPathComponent(folder));
    size_t threshold = 256;
    QElapsedTimer clock;
    clock.start();
    while (dirent* ent = ::readdir(dir)) {
        const char* n = ent->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        if (stop.load()) break;
        auto item = RNLumoWindowItem::item();
        item->name = n;
        item->url = files::appendPathComponent(folder, item->name);
        if (info) applyInfo(*item, info->fieldsOf(item->name), *readDates);
        struct stat st {};
        const bool ok = ::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (ok) item->mode = uint32_t(st.st_mode);
        onItem(item, ok ? &st : nullptr);
        batch.push_back(std::move(item));
        if (batch.size() >= threshold || (clock.elapsed() > 100 && batch.size() >= 64)) {
            onBatch(std::move(batch), false);
            batch.clear();
            threshold = std::min<size_t>(threshold * 4, 16384);
            clock.restart();
        }
    }
    ::closedir(dir);
    onBatch(std::move(batch), true);
    return 0;
}

QIcon volumeIcon(const std::string& volumePath) {
    const bool removable = volumePath.rfind("/media/", 0) == 0 || volumePath.rfind("/run/media/", 0) == 0 ||
                           volumePath.rfind("/mnt/", 0) == 0;
    QIcon icon = QIcon::fromTheme(removable ? QStringLiteral("drive-removable-media") : QStringLiteral("drive-harddisk"));
    if (icon.isNull()) icon = QIcon::fromTheme(QStringLiteral("drive-harddisk"));
    return icon;
}

}  // namespace

namespace {
std::mutex gHooksMutex;
RNSourceListModel::LocationsProvider gDefaultProvider;
std::function<void(const std::string&)> gWillMeasureHook;
}  // namespace

void RNSourceListModel::setDefaultLocationsProvider(LocationsProvider provider) {
    std::lock_guard g(gHooksMutex);
    gDefaultProvider = std::move(provider);
}

void RNSourceListModel::setWillMeasureFolderHook(std::function<void(const std::string&)> hook) {
    std::lock_guard g(gHooksMutex);
    gWillMeasureHook = std::move(hook);
}

RNSourceListModel::RNSourceListModel(QObject* parent) : QAbstractListModel(parent), state_(std::make_shared<State>(this)) {
    {
        std::lock_guard g(gHooksMutex);
        provider_ = gDefaultProvider;
    }
    // Without a planted provider the trashes are the shared volume model's rows, and mounts
    // come as its rows come and go.
    if (!provider_) followVolumeModel();
    pollTimer_.setInterval(100);
    connect(&pollTimer_, &QTimer::timeout, this, &RNSourceListModel::pollMeasurements);
}

RNSourceListModel::~RNSourceListModel() {
    stop();
    state_->model = nullptr;
}

void RNSourceListModel::setLocationsProvider(LocationsProvider provider) { provider_ = std::move(provider); }

void RNSourceListModel::stop() { state_->stopWorking.store(true); }
bool RNSourceListModel::stopWorking() const { return state_->stopWorking.load(); }
bool RNSourceListModel::listingFinished() const { return state_->pendingListings.load() == 0 && setupDone_; }
bool RNSourceListModel::isIdle() const {
    return listingFinished() && state_->pendingWalks.load() == 0 && state_->pendingRefreshes == 0 &&
           !pollTimer_.isActive();
}

void RNSourceListModel::restart() {
    stop();
    state_->model = nullptr;
    state_ = std::make_shared<State>(this);
    beginResetModel();
    sourceItems_.clear();
    listedTrashes_.clear();
    locationsTaken_ = false;
    endResetModel();
    setupSources();
}

RNSourceItemPtr RNSourceListModel::sourceAt(int row) const {
    return row >= 0 && size_t(row) < sourceItems_.size() ? sourceItems_[size_t(row)] : nullptr;
}

int RNSourceListModel::rowOf(const RNSourceItem* source) const {
    for (size_t i = 0; i < sourceItems_.size(); ++i)
        if (sourceItems_[i].get() == source) return int(i);
    return -1;
}

size_t RNSourceListModel::indexOfSourceWithPathInArray(const std::vector<RNSourceItemPtr>& array,
                                                       const std::string& path) {
    for (size_t i = 0; i < array.size(); ++i)
        if (array[i]->volumePath() == path) return i;
    return files::RNFilesUtilities::kNotFound;
}

// ---- Building the sources ---------------------------------------------------------------------

static RNSourceItemPtr makeSource(const files::TrashLocation& loc) {
    auto source = RNSourceItem::sourceItem();
    source->url = loc.trashURL;
    source->volumeUrl = loc.volumeURL;
    source->name = loc.volumeName;
    source->trashIsEmpty = loc.trashIsEmpty;
    return source;
}

void RNSourceListModel::followVolumeModel() {
    auto& volumes = RNVolumeListModel::sharedModel();
    connect(&volumes, &QAbstractItemModel::rowsInserted, this, [this, &volumes](const QModelIndex&, int first, int last) {
        if (!locationsTaken_) return;  // the listing takes them all
        for (int r = first; r <= last; ++r) addLocation(volumes.locations()[size_t(r)]);
    });
    connect(&volumes, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this, &volumes](const QModelIndex&, int first, int last) {
                for (int r = first; r <= last; ++r) mountedVolumeDidChange(false, volumes.locations()[size_t(r)].volumePath);
            });
    connect(&volumes, &QAbstractItemModel::modelReset, this, [this] {
        if (locationsTaken_) restart();
    });
}

void RNSourceListModel::addLocation(const files::TrashLocation& loc) {
    if (!listedTrashes_.insert(loc.trashURL).second) return;
    auto state = state_;
    auto source = makeSource(loc);
    ++state->pendingListings;
    appendSource(source, true);
    sourceListOperationQueue().addOperation([state, source] { listTrash(state, source); });
}

void RNSourceListModel::setupSources() {
    setupDone_ = false;
    if (!provider_) {
        // The volume model's rows, read once for the whole interface; the worker gets them by
        // value, so it never reaches back into anything that may be gone.
        auto& volumes = RNVolumeListModel::sharedModel();
        QPointer<RNSourceListModel> self(this);
        auto state = state_;
        auto take = [self, state, &volumes] {
            if (!self || self->state_ != state) return;
            self->locationsTaken_ = true;
            for (const auto& loc : volumes.locations()) self->listedTrashes_.insert(loc.trashURL);
            self->listLocations(volumes.locations());
        };
        if (volumes.loaded()) take();
        else volumes.refresh(take);
        return;
    }
    auto state = state_;
    auto provider = provider_;
    sourceListOperationQueue().addOperation([state, provider] {
        // A window closed before its listing started: the provider may already be gone with
        // what it lists (a test's planted trashes), so it is not asked at all.
        if (state->stopWorking.load()) return;
        listAll(state, provider());
    });
}

void RNSourceListModel::listLocations(std::vector<files::TrashLocation> locations) {
    auto state = state_;
    sourceListOperationQueue().addOperation([state, locations = std::move(locations)] { listAll(state, locations); });
}

void RNSourceListModel::listAll(const std::shared_ptr<State>& state, const std::vector<files::TrashLocation>& locations) {
    for (const auto& loc : locations) {
        if (state->stopWorking.load()) break;
        auto source = makeSource(loc);
        ++state->pendingListings;
        onMain(state, [source](RNSourceListModel* m) { m->appendSource(source, true); });
        listTrash(state, source);
    }
    onMain(state, [](RNSourceListModel* m) {
        m->setupDone_ = true;
        emit m->sourcesLoaded();
    });
}

void RNSourceListModel::appendSource(const RNSourceItemPtr& source, bool notify) {
    source->icon = volumeIcon(source->volumeUrl);
    source->row = int64_t(sourceItems_.size());
    if (notify) beginInsertRows({}, int(sourceItems_.size()), int(sourceItems_.size()));
    sourceItems_.push_back(source);
    if (notify) endInsertRows();
}

// Runs on the source work queue. `this` is touched only on the main thread (through onMain).
void RNSourceListModel::listTrash(const std::shared_ptr<State>& state, const RNSourceItemPtr& source) {
    // The listing itself counts as one pending measurement, so that the totals are not
    // announced as final while entries are still being read.
    {
        std::lock_guard g(source->lock);
        ++source->gatheringSizeCount;
    }
    // Sizes first, dates after: the dates take one info file each and are not needed to count.
    std::vector<RNLumoWindowItemPtr> all;
    // Set before the last batch reaches the main thread, which shows it with that batch.
    source->readError = listEntries(
        source->url, state->stopWorking, nullptr,
        [&](std::vector<RNLumoWindowItemPtr>&& items, bool last) {
            auto batch = std::make_shared<Batch>();
            batch->source = source;
            all.insert(all.end(), items.begin(), items.end());
            batch->items = std::move(items);
            batch->last = last;
            onMain(state, [batch](RNSourceListModel* m) { m->applyBatch(batch); });
        },
        [&](const RNLumoWindowItemPtr& item, const struct stat* st) {
            if (!st) return;  // unreadable: no size, does not count
            if (S_ISDIR(st->st_mode)) {
                {
                    std::lock_guard g(source->lock);
                    ++source->gatheringSizeCount;
                }
                doGatherSizeWithItem(state, item, source);
            } else {
                item->size = uint64_t(st->st_size);
                item->actualCount = 1;
                item->sizeIsKnown = true;
                std::lock_guard g(source->lock);
                source->size += uint64_t(st->st_size);
                source->count += 1;
            }
        });
    {
        std::lock_guard g(source->lock);
        if (source->gatheringSizeCount > 0) --source->gatheringSizeCount;
        {
            std::lock_guard d(state->dirtyMutex);
            state->dirty.push_back(source);
        }
        if (source->gatheringSizeCount == 0)
            RNNotificationCenter::defaultCenter().postNotification(erase::kUpdateCountAndSizeToDelete, source.get());
    }
    // The dates and original places on their own operation: the next trash is listed meanwhile.
    sourceListOperationQueue().addOperation([state, source, all = std::move(all)] {
        files::TrashInfoReader info(files::deletingLastPathComponent(source->url));
        const TrashOrigin origin = originOfSource(*source);
        constexpr size_t kChunk = 1024;
        std::vector<std::string> names;
        for (size_t first = 0; first < all.size(); first += kChunk) {
            if (state->stopWorking.load()) return;
            const size_t end = std::min(all.size(), first + kChunk);
            names.clear();
            for (size_t i = first; i < end; ++i) names.push_back(all[i]->name);
            const std::vector<files::TrashInfoFields> fields = info.fields(names);
            for (size_t i = first; i < end && i - first < fields.size(); ++i) applyInfo(*all[i], fields[i - first], origin);
        }
        source->datesLoaded = true;
        std::lock_guard d(state->dirtyMutex);
        if (std::find(state->dirty.begin(), state->dirty.end(), source) == state->dirty.end())
            state->dirty.push_back(source);
    });
}

void RNSourceListModel::applyBatch(const std::shared_ptr<Batch>& batch) {
    RNSourceItem* source = batch->source.get();
    if (!batch->items.empty()) {
        // One insertion per batch: the list adds the rows without rebuilding what it shows.
        const int first = int(source->children.size());
        emit childrenAboutToBeAppended(source, first, first + int(batch->items.size()) - 1);
        source->children.insert(source->children.end(), std::make_move_iterator(batch->items.begin()),
                                std::make_move_iterator(batch->items.end()));
        ++source->childrenGeneration;
        source->trashIsEmpty = false;
        emit childrenAppended(source);
    }
    if (batch->last) {
        source->trashIsEmpty = source->children.empty();
        --state_->pendingListings;
    }
    emitRowChanged(source);
    if (!pollTimer_.isActive()) pollTimer_.start();
}

// One walk per folder on the source work queue.
void RNSourceListModel::doGatherSizeWithItem(const std::shared_ptr<State>& state, const RNLumoWindowItemPtr& item,
                                             const RNSourceItemPtr& source) {
    ++state->pendingWalks;
    sourceListOperationQueue().addOperation([state, item, source] {
        struct Done {
            std::atomic<int>& n;
            ~Done() { --n; }
        } done{state->pendingWalks};
        if (state->stopWorking.load()) return;  // skipped: nothing posted for it
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard g(gHooksMutex);
            hook = gWillMeasureHook;
        }
        if (hook) hook(item->url);
        // A folder measured alone (one large trashed folder) gets the walk's helpers; many
        // folders are measured side by side, one thread each.
        files::WalkTotals totals;
        files::walkFolder(item->url, totals, state->pendingWalks.load() <= 1 ? files::folderWalkWorkers() : 1);
        std::lock_guard g(source->lock);
        item->size = totals.totalSize;
        item->actualCount = totals.entries;
        item->sizeIsKnown = true;
        source->size += totals.totalSize;
        source->count += 1;
        if (source->gatheringSizeCount > 0) --source->gatheringSizeCount;
        {
            std::lock_guard d(state->dirtyMutex);
            if (std::find(state->dirty.begin(), state->dirty.end(), source) == state->dirty.end())
                state->dirty.push_back(source);
        }
        if (source->gatheringSizeCount == 0)
            RNNotificationCenter::defaultCenter().postNotification(erase::kUpdateCountAndSizeToDelete, source.get());
    });
}

void RNSourceListModel::pollMeasurements() {
    std::vector<RNSourceItemPtr> dirty;
    {
        std::lock_guard d(state_->dirtyMutex);
        dirty.swap(state_->dirty);
    }
    bool anyGathering = false;
    for (const auto& source : sourceItems_)
        if (source->lockedGathering() > 0 || !source->datesLoaded.load()) anyGathering = true;
    for (const auto& source : dirty) {
        if (rowOf(source.get()) < 0) continue;
        emit childrenSizesChanged(source.get());
        const bool finished = source->lockedGathering() == 0;
        if (finished) {
            updateMarkedItems(source);
            emit gatheringFinished(source.get());
        }
        emit itemsListUpdated(source.get());
        emitRowChanged(source.get());
    }
    if (!anyGathering && dirty.empty()) {
        // A walk that ended between the swap above and the check of the gathering counts has
        // left its source in the list: poll once more rather than lose its final figures.
        std::lock_guard d(state_->dirtyMutex);
        if (state_->dirty.empty()) pollTimer_.stop();
    }
}

void RNSourceListModel::emitRowChanged(RNSourceItem* source) {
    const int row = rowOf(source);
    if (row >= 0) emit dataChanged(index(row), index(row));
}

// ---- Refresh and mounts ---------------------------------------------------------------------

void RNSourceListModel::refreshAction() {
    auto state = state_;
    std::vector<RNSourceItemPtr> sources = sourceItems_;
    ++state->pendingRefreshes;
    sourceListOperationQueue().addOperation([state, sources] {
        for (const auto& s : sources) {
            if (state->stopWorking.load()) break;
            checkBinContentWithSourceItem(state, s);
        }
        // After every source's result (the main thread takes them in order).
        onMain(state, [state](RNSourceListModel*) { --state->pendingRefreshes; });
    });
}

// On the source work queue: lists the trash again; the change is applied on the main thread.
void RNSourceListModel::checkBinContentWithSourceItem(const std::shared_ptr<State>& state, const RNSourceItemPtr& source) {
    auto items = std::make_shared<std::vector<RNLumoWindowItemPtr>>();
    const TrashOrigin origin = originOfSource(*source);
    listEntries(
        source->url, state->stopWorking, &origin,
        [&](std::vector<RNLumoWindowItemPtr>&& batch, bool) {
            items->insert(items->end(), std::make_move_iterator(batch.begin()), std::make_move_iterator(batch.end()));
        },
        [](const RNLumoWindowItemPtr& item, const struct stat* st) {
            if (st && !S_ISDIR(st->st_mode)) {
                item->size = uint64_t(st->st_size);
                item->actualCount = 1;
                item->sizeIsKnown = true;
            }
        });
    onMain(state, [state, source, items](RNSourceListModel* m) {
        if (m->rowOf(source.get()) < 0 || m->state_ != state) return;
        if (items->size() == source->children.size()) {
            m->emitRowChanged(source.get());
            return;
        }
        std::unordered_set<std::string> oldUrls, newUrls;
        for (const auto& c : source->children) oldUrls.insert(c->url);
        for (const auto& i : *items) newUrls.insert(i->url);
        bool changed = false;
        for (const auto& i : *items) {
            if (oldUrls.count(i->url)) continue;
            changed = true;
            source->children.push_back(i);
            if (m->providerIsDirectory(i)) {
                {
                    std::lock_guard g(source->lock);
                    ++source->gatheringSizeCount;
                }
                doGatherSizeWithItem(state, i, source);
            } else if (i->sizeIsKnown) {
                std::lock_guard g(source->lock);
                source->size += i->size;
                source->count += 1;
            }
        }
        for (size_t k = source->children.size(); k-- > 0;) {
            const auto& c = source->children[k];
            if (newUrls.count(c->url)) continue;
            changed = true;
            if (c->sizeIsKnown) {
                std::lock_guard g(source->lock);
                source->size -= std::min<uint64_t>(source->size, c->size);
                source->count -= std::min<uint64_t>(source->count, 1);
            }
            source->children.erase(source->children.begin() + std::ptrdiff_t(k));
        }
        if (changed) {
            ++source->childrenGeneration;
            source->trashIsEmpty = source->children.empty();
            emit m->childrenChanged(source.get());
            emit m->itemsListUpdated(source.get());
            m->updateMarkedItems(source);
            if (source->lockedGathering() > 0 && !m->pollTimer_.isActive()) m->pollTimer_.start();
        }
        m->emitRowChanged(source.get());
    });
}

bool RNSourceListModel::providerIsDirectory(const RNLumoWindowItemPtr& item) {
    // From the listing's own stat: this runs on the main thread.
    return S_ISDIR(item->mode.load());
}

void RNSourceListModel::mountedVolumeDidChange(bool added, const std::string& devicePath) {
    if (added && !provider_) {
        const auto& locations = RNVolumeListModel::sharedModel().locations();
        const size_t i = files::RNFilesUtilities::indexOfNewMountedDiskInArray(locations, devicePath);
        if (i != files::RNFilesUtilities::kNotFound) addLocation(locations[i]);
        return;
    }
    if (added) {
        auto state = state_;
        auto provider = provider_;
        sourceListOperationQueue().addOperation([state, provider, devicePath] {
            if (state->stopWorking.load()) return;
            const auto locations = provider();
            const size_t i = files::RNFilesUtilities::indexOfNewMountedDiskInArray(locations, devicePath);
            if (i == files::RNFilesUtilities::kNotFound) return;  // no usable trash there
            auto source = makeSource(locations[i]);
            ++state->pendingListings;
            onMain(state, [source](RNSourceListModel* m) {
                if (indexOfSourceWithPathInArray(m->sourceItems_, source->volumePath()) == files::RNFilesUtilities::kNotFound)
                    m->appendSource(source, true);
            });
            listTrash(state, source);
        });
        return;
    }
    const size_t i = indexOfSourceWithPathInArray(sourceItems_, devicePath);
    if (i == files::RNFilesUtilities::kNotFound) return;
    emit sourceAboutToBeRemoved(int(i));
    listedTrashes_.erase(sourceItems_[i]->url);
    beginRemoveRows({}, int(i), int(i));
    sourceItems_.erase(sourceItems_.begin() + std::ptrdiff_t(i));
    for (size_t k = i; k < sourceItems_.size(); ++k) sourceItems_[k]->row = int64_t(k);
    endRemoveRows();
}

// ---- Marks ----------------------------------------------------------------------------------

void RNSourceListModel::updateMarkedItems(const RNSourceItemPtr& source) {
    if (!source) return;
    uint64_t size = 0, count = 0;
    for (const auto& c : source->children)
        if (c->isMarked.load()) {
            size += c->size.load();
            ++count;
        }
    source->markedSize = size;
    source->markedCount = count;
    source->markedStatus = source->children.empty() || count == 0 ? 0 : count == source->children.size() ? 1 : -1;
    emitRowChanged(source.get());
}

int64_t RNSourceListModel::toggleMarksOfSource(const RNSourceItemPtr& source) {
    int64_t state;
    if (source->markedCount == 0) state = 1;
    else if (source->markedCount >= source->children.size()) state = 0;
    else state = 1;
    source->markedStatus = state;
    for (const auto& c : source->children) c->isMarked.store(state == 1);
    updateMarkedItems(source);
    return state;
}

// ---- Texts and data -------------------------------------------------------------------------

QString RNSourceListModel::pillCountText(uint64_t count) {
    const auto& nf = util::RNNumberUtilities::sharedControl();
    if (count >= 1000000)
        return QString::fromStdString(util::RNFormat("%@M", {nf.numberToFormatString(double(count) / 1e6)}));
    if (count < 1000) return QString::fromStdString(nf.numberToFormatString(double(count)));
    return QString::fromStdString(util::RNFormat("%@K", {nf.numberToFormatString(double(count) / 1000.0)}));
}

QString RNSourceListModel::pillText(uint64_t count, uint64_t size) {
    const std::string sizeText = util::RNNumberUtilities::sharedControl().sizeToFormatString(size, 4, true);
    return QString::fromStdString(util::RNFormat("%@ - %@", {pillCountText(count).toStdString(), sizeText}));
}

QString RNSourceListModel::infoText(RNSourceItem& source) {
    // A trash that cannot be read is not an empty one.
    if (source.readError.load()) return ui::L("trash_unreadable");
    if (source.trashIsEmpty) return ui::L("trash_empty");
    // The trashed items (as the tray's rows count them), with the size measured so far.
    const std::string sizeText = util::RNNumberUtilities::sharedControl().sizeToFormatString(source.lockedSize(), 4, true);
    return QString::fromStdString(
        util::RNLocalizedMessage("items_size", {{"count", source.lockedCount()}, {"size", sizeText}}));
}

int RNSourceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(sourceItems_.size());
}

QVariant RNSourceListModel::data(const QModelIndex& index, int role) const {
    RNSourceItemPtr source = sourceAt(index.row());
    if (!source) return {};
    switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole: return ui::displayPath(source->name);
        case Qt::ToolTipRole: return ui::displayPath(source->volumeUrl);
        case Qt::AccessibleDescriptionRole: {
            // What the row draws besides the name (the figures, the marked pill), and its key.
            QString marked = ui::L("none_marked");
            if (source->markedCount > 0) {
                const std::string sizeText = util::RNNumberUtilities::sharedControl().sizeToFormatString(source->markedSize, 4, true);
                marked = QString::fromStdString(
                    util::RNLocalizedMessage("marked_info", {{"count", uint64_t(source->markedCount)}, {"size", sizeText}}));
            }
            QStringList parts{infoText(*source)};
            if (source->lockedGathering() > 0) parts << ui::L("gathering_info");
            if (!source->trashIsEmpty) parts << marked << ui::L("source_row_accessible_description");
            return parts.join(QStringLiteral(". "));
        }
        case SourceRole: return QVariant::fromValue<quintptr>(quintptr(source.get()));
        case InfoTextRole: return infoText(*source);
        case PillTextRole:
            return source->markedCount == 0 || source->isCollapsed ? QString() : pillText(source->markedCount, source->markedSize);
        case GatheringRole: return source->lockedGathering() > 0;
        case IsEmptyRole: return source->trashIsEmpty;
        case MarkedStatusRole:
            return source->markedStatus == 1 ? Qt::Checked : source->markedStatus == -1 ? Qt::PartiallyChecked : Qt::Unchecked;
        case IconRole: {
            // Drawn again with every turn of the spinner: composed once per state of the trash.
            const int state = source->trashIsEmpty ? 1 : 0;
            if (source->composedIconState == state) return source->composedIcon;
            const QSize size(64, 64);
            QPixmap icon = source->icon.pixmap(size);
            if (icon.isNull()) icon = placeholderImageWithSize(size);
            if (source->trashIsEmpty) icon = ghostIconWithIcon(icon, size);
            const QIcon badge = QIcon::fromTheme(source->trashIsEmpty ? QStringLiteral("user-trash")
                                                                      : QStringLiteral("user-trash-full"));
            source->composedIcon = composedImageMainImage(icon, badge.pixmap(size));
            source->composedIconState = state;
            return source->composedIcon;
        }
        default: return {};
    }
}

}  // namespace quillo::mainwindow
