// Any bytes given to the request decoder: an error value or a request, never a crash; and a
// decoded request survives its own encoding unchanged.
#include "common/HelperRequest.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace quillo::common;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    HelperError error;
    std::optional<HelperRequest> request =
        decodeHelperRequest(std::string_view(reinterpret_cast<const char*>(data), size), &error);
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
    return 0;
}
