// What the root helper does for a restore the user's own rights cannot finish, and nothing more:
// it unlocks an item of the caller's own trash (the restore itself then runs with the user's
// rights), locks that same item again where the user put it, and moves a folder of the caller's
// trash that the user cannot move (a folder owned by someone else: moving it to another parent
// rewrites its "..", which needs write access to the folder itself).
//
// Nothing is ever put where the caller could not write: every look at a destination (the walk
// to it, the access check, the item found there) runs on a thread that carries the caller's
// file-system identity (fsuid, fsgid and groups), on which the kernel applies the caller's
// permissions and none of root's file-system capabilities.
#pragma once

#include "common/HelperRequest.h"
#include "helper/PathGuard.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::helper {

// Who the caller is on the file system: its uid, primary group and groups from the password
// and group databases.
struct CallerIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    static std::optional<CallerIdentity> forUid(uid_t uid);
};

class RestoreHandOver {
public:
    // More items than this in one request are refused as a whole: each is done while the bus
    // waits, and one restore asks for one item at a time.
    static constexpr size_t kMaxItems = 256;
    // Unlocked items remembered for their lock to be put back (oldest forgotten first).
    static constexpr size_t kMaxRemembered = 4096;

    // One message per item of the request (unlock, lock, then move list), empty for an item done.
    std::vector<std::string> serve(const common::HelperRequest& request, const PathGuard& guard,
                                   const CallerIdentity& caller);

    // An item directly in one of the caller's trashes, owned by the caller: its immutable and
    // append-only flags are cleared and remembered.
    std::string unlock(std::string_view path, const PathGuard& guard);
    // The object unlocked for this caller, now at `path`, in a folder the caller may write and
    // owned by the caller: its flags go back on.
    std::string lock(std::string_view path, const CallerIdentity& caller);
    // A folder directly in one of the caller's trashes goes to `to`, whose folder the caller may
    // write and where nothing is yet; never outside the trash's file system.
    std::string move(std::string_view from, std::string_view to, const PathGuard& guard, const CallerIdentity& caller);

private:
    struct Unlocked {
        uid_t uid;
        uint64_t device, inode;
        int flags;
    };
    std::deque<Unlocked> unlocked_;
};

}  // namespace quillo::helper
