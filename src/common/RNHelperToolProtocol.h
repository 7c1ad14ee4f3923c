// The two sides of the privileged helper's protocol, as the C++ interfaces behind the bus shape
// of HelperBus.h.
//
// RNHelperToolProtocol is what the helper serves: the helper tool implements it, its bus
// methods only decode a call and hand it on; the client's proxy implements it by sending each
// message over the bus. RNHelperToolProtocolProgress is what the client serves: the client
// implements it, the helper's side implements it by sending each message as a signal addressed
// to the caller of the erase.
//
// Replies and progress arrive on the connection's own thread on either side, never assumed to
// be the main thread.
#pragma once

#include "common/HelperBus.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::common {

class RNHelperToolProtocol {
public:
    using VersionReply = std::function<void(const std::string& version)>;
    // An empty error when the request was accepted.
    using EraseReply = std::function<void(const HelperError& error)>;

    virtual ~RNHelperToolProtocol() = default;

    // getVersionWithReply: the helper's version, which the client compares as a whole string.
    virtual void getVersionWithReply(VersionReply reply) = 0;

    // eraseWithAuthorization:itemsDictionary:withReply: `authorization` is the opaque token
    // (kAuthorizationDataLength bytes), `itemsDictionary` the request as an XML property list
    // (HelperRequest.h). `reply` is called once: with nothing as soon as the request is
    // accepted, before any item is erased (the run is followed through the progress messages),
    // or with the authorization or decoding error, in which case nothing is erased.
    virtual void eraseWithAuthorization(std::string_view authorization, std::string_view itemsDictionary,
                                        EraseReply reply) = 0;

    // unlockItemsWithArray: clears the locks of `paths` and gives back those whose unlocking
    // succeeded. A step of the helper's own run; the application never sends it.
    virtual std::vector<std::string> unlockItemsWithArray(std::vector<std::string> paths) = 0;

    // restoreWithAuthorization: a restore's hand-over (HelperRequest's restore lists), done once
    // polkit grants the erase right; `reply` gets one message per item (empty for an item done),
    // or the authorization or decoding error, in which case nothing was done.
    using RestoreReply = std::function<void(const HelperError& error, const std::vector<std::string>& messages)>;
    virtual void restoreWithAuthorization(std::string_view /*authorization*/, std::string_view /*request*/,
                                          RestoreReply reply) {
        reply(HelperError::osStatus(kOSStatusParamErr, "restore hand-over not supported"), {});
    }

    // setStoppedByUser: the run in progress finishes the item in hand and stops.
    virtual void setStoppedByUser(bool stopped) = 0;
};

// One item as the helper lists it: the totals after it, its size and its path.
struct ListedItem {
    uint64_t count = 0, totSize = 0, itemSize = 0;
    std::string path;
};

class RNHelperToolProtocolProgress {
public:
    virtual ~RNHelperToolProtocolProgress() = default;
    // itemsErased: the running totals after one item, the item's own size and its path. Sent for
    // every item the helper handled, erased or not; the totals include what the application
    // erased before the hand-over.
    virtual void itemsErased(uint64_t count, uint64_t totSize, uint64_t itemSize, const std::string& path) = 0;
    // The totals after items the helper handled without listing them here (`notListed` of them:
    // failures past the first few of a run, or items the caller was too slow to take).
    virtual void itemsNotListed(uint64_t /*count*/, uint64_t /*totSize*/, uint64_t /*notListed*/) {}
    // finishedWithNonErasedCount: the last message of a run (also after a stop).
    virtual void finishedWithNonErasedCount(uint64_t count) = 0;
};

}  // namespace quillo::common
