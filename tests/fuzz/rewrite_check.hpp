// The invariants of rebuild_request, shared by the targets that reach it.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "json_check.hpp"
#include "relay/rewrite.hpp"
#include "text/json_scan.hpp"

inline bool holds_non_ws(std::string_view s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return true;
    return false;
}

// Rewrites `body` (which must end where its block ends) and checks the result.
inline size_t count_key(const std::vector<strict_member>& members, std::string_view key) {
    size_t n = 0;
    for (const strict_member& m : members) n += m.key == key;
    return n;
}

// For a body that is one JSON document, what the upstream's parser sees:
// no key the rewrite decides on twice, the configured model, and the system
// message first; or, when the caller repeated such a key, nothing at all.
inline void check_as_parsed(std::string_view body, std::string_view model, std::string_view repeated,
                            std::string_view got) {
    std::vector<strict_member> in;
    if (!strict_json(body).parse(in)) return;
    size_t most = 0;
    for (std::string_view key : {"model", "messages", "stream"}) most = std::max(most, count_key(in, key));
    FUZZ_CHECK((most > 1) == !repeated.empty());
    if (!repeated.empty()) {
        FUZZ_CHECK(count_key(in, repeated) > 1);
        FUZZ_CHECK(got.empty());
        return;
    }
    const strict_member* messages = nullptr;
    for (const strict_member& m : in)
        if (m.key == "messages") messages = &m;
    if (!messages || messages->value[0] != '[') return;

    std::vector<strict_member> out;
    FUZZ_CHECK(strict_json(got).parse(out));
    FUZZ_CHECK(count_key(out, "model") == 1 && count_key(out, "messages") == 1);
    for (const strict_member& m : out) {
        if (m.key == "model") {
            std::string decoded;
            FUZZ_CHECK(strict_json(m.value).string(&decoded));
            FUZZ_CHECK(decoded == model);
        } else if (m.key == "messages") {
            std::string first = "[{\"role\":\"system\",\"content\":\"";
            first.append(system_text_escaped());
            first.append("\"}");
            FUZZ_CHECK(m.value.substr(0, first.size()) == first);
        }
    }
}

inline void check_rebuild(std::string_view body, std::string_view model) {
    buf out;
    std::string_view repeated;
    int stream = rebuild_request(body, model, out, &repeated);
    check_buf(out);
    check_as_parsed(body, model, repeated, out.view());
    if (!repeated.empty()) return;
    FUZZ_CHECK(stream == detect_stream_flag(body));
    FUZZ_CHECK(stream == 0 || stream == 1);
    std::string_view got = out.view();

    json_member messages = json_top_member(body, "messages");
    if (!messages.found || body[messages.value_pos] != '[') {
        FUZZ_CHECK(got == body);  // nothing to splice into: passed on as it came
        return;
    }

    std::string system = "{\"role\":\"system\",\"content\":\"";
    system.append(system_text_escaped());
    system.append("\"}");

    if (messages.value_end == json_npos) {
        // The caller's array never closed: the system message gets an array of
        // its own and the caller's bytes follow it unchanged, to the end. (Such
        // a body is not JSON; the upstream refuses it as it would the original.)
        std::string expect = "\"messages\":[" + system + "]";
        expect.append(body.substr(messages.value_pos + 1));
        FUZZ_CHECK(got.size() >= expect.size());
        FUZZ_CHECK(got.substr(got.size() - expect.size()) == expect);
        return;
    }

    json_member rewritten = json_top_member(got, "messages");
    FUZZ_CHECK(rewritten.found);
    FUZZ_CHECK(rewritten.value_end != json_npos);
    FUZZ_CHECK(got[rewritten.value_pos] == '[');
    std::string_view array = rewritten.value(got);
    FUZZ_CHECK(array.substr(1, system.size()) == system);
    std::string_view after = array.substr(1 + system.size());

    // The caller's elements come right after the system message, byte for
    // byte, and close the array.
    std::string_view caller = body.substr(messages.value_pos + 1, messages.value_end - messages.value_pos - 1);
    std::string expect;
    if (holds_non_ws(caller.substr(0, caller.size() - 1))) expect += ",";
    expect.append(caller);
    FUZZ_CHECK(after == expect);

    // The model member holds the configured model, unless the caller's was
    // cut off by the end of the text.
    json_member m = json_top_member(got, "model");
    json_member old_model = json_top_member(body, "model");
    if (!old_model.found || old_model.value_end != json_npos) {
        FUZZ_CHECK(m.found);
        json_raw_string s = json_string_at(got, m.value_pos);
        FUZZ_CHECK(s.ok);
        buf escaped;
        json_escape(escaped, model);
        FUZZ_CHECK(s.raw == escaped.view());
    }
}
