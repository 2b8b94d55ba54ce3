// rebuild_request over arbitrary bodies: the output stays a terminated
// buffer, and the caller's messages follow the system message in order.
#include "rewrite_check.hpp"
#include "rewrite_reference.hpp"

// The piece list joined is exactly the body the single-copy rewrite built.
static void check_pieces(std::string_view body, std::string_view model) {
    buf expect;
    int expect_flag = reference_rebuild(body, model, expect);
    rewritten_body pieces;
    FUZZ_CHECK(rebuild_pieces(body, model, pieces) == expect_flag);
    buf joined;
    join_pieces(pieces, joined);
    FUZZ_CHECK(joined.view() == expect.view());
    FUZZ_CHECK(pieces.size == expect.len);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy body(data, size);
    check_rebuild(body.view(), "auto");
    // A model that needs escaping must not break the member it lands in.
    check_rebuild(body.view(), "m\"od\\el\n\x01");
    check_pieces(body.view(), "auto");
    check_pieces(body.view(), "m\"od\\el\n\x01");
    return 0;
}
