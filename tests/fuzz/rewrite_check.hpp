// The properties rebuild_request must have, shared by the targets that reach it.
#pragma once
#include <algorithm>
#include <string>
#include <utility>
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

inline size_t count_key(const std::vector<strict_member>& members, std::string_view key) {
    size_t n = 0;
    for (const strict_member& m : members) n += m.key == key;
    return n;
}

inline const strict_member* find_member(const std::vector<strict_member>& members, std::string_view key) {
    for (const strict_member& m : members)
        if (m.key == key) return &m;
    return nullptr;
}

inline size_t offset_in(std::string_view part, std::string_view whole) {
    return static_cast<size_t>(part.data() - whole.data());
}

struct text_span {
    size_t from, to;
};

// `text` with two spans that do not overlap cut out.
inline std::string cut_out(std::string_view text, text_span a, text_span b) {
    if (a.from > b.from) std::swap(a, b);
    std::string rest(text.substr(0, a.from));
    rest.append(text.substr(a.to, b.from - a.to));
    rest.append(text.substr(b.to));
    return rest;
}

// How the grammar reads a body: 1 when it is one JSON object (members in
// `in`), 0 when it is not, -1 when it nests too deep for this reader to say.
// Control bytes inside strings are taken: they move no string's end, and the
// rewrite passes them on for the upstream to judge.
inline int read_as_object(std::string_view body, std::vector<strict_member>& in) {
    strict_json reader(body, true);
    bool parsed = reader.parse(in);
    if (reader.too_deep()) return -1;
    size_t first = body.find_first_not_of(" \t\r\n");
    return parsed && body[first] == '{' ? 1 : 0;
}

// What the upstream's parser sees, read with the strict reader alone (nothing
// of the rewrite's own scanner). The rewrite fails closed: a body that is not
// one JSON object, without "messages" or whose "messages" is not an array, or
// that repeats a key the rewrite decides on gets nothing at all; any other is
// sent with no key the rewrite decides on twice, the configured model, the
// system message first in "messages", no "models" or "fallbacks", and every
// other byte of the caller's body kept: cut the model's value and the messages
// member's head ("messages":[ and the system message) out of both texts and
// the rest is the same (member for member where a list was dropped).
inline void check_as_parsed(std::string_view body, std::string_view model, const body_refusal& refused, int stream,
                            std::string_view got) {
    if (!refused.empty()) FUZZ_CHECK(got.empty());
    std::vector<strict_member> in;
    int object = read_as_object(body, in);
    if (object < 0) return;
    if (object == 0) {
        FUZZ_CHECK(!refused.empty() && refused.repeated.empty());
        return;
    }
    size_t most = 0;
    for (std::string_view key : {"model", "messages", "stream", "models", "fallbacks"})
        most = std::max(most, count_key(in, key));
    FUZZ_CHECK((most > 1) == !refused.repeated.empty());
    if (!refused.repeated.empty()) {
        FUZZ_CHECK(count_key(in, refused.repeated) > 1);
        return;
    }
    const strict_member* messages = find_member(in, "messages");
    FUZZ_CHECK(refused.empty() == (messages && messages->value[0] == '['));
    if (!refused.empty()) return;
    const strict_member* stream_member = find_member(in, "stream");
    FUZZ_CHECK(stream == (stream_member && stream_member->value == "true"));

    std::vector<strict_member> out;
    FUZZ_CHECK(strict_json(got, true).parse(out));
    FUZZ_CHECK(count_key(out, "model") == 1 && count_key(out, "messages") == 1);
    FUZZ_CHECK(count_key(out, "models") == 0 && count_key(out, "fallbacks") == 0);
    size_t dropped = count_key(in, "models") + count_key(in, "fallbacks");
    FUZZ_CHECK(out.size() + dropped == in.size() + (find_member(in, "model") ? 0 : 1));

    const strict_member& got_model = *find_member(out, "model");
    std::string decoded;
    FUZZ_CHECK(strict_json(got_model.value).string(&decoded));
    FUZZ_CHECK(decoded == model);
    size_t got_model_at = offset_in(got_model.value, got);
    text_span body_model_span, got_model_span;
    if (const strict_member* old = find_member(in, "model")) {
        size_t at = offset_in(old->value, body);
        body_model_span = {at, at + old->value.size()};
        got_model_span = {got_model_at, got_model_at + got_model.value.size()};
    } else {
        // Added as the first member: nothing of the caller's is replaced, and
        // the new text is one whole member and its comma.
        size_t brace = body.find('{') + 1;
        body_model_span = {brace, brace};
        size_t key_at = offset_in(got_model.key_text, got);
        FUZZ_CHECK(key_at == brace && got[key_at + got_model.key_text.size()] == ':');
        FUZZ_CHECK(got_model_at == key_at + got_model.key_text.size() + 1);
        FUZZ_CHECK(got[got_model_at + got_model.value.size()] == ',');
        got_model_span = {key_at, got_model_at + got_model.value.size() + 1};
    }

    // The system message is the first element, its text the prompt itself;
    // a comma follows when the caller's array holds any element.
    const strict_member& got_messages = *find_member(out, "messages");
    std::string_view head = "[{\"role\":\"system\",\"content\":";
    FUZZ_CHECK(got_messages.value.substr(0, head.size()) == head);
    strict_json content(got_messages.value.substr(head.size()));
    std::string system;
    FUZZ_CHECK(content.string(&system));
    FUZZ_CHECK(system == SYSTEM_PROMPT);
    size_t after = head.size() + content.pos();
    FUZZ_CHECK(got_messages.value[after] == '}');
    bool caller_has_elements = holds_non_ws(messages->value.substr(1, messages->value.size() - 2));
    if (caller_has_elements) FUZZ_CHECK(got_messages.value[after + 1] == ',');
    size_t got_head_end = offset_in(got_messages.value, got) + after + 1 + (caller_has_elements ? 1 : 0);
    text_span got_messages_span = {offset_in(got_messages.key_text, got), got_head_end};
    text_span body_messages_span = {offset_in(messages->key_text, body), offset_in(messages->value, body) + 1};

    if (!dropped) {
        FUZZ_CHECK(cut_out(got, got_model_span, got_messages_span) ==
                   cut_out(body, body_model_span, body_messages_span));
        return;
    }
    // The other members are the caller's, in order and as written.
    auto rewritten = [](const strict_member& m) {
        return m.key == "model" || m.key == "messages" || m.key == "models" || m.key == "fallbacks";
    };
    std::vector<std::pair<std::string_view, std::string_view>> kept_in, kept_out;
    for (const strict_member& m : in)
        if (!rewritten(m)) kept_in.emplace_back(m.key_text, m.value);
    for (const strict_member& m : out)
        if (!rewritten(m)) kept_out.emplace_back(m.key_text, m.value);
    FUZZ_CHECK(kept_in == kept_out);
}

// Rewrites `body` (which must end where its block ends) and checks the result.
inline void check_rebuild(std::string_view body, std::string_view model) {
    buf out;
    body_refusal refused;
    int stream = rebuild_request(body, model, out, &refused);
    check_buf(out);
    check_as_parsed(body, model, refused, stream, out.view());
    if (!refused.empty()) return;
    FUZZ_CHECK(stream == detect_stream_flag(body));
    FUZZ_CHECK(stream == 0 || stream == 1);
    std::string_view got = out.view();

    json_member messages = json_top_member(body, "messages");
    FUZZ_CHECK(messages.found && body[messages.value_pos] == '[' && messages.value_end != json_npos);

    std::string system = "{\"role\":\"system\",\"content\":\"";
    system.append(system_text_escaped());
    system.append("\"}");

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

    // The model member holds the configured model.
    json_member m = json_top_member(got, "model");
    FUZZ_CHECK(m.found);
    json_raw_string s = json_string_at(got, m.value_pos);
    FUZZ_CHECK(s.ok);
    buf escaped;
    json_escape(escaped, model);
    FUZZ_CHECK(s.raw == escaped.view());
}
