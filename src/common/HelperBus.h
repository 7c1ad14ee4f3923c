// The shape of the privileged helper on the system bus, shared by the helper and its client:
// names, methods, signals, error names and the status codes both sides agree on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillo::common {

// The helper label is also its well-known bus name and names its object and interface.
inline constexpr char kHelperLabel[] = "org.quillo.Quillo3Helper";
inline constexpr char kHelperBusName[] = "org.quillo.Quillo3Helper";
inline constexpr char kHelperObjectPath[] = "/org/quillo/Quillo3Helper";
inline constexpr char kHelperInterface[] = "org.quillo.Quillo3Helper";

// The version the client compares with as a whole string; both sides change it together.
inline constexpr char kHelperVersion[] = "2.1.0";

// Methods: name, input signature, output signature.
inline constexpr char kGetVersionMethod[] = "getVersionWithReply";  // () -> (s)
inline constexpr char kGetVersionIn[] = "";
inline constexpr char kGetVersionOut[] = "s";
// (ay authorization, ay request) -> (); replied as soon as the request is accepted.
inline constexpr char kEraseMethod[] = "eraseWithAuthorization";
inline constexpr char kEraseIn[] = "ayay";
inline constexpr char kEraseOut[] = "";
// (ay authorization, ay request) -> (as messages): a restore's hand-over, done before the reply;
// one message per item of the request (its unlock, lock and move lists in that order), empty
// for an item done.
inline constexpr char kRestoreMethod[] = "restoreWithAuthorization";
inline constexpr char kRestoreIn[] = "ayay";
inline constexpr char kRestoreOut[] = "as";
inline constexpr char kSetStoppedByUserMethod[] = "setStoppedByUser";  // (b) -> ()
inline constexpr char kSetStoppedByUserIn[] = "b";
inline constexpr char kSetStoppedByUserOut[] = "";

// Signals, addressed to the caller of the erase request only, at most one every 0.1 s.
// itemsErased: (t count, t totSize, a(t count, t totSize, t itemSize, ay path) items,
// t notListed): the totals after the items handled since the last signal, those of them that are
// listed, in order, each with the totals after it, and how many more were handled without being
// listed (failures past the first few of a run, or items the caller was too slow to take).
inline constexpr char kItemsErasedSignal[] = "itemsErased";
inline constexpr char kItemsErasedSignature[] = "tta(tttay)t";
// The one-item form (t count, t totSize, t itemSize, ay path) of earlier helpers, still read.
inline constexpr char kItemsErasedSignatureOne[] = "tttay";
inline constexpr char kFinishedSignal[] = "finishedWithNonErasedCount";  // (t count), last of a run
inline constexpr char kFinishedSignature[] = "t";

// Error replies. OSStatus messages start with the decimal status and ": ".
inline constexpr char kOSStatusErrorName[] = "org.quillo.Quillo3Helper.Error.OSStatus";
inline constexpr char kPropertyListErrorName[] = "org.quillo.Quillo3Helper.Error.PropertyList";

// The authorization token travels as exactly this many opaque bytes.
inline constexpr std::size_t kAuthorizationDataLength = 32;

// Status codes whose meaning both sides keep.
inline constexpr int kOSStatusParamErr = -50;                // malformed argument, or helper busy
inline constexpr int kErrAuthorizationDenied = -60005;       // not authorized
inline constexpr int kErrAuthorizationCanceled = -60006;     // the user dismissed the dialog

// The property-list decoder's code for data that is not a well-formed request.
inline constexpr int kPropertyListReadCorruptError = 3840;

// polkit's authority on the system bus.
inline constexpr char kPolkitBusName[] = "org.freedesktop.PolicyKit1";
inline constexpr char kPolkitObjectPath[] = "/org/freedesktop/PolicyKit1/Authority";
inline constexpr char kPolkitInterface[] = "org.freedesktop.PolicyKit1.Authority";
inline constexpr unsigned kPolkitAllowUserInteraction = 1;
inline constexpr char kPolkitDismissedDetail[] = "polkit.dismissed";

// An error as it crosses the bus. Domain None means success.
struct HelperError {
    enum class Domain { None, OSStatus, PropertyList };
    Domain domain = Domain::None;
    int code = 0;
    std::string message;  // without the "-50: " prefix for OSStatus

    explicit operator bool() const { return domain != Domain::None; }

    static HelperError osStatus(int code, std::string text);
    static HelperError propertyList(std::string text, int code = kPropertyListReadCorruptError);

    // The D-Bus error name and message this error is sent as (empty name for success).
    const char* busErrorName() const;
    std::string busErrorMessage() const;

    // The client's way back from a D-Bus error reply: nullopt for names that are not ours
    // (transport errors, which the caller reports by their own name). An OSStatus message
    // without a readable status counts as -50.
    static std::optional<HelperError> fromBusError(std::string_view name, std::string_view message);
};

// "-60005: not authorized" and back.
std::string formatOSStatusMessage(int status, std::string_view text);
std::optional<int> osStatusFromMessage(std::string_view message);

}  // namespace quillo::common
