// convert_full_request over arbitrary bodies, read as a chat and as a
// generate: whatever it accepts becomes one strict JSON document with the
// configured model, the system message first and the caller's message after
// it (a generate's prompt last), or a load request with nothing to send;
// everything else is refused with a reason. The reader
// itself is checked against the independent one of json_check.hpp.
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "json_check.hpp"
#include "dialects/local_model/local_request.hpp"
#include "relay/rewrite.hpp"
#include "text/json_read.hpp"
#include "text/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy input(data, size);
    std::string_view body = input.view();
    const std::string_view model = "local\"m";

    json_doc read = json_read(body);
    std::vector<strict_member> members;
    if (read.ok()) {
        FUZZ_CHECK(strict_json(body).parse(members));  // never more lenient than a plain parser
        for (size_t i = 0; i < body.size();) {         // and a document it takes is UTF-8 throughout
            size_t n = static_cast<unsigned char>(body[i]) < 0x80 ? 1 : utf8_sequence(body, i);
            FUZZ_CHECK(n);
            i += n;
        }
    }

    // Every body is read as both endpoints' requests: a chat, and a generate.
    for (local_shape shape : {local_shape::chat, local_shape::generate}) {
        buf out;
        full_request r = convert_full_request(body, model, out, shape);
        if (!r.ok) {
            FUZZ_CHECK(!r.error.empty());
            continue;
        }
        FUZZ_CHECK(read.ok());
        if (r.load) {  // answered at once: nothing to send upstream
            FUZZ_CHECK(out.len == 0);
            continue;
        }
        FUZZ_CHECK(!r.unload);
        check_buf(out);
        exact_copy converted(reinterpret_cast<const uint8_t*>(out.data), out.len);
        json_doc doc = json_read(converted.view());
        FUZZ_CHECK(doc.ok());
        FUZZ_CHECK(json_equals(json_get(doc.root, "model"), model));
        FUZZ_CHECK(json_get(doc.root, "stream").text == (r.stream ? "true" : "false"));
        json_array_cursor messages = json_walk_array(json_get(doc.root, "messages"));
        json_value first, m, last;
        FUZZ_CHECK(json_next(messages, first));
        FUZZ_CHECK(json_equals(json_get(first, "role"), "system"));
        FUZZ_CHECK(json_raw(json_get(first, "content")) == system_text_escaped());
        size_t more = 0;
        // No two calls of the request share an id upstream, and every result
        // answers one of the calls of the assistant message before it.
        std::set<std::string> ids, latest;
        for (; json_next(messages, m); ++more) {
            last = m;
            if (json_equals(json_get(m, "role"), "tool")) {
                buf answers;
                json_decode(json_raw(json_get(m, "tool_call_id")), answers);
                FUZZ_CHECK(latest.count(std::string(answers.view())) == 1);
            }
            json_array_cursor calls = json_walk_array(json_get(m, "tool_calls"));
            json_value call;
            for (bool first = true; json_next(calls, call); first = false) {
                if (first) latest.clear();
                buf id;
                json_decode(json_raw(json_get(call, "id")), id);
                FUZZ_CHECK(id.len > 0 && ids.emplace(id.view()).second);
                latest.emplace(id.view());
            }
        }
        FUZZ_CHECK(more > 0);  // something of the caller's goes up, or it was a load request
        if (shape == local_shape::generate) {
            FUZZ_CHECK(more <= 2 && json_equals(json_get(last, "role"), "user"));
            FUZZ_CHECK(!json_get(doc.root, "tools").given());
        }
    }
    return 0;
}
