// build_local_reply (relay mode) and build_full_reply (full mode) over
// arbitrary upstream answers and statuses.
//
// The embeddings conversions over the same answers: the local-model reply
// (the input count from the status) and the base64 rewrite.
//
// Input layout: two bytes of status (little endian, modulo 600), then the answer.
#include <vector>

#include "fuzz_check.hpp"
#include "json_check.hpp"
#include "dialects/embeddings/embeddings.hpp"
#include "dialects/local_model/local_dialect.hpp"
#include "dialects/local_model/local_lines.hpp"
#include "text/key_mask.hpp"
#include "text/json_read.hpp"

namespace {

const std::string_view key = "sk-fuzz/key";
const local_clock fixed_clock{[]() -> int64_t { return 5000; }, []() -> int64_t { return 1700000000000000000; }};

// Full mode: one JSON object, the success shape only as a 200, an error
// under the upstream's status or 502, and never the key in an error (the
// answer masked first, as every upstream answer is).
void check_full_reply(unsigned long status, std::string_view answer) {
    static const mask_keys keys = [] {
        mask_keys k;
        mask_keys_add(k, key);
        return k;
    }();
    buf masked;
    put_masked(masked, answer, keys);
    buf body;
    local_reply r = build_full_reply(status, masked.view(), "mo\"del", {1000, 2000, 3000}, fixed_clock, body);
    check_buf(body);
    std::vector<strict_member> members;
    FUZZ_CHECK(strict_json(body.view()).parse(members));
    json_doc doc = json_read(body.view());
    FUZZ_CHECK(doc.ok() && doc.root.is(json_kind::object));
    if (!r.success) {
        FUZZ_CHECK(r.status == (status >= 400 ? static_cast<int>(status) : 502));
        FUZZ_CHECK(json_get(doc.root, "error").is(json_kind::string));
        FUZZ_CHECK(body.view().find(key) == std::string_view::npos);
        return;
    }
    FUZZ_CHECK(r.status == 200 && status < 400);
    FUZZ_CHECK(json_equals(json_get(doc.root, "model"), "mo\"del"));
    FUZZ_CHECK(json_get(doc.root, "done").text == "true");
    json_value message = json_get(doc.root, "message");
    FUZZ_CHECK(json_get(message, "content").is(json_kind::string));
    json_value calls = json_get(message, "tool_calls");
    FUZZ_CHECK(!calls.given() || calls.is(json_kind::array));
    json_array_cursor c = json_walk_array(calls);
    json_value call;
    for (long long k = 0; json_next(c, call); ++k) {
        json_value function = json_get(call, "function");
        FUZZ_CHECK(json_get(function, "arguments").is(json_kind::object));
        FUZZ_CHECK(json_uint(json_get(function, "index")) == k);
    }
}

// A reply only when every input has exactly one vector, and then valid JSON
// with that many arrays; the base64 rewrite is valid JSON whenever it is made.
void check_embed_reply(unsigned long status, std::string_view answer) {
    size_t inputs = status % 4 + 1;
    for (embed_shape shape : {embed_shape::embed, embed_shape::legacy}) {
        buf body;
        error_text problem;
        token_usage used;
        int got = build_local_embed_reply(answer, shape, "mo\\\"del", inputs, 7, body, problem, used);
        check_buf(body);
        if (got != 0) {
            FUZZ_CHECK(got == 502 && !problem.empty());
            continue;
        }
        std::vector<strict_member> members;
        FUZZ_CHECK(strict_json(body.view()).parse(members));
        json_doc doc = json_read(body.view());
        FUZZ_CHECK(doc.ok() && doc.root.is(json_kind::object));
        if (shape == embed_shape::legacy) {
            FUZZ_CHECK(json_get(doc.root, "embedding").is(json_kind::array));
            continue;
        }
        FUZZ_CHECK(json_equals(json_get(doc.root, "model"), "mo\"del"));
        json_array_cursor c = json_walk_array(json_get(doc.root, "embeddings"));
        json_value vector;
        size_t n = 0;
        for (; json_next(c, vector); ++n) FUZZ_CHECK(vector.is(json_kind::array));
        FUZZ_CHECK(n == inputs);
    }
    buf converted;
    if (embeddings_as_base64(answer, converted)) {
        check_buf(converted);
        std::vector<strict_member> members;
        FUZZ_CHECK(converted.failed || strict_json(converted.view()).parse(members));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    unsigned long status = (static_cast<unsigned long>(data[0]) | static_cast<unsigned long>(data[1]) << 8) % 600;
    exact_copy input(data + 2, size - 2);
    std::string_view answer = input.view();
    check_full_reply(status, answer);
    check_embed_reply(status, answer);
    const std::string_view created = "2024-01-02T03:04:05Z";

    buf body;
    local_reply r = build_local_reply(status, answer, "mo\"del", created, body);
    check_buf(body);
    std::string_view got = body.view();

    if (status >= 400) {
        FUZZ_CHECK(r.status == static_cast<int>(status));
        FUZZ_CHECK(!r.success);
        std::string_view head = "{\"error\":\"";
        FUZZ_CHECK(got.substr(0, head.size()) == head);
        FUZZ_CHECK(got.size() >= head.size() + 2 && got.substr(got.size() - 2) == "\"}");
        std::vector<strict_member> members;
        FUZZ_CHECK(strict_json(got).parse(members));
        return 0;
    }

    FUZZ_CHECK(r.status == 200 && r.success);
    std::string_view head = "{\"model\":\"mo\\\"del\",\"created_at\":\"2024-01-02T03:04:05Z\","
                            "\"message\":{\"role\":\"assistant\",\"content\":\"";
    FUZZ_CHECK(got.substr(0, head.size()) == head);
    std::string_view mid = "\"},\"done\":true,\"done_reason\":\"";
    size_t at = got.rfind(mid);
    FUZZ_CHECK(at != std::string_view::npos && at >= head.size());
    // The content is copied as the upstream wrote it where that is valid
    // JSON string text; every mend adds a backslash or U+FFFD, so content
    // without either is a span of the answer.
    std::string_view content = got.substr(head.size(), at - head.size());
    bool plain = content.find('\\') == std::string_view::npos;
    for (unsigned char c : content) plain &= c < 0x80;
    if (plain) FUZZ_CHECK(answer.find(content) != std::string_view::npos);

    std::string_view rest = got.substr(at + mid.size());
    FUZZ_CHECK(rest.starts_with("stop\",\"") || rest.starts_with("length\",\""));
    FUZZ_CHECK(rest.find("\"prompt_eval_count\":") != std::string_view::npos);
    FUZZ_CHECK(rest.find(",\"eval_count\":") != std::string_view::npos);
    FUZZ_CHECK(got.back() == '}');
    // Whatever the upstream sent, the reply is one valid JSON document.
    std::vector<strict_member> members;
    FUZZ_CHECK(strict_json(got).parse(members));
    return 0;
}
