// The request the application sends to the privileged helper, as an XML property list.
//
// Paths are bytes. A path that is valid UTF-8 without the control characters XML forbids goes
// as a <string>; any other path goes as <data> holding its bytes, so that a trashed file named
// "bad\xff" reaches the helper unchanged. The decoder takes either form.
#pragma once

#include "common/HelperBus.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::common {

inline constexpr char kUnlockItemsKey[] = "unlockItems";
inline constexpr char kPermissionsItemsKey[] = "permissionsItems";
inline constexpr char kNotTrashedBecauseFolderNotEmptyKey[] = "notTrashedBecauseFolderNotEmpty";
inline constexpr char kErasedSizeKey[] = "erasedSize";
inline constexpr char kErasedCountKey[] = "erasedCount";

// Larger requests are refused before parsing: the helper parses as root.
inline constexpr std::size_t kMaxHelperRequestBytes = 64u << 20;
// A request is <plist><dict><array><string> deep; deeper nesting is refused before parsing (the
// property-list library frees, and may parse, recursively: a million nested arrays would end the
// root helper with a stack overflow). The margin leaves room for keys the decoder ignores.
inline constexpr std::size_t kMaxHelperRequestNesting = 8;

struct HelperRequest {
    std::vector<std::string> unlockItems;       // locked items the user could not unlock
    std::vector<std::string> permissionsItems;  // items the user's rights could not remove
    std::vector<std::string> notTrashedBecauseFolderNotEmpty;  // folders left non-empty
    uint64_t erasedSize = 0;   // bytes the application erased before the hand-over
    uint64_t erasedCount = 0;  // items the application erased before the hand-over

    bool operator==(const HelperRequest&) const = default;
};

// The XML property list (version 1.0). Empty arrays are left out; the two totals are always
// written. nullopt only when the property-list library fails to write.
std::optional<std::string> encodeHelperRequest(const HelperRequest& request);

// Decodes a request. Anything but an XML property list whose root is a dictionary with the keys
// above in their types is an error (Domain PropertyList), never a crash. Missing arrays are
// empty, missing totals 0; other keys are ignored.
std::optional<HelperRequest> decodeHelperRequest(std::string_view bytes, HelperError* error = nullptr);

// True when `s` can travel as a property-list <string> and come back byte for byte.
bool isPropertyListText(std::string_view s);

}  // namespace quillo::common
