// The erase confirmation: a critical alert with an erase button and a cancel button, and a line
// under the text that tells how many trashed items, how many files and folders they hold in all,
// and how many bytes will be erased. While the items are still
// being counted the line says "gathering_info"; the counting (a worker thread) feeds its totals
// in with showSizeInfoStringWithSize() while the alert is up, and the front end redraws the line
// from the request's liveText.
//
// One object per confirmation. Its state lives in a shared block that the front end's liveText
// and the sheet's completion keep alive, so the session may drop the alert while a sheet is
// still open.
#pragma once

#include "erase/RNPromptBackend.h"
#include "erase/RNValue.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace quillo::erase {

class RNAlert {
public:
    // Shows through the shared RNErrorDelegate's backend, or through the one given.
    RNAlert();
    explicit RNAlert(std::shared_ptr<RNPromptBackend> backend);
    RNAlert(const RNAlert&) = delete;
    RNAlert& operator=(const RNAlert&) = delete;

    // `info`: "information" (title), "message" (explanation key), "calculatedStr" (size-line
    // key: "all_disks", "lumo_erase" or "single_disk"), "size", "count" (every entry, nested ones
    // included, as the engine counts), "topLevelCount" (the trashed items themselves; taken as
    // "count" when absent), "isLumoErase", "volumeName". With a parent window the alert is a sheet: the call returns 0 at once and
    // choice() gets the answer later. Without one it is application-modal (run on the main
    // thread; the caller waits) and the answer is returned: 1000 erase, 1001 cancel. An alert
    // that could not be shown at all answers 1001.
    int64_t showAlertWithTrashInfo(const RNDictionary& info, RNWindowHandle window);

    // Adds to the totals (bytes, entries, trashed items) and rebuilds the size line. Safe from
    // any thread.
    void showSizeInfoStringWithSize(uint64_t size, uint64_t count, uint64_t topLevelCount);

    // The answer, 0 until the user has answered.
    int64_t choice() const;

    // What the size line shows now, and the state behind it.
    std::string sizeInfoStr() const;
    std::string originalSizeInfoStr() const;
    bool stopped() const;
    uint64_t totCount() const;
    uint64_t totTopLevelCount() const;
    uint64_t totSize() const;

private:
    struct State {
        mutable std::mutex mutex;
        bool stopped = false;
        uint64_t totCount = 0;
        uint64_t totTopLevel = 0;
        uint64_t totSize = 0;
        std::string baseSizeInfoKey;      // "all_disks", "lumo_erase" or "single_disk"
        std::string originalSizeInfoStr;  // the key in use (the base: the plural forms are in its text)
        std::string sizeInfoStr;
        std::string volumeName;
        std::atomic<int64_t> choice{0};
    };

    std::shared_ptr<RNPromptBackend> backend_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace quillo::erase
