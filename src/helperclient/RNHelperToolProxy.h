// The application's remote end of RNHelperToolProtocol: each message is sent to the helper over
// a HelperBusConnection. What the helper answers comes back through the message's reply; what
// the bus answers instead (no helper, no reply in time, connection lost) goes to the proxy's
// error handler, as does any error answer to a message whose reply carries nothing. Replies and
// the error handler run on the connection's thread, once per message.
//
// The proxy holds nothing a reply needs: it may go as soon as its messages are sent. The
// connection must outlive it.
#pragma once

#include "common/RNHelperToolProtocol.h"
#include "helperclient/HelperBusConnection.h"
#include "helperclient/HelperClientError.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::helperclient {

class RNHelperToolProxy : public common::RNHelperToolProtocol {
public:
    using ErrorHandler = std::function<void(const HelperClientError& error)>;
    // The erase reply with the unique bus name of the helper that answered: the accepted run's
    // progress comes from that name, and from no other.
    using EraseReplyFrom = std::function<void(const common::HelperError& error, const std::string& helperName)>;

    // How long each reply may take. The erase request's reply waits for polkit, which may wait
    // for the user to type a password for up to ten minutes.
    static constexpr uint64_t kVersionTimeoutUsec = 25ull * 1000000;
    static constexpr uint64_t kEraseReplyTimeoutUsec = 11ull * 60 * 1000000;
    static constexpr uint64_t kStopTimeoutUsec = 10ull * 1000000;

    RNHelperToolProxy(HelperBusConnection& connection, ErrorHandler errorHandler);

    void getVersionWithReply(VersionReply reply) override;
    void eraseWithAuthorization(std::string_view authorization, std::string_view itemsDictionary,
                                EraseReply reply) override;
    void eraseWithAuthorization(std::string_view authorization, std::string_view itemsDictionary,
                                EraseReplyFrom reply);
    // Not a message of the bus: unlocking is a step of the helper's own run. Nothing is sent and
    // nothing is unlocked.
    std::vector<std::string> unlockItemsWithArray(std::vector<std::string> paths) override;
    // Replied with the helper's messages or its error; what the bus answers instead goes to the
    // error handler.
    void restoreWithAuthorization(std::string_view authorization, std::string_view request,
                                  RestoreReply reply) override;
    void setStoppedByUser(bool stopped) override;

private:
    HelperBusConnection& connection_;
    ErrorHandler errorHandler_;
};

}  // namespace quillo::helperclient
