// convert_full_request over arbitrary bodies: whatever it accepts becomes
// one strict JSON document with the configured model and the system
// message first; everything else is refused with a reason. The reader
// itself is checked against the independent one of json_check.hpp.
#include <vector>

#include "fuzz_check.hpp"
#include "json_check.hpp"
#include "relay/local_request.hpp"
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

    buf out;
    full_request r = convert_full_request(body, model, out);
    if (!r.ok) {
        FUZZ_CHECK(!r.error.empty());
        return 0;
    }
    FUZZ_CHECK(read.ok());
    check_buf(out);
    exact_copy converted(reinterpret_cast<const uint8_t*>(out.data), out.len);
    json_doc doc = json_read(converted.view());
    FUZZ_CHECK(doc.ok());
    FUZZ_CHECK(json_equals(json_get(doc.root, "model"), model));
    FUZZ_CHECK(json_get(doc.root, "stream").text == (r.stream ? "true" : "false"));
    json_array_cursor messages = json_walk_array(json_get(doc.root, "messages"));
    json_value first;
    FUZZ_CHECK(json_next(messages, first));
    FUZZ_CHECK(json_equals(json_get(first, "role"), "system"));
    FUZZ_CHECK(json_raw(json_get(first, "content")) == system_text_escaped());
    return 0;
}
