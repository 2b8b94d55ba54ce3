// convert_local_request over arbitrary bodies, followed by the rewrite the
// relay applies to its output.
#include "dialects/local_model/local_dialect.hpp"
#include "rewrite_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact_copy input(data, size);
    std::string_view body = input.view();
    const std::string_view model = "local\"m";

    buf out;
    body_refusal refused;
    int stream = convert_local_request(body, model, out, &refused);
    check_buf(out);
    std::string_view got = out.view();
    // Refused exactly when the body is no JSON object or repeats a key.
    std::vector<strict_member> in;
    int object = read_as_object(body, in);
    if (object >= 0 && refused.repeated.empty()) FUZZ_CHECK(refused.empty() == (object == 1));
    if (!refused.empty()) {
        FUZZ_CHECK(got.empty());
        return 0;
    }
    FUZZ_CHECK(stream == detect_stream_flag(body));

    std::string_view head = "{\"model\":\"local\\\"m\",\"messages\":";
    FUZZ_CHECK(got.substr(0, head.size()) == head);
    std::string_view tail = stream ? ",\"stream\":true}" : ",\"stream\":false}";
    FUZZ_CHECK(got.size() >= head.size() + tail.size());
    FUZZ_CHECK(got.substr(got.size() - tail.size()) == tail);
    std::string_view carried = got.substr(head.size(), got.size() - head.size() - tail.size());

    json_member messages = json_top_member(body, "messages");
    if (messages.found && body[messages.value_pos] == '[') {
        FUZZ_CHECK(carried == messages.value(body));  // the caller's array byte for byte
    } else {
        FUZZ_CHECK(carried == "[]");
    }

    // The relay rewrites what this produced; hand it over in an exact block too.
    exact_copy converted(reinterpret_cast<const uint8_t*>(got.data()), got.size());
    check_rebuild(converted.view(), model);
    return 0;
}
