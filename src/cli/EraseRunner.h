// Runs erase sessions from the terminal: installs the terminal prompts, the progress line and
// the main loop, starts a session the way the tray menu or the main window would, and waits for
// its "stopWorking".
#pragma once

#include "erase/RNDeleteItems.h"
#include "files/RNFilesUtilities.h"

#include <optional>
#include <string>
#include <vector>

namespace quillo::cli {

struct EraseOutcome {
    bool abandoned = true;    // "stopWorking" came without totals
    bool stoppedByUser = false;
    uint64_t erasedCount = 0;
    uint64_t erasedSize = 0;
    uint64_t notErasedCount = 0;
    std::vector<std::string> itemsLeft;  // the erased items still there at the end
};

// Exit status for an outcome: 0 all erased, 1 something not erased or nothing to erase,
// 130 stopped by the user.
int exitStatusFor(const EraseOutcome& outcome);

class EraseRunner {
public:
    explicit EraseRunner(bool assumeYes);
    ~EraseRunner();

    // All trashes, as the menu's "empty all" does.
    EraseOutcome emptyAllTrashes();
    // One volume's trash, as a disk row of the menu does.
    EraseOutcome emptyVolumeTrash(const files::TrashLocation& trash);
    // Chosen trashed items, as the main window does.
    EraseOutcome eraseItems(const erase::RNItemList& items);

private:
    EraseOutcome run(const erase::RNDictionary& request, bool lumo);
    bool assumeYes_;
};

}  // namespace quillo::cli
