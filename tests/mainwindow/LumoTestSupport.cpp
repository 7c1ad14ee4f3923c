#include "LumoTestSupport.h"

#include "mainwindow/RNSourceListModel.h"

namespace quillo::test {

PlantedTrashes::PlantedTrashes(const TempHome& home) : root_(home.root() + "/volumes") {
    makeDirs(root_);
    mainwindow::RNSourceListModel::setDefaultLocationsProvider([this] { return locations(); });
}

PlantedTrashes::~PlantedTrashes() {
    mainwindow::RNSourceListModel::setDefaultLocationsProvider(nullptr);
    mainwindow::RNSourceListModel::setWillMeasureFolderHook(nullptr);
}

size_t PlantedTrashes::addVolume(const std::string& name) {
    std::lock_guard g(mutex_);
    const std::string volume = root_ + "/vol" + std::to_string(volumes_.size());
    makeDirs(volume + "/.Trash-0/files", 0700);
    makeDirs(volume + "/.Trash-0/info", 0700);
    files::TrashLocation loc;
    loc.trashURL = volume + "/.Trash-0/files";
    loc.volumeURL = volume;
    loc.volumePath = volume;
    loc.volumeName = name;
    volumes_.push_back(loc);
    removed_.push_back(false);
    return volumes_.size() - 1;
}

std::string PlantedTrashes::trashDir(size_t volume) const { return volumes_[volume].volumePath + "/.Trash-0"; }

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
    std::lock_guard g(mutex_);
    removed_[volume] = true;
}

std::vector<files::TrashLocation> PlantedTrashes::locations() {
    std::lock_guard g(mutex_);
    std::vector<files::TrashLocation> out;
    for (size_t i = 0; i < volumes_.size(); ++i) {
        if (removed_[i]) continue;
        files::TrashLocation loc = volumes_[i];
        loc.trashIsEmpty = listFolder(loc.trashURL).empty();
        out.push_back(loc);
    }
    return out;
}

}  // namespace quillo::test
