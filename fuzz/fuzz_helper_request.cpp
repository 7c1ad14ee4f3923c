// Any bytes given to the request decoder: an error value or a request, never a crash; a decoded
// request survives its own encoding unchanged; and what the decoder accepts, the property-list
// library reads too, to the same paths. The library's reader recurses on the nesting, so an
// accepted input nested past the decoder's limit ends this target with a stack overflow (it runs
// on a 1 MB stack): a depth check that some spelling defeats is found here.
#include "common/HelperRequest.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace quillo::common;

namespace {

// The library's view of one of the request's arrays, or false when it differs from `paths`.
bool sameAsLibrary(plist_t dict, const char* key, const PathList& paths) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node) return paths.empty();
    if (plist_get_node_type(node) != PLIST_ARRAY || plist_array_get_size(node) != paths.size()) return false;
    for (uint32_t i = 0; i < paths.size(); ++i) {
        plist_t item = plist_array_get_item(node, i);
        uint64_t len = 0;
        const char* bytes = nullptr;
        if (plist_get_node_type(item) == PLIST_STRING) bytes = plist_get_string_ptr(item, &len);
        else if (plist_get_node_type(item) == PLIST_DATA) bytes = plist_get_data_ptr(item, &len);
        else return false;
        // The library does not keep a string with a NUL byte as it was (the decoder keeps it
        // whole, and the helper refuses such a path): only the rest is compared.
        if (plist_get_node_type(item) == PLIST_STRING && paths[i].find('\0') != std::string_view::npos) continue;
        if (std::string_view(bytes ? bytes : "", bytes ? len : 0) != paths[i]) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HelperError error;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::optional<HelperRequest> request = decodeHelperRequest(input, &error);
    if (!request) {
        if (error.domain != HelperError::Domain::PropertyList || error.message.empty()) std::abort();
        return 0;
    }
    if (error) std::abort();
    std::optional<std::string> again = encodeHelperRequest(*request);
    if (!again) std::abort();
    std::optional<HelperRequest> back = decodeHelperRequest(*again, &error);
    if (!back || !(*back == *request)) {
        std::fprintf(stderr, "round trip changed the request: %s\n", error.message.c_str());
        std::abort();
    }
    const std::string text(input);
    plist_t root = nullptr;
    plist_from_xml(text.c_str(), uint32_t(text.size()), &root);
    if (root && plist_get_node_type(root) == PLIST_DICT &&
        (!sameAsLibrary(root, kUnlockItemsKey, request->unlockItems) ||
         !sameAsLibrary(root, kPermissionsItemsKey, request->permissionsItems) ||
         !sameAsLibrary(root, kNotTrashedBecauseFolderNotEmptyKey, request->notTrashedBecauseFolderNotEmpty) ||
         !sameAsLibrary(root, kRestoreUnlockItemsKey, request->restoreUnlockItems) ||
         !sameAsLibrary(root, kRestoreLockItemsKey, request->restoreLockItems) ||
         !sameAsLibrary(root, kRestoreMoveItemsKey, request->restoreMoveItems) ||
         !sameAsLibrary(root, kRestoreMoveDestinationsKey, request->restoreMoveDestinations))) {
        std::fprintf(stderr, "the decoder and the property-list library read different paths\n");
        std::abort();
    }
    plist_free(root);
    return 0;
}
