// rebuild_request over arbitrary bodies: the output stays a terminated
// buffer, and the caller's messages follow the system message in order.
#include "rewrite_check.hpp"

// The piece list the sender uses is the rewritten body, and it copies none
// of the caller's bytes: whatever is not a span of the body is the model
// member, the system message and a few bytes of punctuation.
static void check_pieces(std::string_view body, std::string_view model) {
    buf whole;
    int flag = rebuild_request(body, model, whole);
    rewritten_body pieces;
    FUZZ_CHECK(rebuild_pieces(body, model, pieces) == flag);
    buf joined;
    join_pieces(pieces, joined);
    FUZZ_CHECK(joined.view() == whole.view());
    FUZZ_CHECK(pieces.size == joined.len);
    size_t own = 0;
    for (size_t i = 0; i < pieces.count; ++i)
        if (!inside(pieces.piece[i], body)) own += pieces.piece[i].size();
    FUZZ_CHECK(own <= pieces.model_member.len + system_text_escaped().size() + 64);
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
