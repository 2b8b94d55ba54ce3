// The body rewrite as it was written when the rewritten body was built as
// one copy: the reference the piece list is compared with, byte for byte.
#pragma once
#include <string_view>

#include "relay/rewrite.hpp"
#include "text/json_scan.hpp"

inline int reference_rebuild(std::string_view body, std::string_view model, buf& out) {
    static constexpr std::string_view keys[] = {"stream", "messages", "model"};
    json_member found[3];
    json_top_members(body, keys, found, 3);
    int stream = found[0].found && found[0].value(body) == "true" ? 1 : 0;
    const json_member& messages = found[1];
    const json_member& model_member = found[2];
    if (!messages.found || body[messages.value_pos] != '[') {
        buf_put(out, body);
        return stream;
    }
    buf escaped_model;
    json_escape(escaped_model, model);

    struct edit {
        size_t from, to;
        std::string_view pieces[5];
    } edits[2];
    size_t count = 0;
    if (model_member.found && model_member.value_end != json_npos) {
        edits[count++] = {model_member.value_pos, model_member.value_end, {"\"", escaped_model.view(), "\"", {}, {}}};
    } else if (!model_member.found) {
        size_t brace = json_skip_ws(body, 0) + 1;
        edits[count++] = {brace, brace, {"\"model\":\"", escaped_model.view(), "\",", {}, {}}};
    }
    size_t open = messages.value_pos;
    bool closed = messages.value_end != json_npos;
    std::string_view inner = closed ? body.substr(open + 1, messages.value_end - open - 2) : std::string_view{};
    bool inner_holds_value = inner.find_first_not_of(" \t\r\n") != std::string_view::npos;
    std::string_view after_system = !closed ? "\"}]" : inner_holds_value ? "\"}," : "\"}";
    edit msg = {messages.key_pos, open + 1,
                {"\"messages\":[{\"role\":\"system\",\"content\":\"", system_text_escaped(), after_system, {}, {}}};
    if (count == 1 && edits[0].from > msg.from) {
        edits[1] = edits[0];
        edits[0] = msg;
    } else {
        edits[count] = msg;
    }
    ++count;
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        buf_put(out, body.substr(at, edits[i].from - at));
        for (std::string_view piece : edits[i].pieces) buf_put(out, piece);
        at = edits[i].to;
    }
    buf_put(out, body.substr(at));
    return stream;
}
