// The one question the helper asks polkit: may this bus name perform this action? Asked
// asynchronously, so the helper keeps answering (version, stop) while the user types a password.
#pragma once

#include <functional>
#include <map>
#include <string>

typedef struct sd_bus sd_bus;
typedef struct sd_bus_slot sd_bus_slot;

namespace quillo::helper {

// What polkit's answer means for the erase: 0 authorized, -60006 dismissed by the user,
// -60005 for everything else (refused, a challenge no agent answered, an error, no polkit).
int authorizationStatusForAnswer(bool isAuthorized, bool isChallenge, const std::map<std::string, std::string>& details);
int authorizationStatusForError(const std::string& errorName);

// True for the errors that mean polkit is not on the bus at all.
bool isPolkitMissingError(const std::string& errorName);

class PolkitAuthority {
public:
    using Done = std::function<void(int status)>;

    // CheckAuthorization for subject ("system-bus-name", {"name": sender}) and `actionId`,
    // user interaction allowed, under `cancellationId` (unique per check). `done` is called
    // once, on the bus's event loop (or right away when the call cannot even be sent). Returns
    // the pending call's slot (owned by the caller; unreffing it forgets the call without
    // calling `done`, while polkit goes on asking: see cancelCheckAuthorization), or null when
    // `done` was already called. A check polkit has not answered after kTimeoutUsec is refused
    // and cancelled.
    static sd_bus_slot* checkAuthorization(sd_bus* bus, const std::string& sender, const std::string& actionId,
                                           const std::string& cancellationId, Done done);
    // Asks polkit to end the check started under `cancellationId` (its authentication dialog
    // closes); no answer is awaited.
    static void cancelCheckAuthorization(sd_bus* bus, const std::string& cancellationId);

    // How long the user may take to answer the password dialog.
    static constexpr uint64_t kTimeoutUsec = 2ull * 60 * 1000000;
};

}  // namespace quillo::helper
