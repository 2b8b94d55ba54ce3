// rebuild_request over arbitrary bodies: the output stays a terminated
// buffer, and the caller's messages follow the system message in order.
#include "rewrite_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy body(data, size);
    check_rebuild(body.view(), "auto");
    // A model that needs escaping must not break the member it lands in.
    check_rebuild(body.view(), "m\"od\\el\n\x01");
    return 0;
}
