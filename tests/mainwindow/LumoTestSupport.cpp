#include "LumoTestSupport.h"

#include "erase/RNOperationQueue.h"
#include "mainwindow/RNSourceListModel.h"

namespace quillo::test {

std::vector<files::TrashLocation> PlantedTrashes::Volumes::current() {
    std::lock_guard g(mutex);
    std::vector<files::TrashLocation> out;
    for (size_t i = 0; i < list.size(); ++i) {
        if (removed[i]) continue;
        files::TrashLocation loc = list[i];
        loc.trashIsEmpty = listFolder(loc.trashURL).empty();
        out.push_back(loc);
    }
    return out;
}

PlantedTrashes::PlantedTrashes(const TempHome& home) : root_(home.root() + "/volumes") {
    makeDirs(root_);
    mainwindow::RNSourceListModel::setDefaultLocationsProvider([volumes = volumes_] { return volumes->current(); });
}

PlantedTrashes::~PlantedTrashes() {
    mainwindow::RNSourceListModel::setDefaultLocationsProvider(nullptr);
    mainwindow::RNSourceListModel::setWillMeasureFolderHook(nullptr);
    // Windows are closed by now (their models stopped): what is still queued ends at once.
    mainwindow::sourceListOperationQueue().waitUntilAllOperationsAreFinished();
}

size_t PlantedTrashes::addVolume(const std::string& name) {
    std::lock_guard g(volumes_->mutex);
    const std::string volume = root_ + "/vol" + std::to_string(volumes_->list.size());
    makeDirs(volume + "/.Trash-0/files", 0700);
    makeDirs(volume + "/.Trash-0/info", 0700);
    files::TrashLocation loc;
    loc.trashURL = volume + "/.Trash-0/files";
    loc.volumeURL = volume;
    loc.volumePath = volume;
    loc.volumeName = name;
    volumes_->list.push_back(loc);
    volumes_->removed.push_back(false);
    return volumes_->list.size() - 1;
}

std::string PlantedTrashes::filesDir(size_t volume) const {
    std::lock_guard g(volumes_->mutex);
    return volumes_->list[volume].trashURL;
}

std::string PlantedTrashes::volumePath(size_t volume) const {
    std::lock_guard g(volumes_->mutex);
    return volumes_->list[volume].volumePath;
}

std::string PlantedTrashes::trashDir(size_t volume) const { return volumePath(volume) + "/.Trash-0"; }

void PlantedTrashes::addFile(size_t volume, const std::string& name, const std::string& bytes, const std::string& date) {
    writeFile(filesDir(volume) + "/" + name, bytes);
    if (!date.empty()) TempHome::plantTrashInfo(trashDir(volume), name, date);
}

void PlantedTrashes::addFolder(size_t volume, const std::string& name, int files, const std::string& date) {
    makeDirs(filesDir(volume) + "/" + name);
    for (int i = 0; i < files; ++i) writeFile(filesDir(volume) + "/" + name + "/f" + std::to_string(i), "0123456789");
    if (!date.empty()) TempHome::plantTrashInfo(trashDir(volume), name, date);
}

void PlantedTrashes::removeVolume(size_t volume) {
    std::lock_guard g(volumes_->mutex);
    volumes_->removed[volume] = true;
}

std::vector<files::TrashLocation> PlantedTrashes::locations() {
    return volumes_->current();
}

}  // namespace quillo::test
