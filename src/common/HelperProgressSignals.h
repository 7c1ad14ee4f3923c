// The progress protocol on the bus, both ways: the helper's side sends each message as a signal
// addressed to one caller; the client's side decodes such a signal back into a call.
#pragma once

#include "common/RNHelperToolProtocol.h"

#include <cstdint>
#include <string>
#include <vector>

typedef struct sd_bus sd_bus;
typedef struct sd_bus_message sd_bus_message;

namespace quillo::common {

// The helper's remote end of RNHelperToolProtocolProgress: each message leaves as a signal of
// the helper's object for `destination` (a unique bus name) alone. Use it on the thread that
// owns `bus`. A message that cannot be sent is logged and lost; the run goes on.
class HelperProgressSignalSender : public RNHelperToolProtocolProgress {
public:
    HelperProgressSignalSender(sd_bus* bus, std::string destination);

    void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& path) override;
    void itemsNotListed(uint64_t count, uint64_t totSize, uint64_t notListed) override;
    void finishedWithNonErasedCount(uint64_t count) override;
    // One itemsErased signal for several items.
    void itemsErased(uint64_t count, uint64_t totSize, const std::vector<ListedItem>& items, uint64_t notListed);

    // The last failure as a negative errno (0 when every message went out).
    int lastError() const { return lastError_; }

private:
    void send(sd_bus_message* m, int r);

    sd_bus* bus_;
    std::string destination_;
    int lastError_ = 0;
};

// Decodes `signal` when it is one of the helper's progress signals (on its object and
// interface, with the right arguments) and calls the matching message of `receiver`: for a
// signal of several items, itemsErased for each in order, then
// itemsNotListed when some were not listed (or none was). False, with nothing called, for any
// other message. The sender is not checked: the caller decides whom it listens to.
bool deliverHelperProgressSignal(sd_bus_message* signal, RNHelperToolProtocolProgress& receiver);

}  // namespace quillo::common
