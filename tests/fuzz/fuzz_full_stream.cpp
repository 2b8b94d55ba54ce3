// The event-to-line conversion over arbitrary upstream streams: however the
// stream is cut into blocks, the same lines come out, each one JSON object
// on one line, the last a final or an error line, tool calls with object
// arguments, and no error line holds the key. The stream passes the key
// mask first, as every upstream answer does.
//
// Input layout: one byte seeding where the blocks are cut, then the stream.
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "dialects/local_model/local_lines.hpp"
#include "text/key_mask.hpp"
#include "text/json_read.hpp"

namespace {

const std::string_view key = "sk-fuzz/key";
const local_clock fixed_clock{[]() -> int64_t { return 5000; }, []() -> int64_t { return 1700000000000000000; }};

void keep(void* ctx, std::string_view line) { static_cast<std::vector<std::string>*>(ctx)->emplace_back(line); }

bool to_lines(void* ctx, std::string_view bytes) { return full_stream_feed(*static_cast<full_stream*>(ctx), bytes); }

// Feeds `stream` cut after every `step` bytes (0: one block), each block an
// exact heap copy, then ends the body.
std::vector<std::string> convert(std::string_view stream, size_t step) {
    static const mask_keys keys = [] {
        mask_keys k;
        mask_keys_add(k, key);
        return k;
    }();
    key_masker masker(&keys);
    full_stream s;
    std::vector<std::string> lines;
    full_stream_start(s, "m", {1000, 2000, 0}, fixed_clock, keep, &lines);
    size_t at = 0;
    bool more = true;
    while (more && at < stream.size()) {
        size_t n = step ? std::min(step, stream.size() - at) : stream.size();
        exact_copy block(reinterpret_cast<const uint8_t*>(stream.data() + at), n);
        more = mask_feed(masker, block.view(), to_lines, &s) && !s.finished;
        at += n;
    }
    if (more) mask_end(masker, to_lines, &s);
    full_stream_end(s);
    FUZZ_CHECK(!full_stream_feed(s, "data: [DONE]\n\n"));
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string> whole = convert(stream, 0);
    FUZZ_CHECK(convert(stream, 1) == whole);
    FUZZ_CHECK(convert(stream, 1 + data[0] % 97) == whole);

    FUZZ_CHECK(!whole.empty());  // the stream always ends with a final or an error line
    long long calls_before = 0;  // the reply's calls in the lines so far
    for (size_t i = 0; i < whole.size(); ++i) {
        std::string_view line = whole[i];
        FUZZ_CHECK(line.size() > 1 && line.back() == '\n' && line.find('\n') == line.size() - 1);
        json_doc doc = json_read(line.substr(0, line.size() - 1));
        FUZZ_CHECK(doc.ok() && doc.root.is(json_kind::object));
        bool error = json_get(doc.root, "error").given();
        bool done = json_get(doc.root, "done").text == "true";
        FUZZ_CHECK((error || done) == (i + 1 == whole.size()));
        if (error) {
            FUZZ_CHECK(line.find(key) == std::string_view::npos);
        } else {
            FUZZ_CHECK(json_equals(json_get(doc.root, "model"), "m"));
            FUZZ_CHECK(json_get(doc.root, "created_at").is(json_kind::string));
            json_value message = json_get(doc.root, "message");
            FUZZ_CHECK(json_get(message, "content").is(json_kind::string));
            // Gathered calls go out whole: each with its arguments as an object,
            // numbered by its position among the reply's calls.
            json_array_cursor calls = json_walk_array(json_get(message, "tool_calls"));
            json_value call;
            while (json_next(calls, call)) {
                json_value function = json_get(call, "function");
                FUZZ_CHECK(json_get(function, "arguments").is(json_kind::object));
                FUZZ_CHECK(json_uint(json_get(function, "index")) == calls_before++);
            }
        }
    }
    return 0;
}
