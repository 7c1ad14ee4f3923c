// The erase session's way to the privileged helper. The helper client implements it; the
// session is its delegate and receives the helper's progress and end.
#pragma once

#include "erase/RNValue.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillo::erase {

// What the session offers the helper client (called on the client's connection thread).
class RNSecureAccessDelegate {
public:
    virtual ~RNSecureAccessDelegate() = default;
    virtual void setTotItemsDeleted(uint64_t count) = 0;  // running totals, starting from the sent ones
    virtual void setTotSizeDeleted(uint64_t size) = 0;
    virtual void writeLogEntryWithPath(const std::string& path, uint64_t size) = 0;
    virtual void setNotErasedCount(uint64_t count) = 0;  // the helper's own failures, at the end
    virtual void setIsWorking(bool working) = 0;         // false once, at the end of the pass
    virtual void showErrorWithError(const std::string& localizedDescription) = 0;
};

class RNPrivilegedEraser {
public:
    virtual ~RNPrivilegedEraser() = default;
    // Sends the request ("unlockItems", "permissionsItems", "notTrashedBecauseFolderNotEmpty",
    // "erasedSize", "erasedCount"). Called on the main thread; returns once the request is on
    // its way (or has failed, in which case the delegate has already been told the end).
    virtual void authorizedEraseWithDictionary(const RNDictionary& request) = 0;
    // Asks a running pass to stop after the item in hand.
    virtual void stoppedByUser(bool stopped) = 0;
};

// A restore's way to the privileged helper, for what the user's own rights cannot do. Each call
// returns once the helper has answered (polkit may first ask for a password): empty when done,
// otherwise why not (the helper's reason, or the authorization's or connection's error, shown
// as it is). Called on the restoring thread, never the main thread of a GUI.
class RNPrivilegedRestorer {
public:
    virtual ~RNPrivilegedRestorer() = default;
    // Clears the lock of an item directly in one of the user's trashes.
    virtual std::string unlockTrashedItem(const std::string& path) = 0;
    // Locks again an item the helper unlocked, where it now is.
    virtual std::string lockRestoredItem(const std::string& path) = 0;
    // Moves a folder of the user's trash that the user cannot move to `to`, in a folder the user
    // may write.
    virtual std::string moveTrashedFolder(const std::string& from, const std::string& to) = 0;
};

using RNPrivilegedRestorerFactory = std::function<std::unique_ptr<RNPrivilegedRestorer>()>;

using RNPrivilegedEraserFactory = std::function<std::unique_ptr<RNPrivilegedEraser>(RNSecureAccessDelegate*)>;

}  // namespace quillo::erase
