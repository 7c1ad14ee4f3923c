// The two sides of the privileged helper's protocol, as the C++ interfaces behind the bus shape
// of HelperBus.h. RNHelperToolProtocol is what the helper's bus object serves (its methods);
// RNHelperToolProtocolProgress is what the client's progress receiver serves (the helper's
// signals, addressed to the caller of an erase).
#pragma once

#include "common/HelperRequest.h"

#include <cstdint>
#include <functional>
#include <string>

namespace quillo::common {

class RNHelperToolProtocol {
public:
    virtual ~RNHelperToolProtocol() = default;
    // getVersionWithReply: the helper's version, compared as a whole string.
    virtual std::string getVersion() const = 0;
    // setStoppedByUser: the run in progress finishes the item in hand and stops.
    virtual void setStoppedByUser(bool stopped) = 0;
};

class RNHelperToolProtocolProgress {
public:
    virtual ~RNHelperToolProtocolProgress() = default;
    // itemsErased: the running totals after one item, the item's own size and its path.
    virtual void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& path) = 0;
    // finishedWithNonErasedCount: the last message of a run.
    virtual void finishedWithNonErasedCount(uint64_t count) = 0;
};

}  // namespace quillo::common
