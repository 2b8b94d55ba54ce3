#include "dialects/local_model/local_dialect.hpp"

#include "dialects/local_model/local_full_relay.hpp"
#include "http/reply.hpp"
#include "platform/host.hpp"
#include "relay/rewrite.hpp"
#include "relay/upstream_error.hpp"
#include "relay/usage.hpp"
#include "text/json_scan.hpp"

namespace {

// The first choice of a chat-completions answer, or json_npos.
size_t first_choice(std::string_view answer, const json_member& choices) {
    if (!choices.found) return json_npos;
    size_t first = json_array_first(answer, choices.value_pos);
    if (first == json_npos || answer[first] != '{') return json_npos;
    return first;
}

// The reply text, escapes as the upstream wrote them: the first choice's
// message content when the answer has that shape (a null or non-string
// content is empty), else the first "content" string anywhere.
std::string_view reply_content(std::string_view answer, size_t choice) {
    if (choice != json_npos) {
        json_member message = json_object_member(answer, choice, "message");
        if (message.found && answer[message.value_pos] == '{') {
            json_member content = json_object_member(answer, message.value_pos, "content");
            if (!content.found) return {};
            return json_string_at(answer, content.value_pos).raw;
        }
    }
    return json_first_string_member(answer, "content").raw;
}

}  // namespace

int convert_local_request(std::string_view body, std::string_view model, buf& out, body_refusal* refused) {
    chat_members found = find_chat_members(body);
    body_refusal why;
    if (refuse_chat_body(found, why)) {
        if (refused) *refused = why;
        return 0;
    }
    int stream = found.streaming(body) ? 1 : 0;
    buf_put(out, "{\"model\":\"");
    json_escape(out, model);
    buf_put(out, "\",\"messages\":");
    const json_member& messages = found.messages;
    if (!messages.found || body[messages.value_pos] != '[') {
        buf_put(out, "[]");
    } else {
        buf_put(out, messages.value(body));  // byte for byte
    }
    buf_put(out, stream ? ",\"stream\":true}" : ",\"stream\":false}");
    return stream;
}

local_reply build_local_reply(unsigned long upstream_status, std::string_view answer, std::string_view model,
                              std::string_view created_at, buf& body) {
    if (upstream_status >= 400) {
        // The local-model dialect's error shape, under the upstream's status.
        buf words;
        put_upstream_words(words, answer);
        put_plain_error_body(body, {}, words.view());
        return {static_cast<int>(upstream_status), false};
    }

    // One pass over the answer's top level finds both members.
    static constexpr std::string_view keys[] = {"choices", "usage"};
    json_member top[2];
    json_top_members(answer, keys, top, 2);
    size_t choice = first_choice(answer, top[0]);
    std::string_view content = reply_content(answer, choice);
    bool cut_short = false;
    if (choice != json_npos) {
        json_member finish = json_object_member(answer, choice, "finish_reason");
        json_raw_string reason = finish.found ? json_string_at(answer, finish.value_pos) : json_raw_string{};
        cut_short = reason.ok && reason.raw == "length";
    }

    buf_put(body, "{\"model\":\"");
    json_escape(body, model);
    buf_put(body, "\",\"created_at\":\"");
    buf_put(body, created_at);
    buf_put(body, "\",\"message\":{\"role\":\"assistant\",\"content\":\"");
    json_put_string_content(body, content);
    buf_put(body, "\"},\"done\":true,\"done_reason\":\"");
    buf_put(body, cut_short ? "length" : "stop");
    token_usage used = top[1].found ? usage_at(answer, top[1].value_pos) : token_usage{};
    buf_put(body, "\",\"prompt_eval_count\":");
    buf_put_int(body, used.prompt < 0 ? 0 : used.prompt);
    buf_put(body, ",\"eval_count\":");
    buf_put_int(body, used.completion < 0 ? 0 : used.completion);
    buf_put(body, "}");
    return {200, true};
}

void convert_local_reply(client_conn& client, unsigned long upstream_status, std::string_view answer,
                         std::string_view model, std::string_view extra_lines) {
    char now[32];
    size_t now_len = utc_timestamp(now, sizeof now);
    buf body;
    local_reply reply = build_local_reply(upstream_status, answer, model, {now, now_len}, body);
    if (body.failed) return;
    std::string_view type = reply.success ? "application/x-ndjson" : "application/json";
    send_reply(client, {reply.status, nullptr, type, {}, extra_lines}, body.view());
}

namespace {

void send_converted(client_conn& client, const chat_request& request, const shim_settings& settings,
                    unsigned long status, std::string_view answer) {
    convert_local_reply(client, status, answer, settings.model(), request.extra_lines);
}

}  // namespace

void relay_local_model(client_conn& client, const chat_request& request, const shim_settings& settings) {
    if (settings.local_full) return relay_local_full(client, request, settings);
    body_refusal refused;
    buf converted;
    convert_local_request(request.body, settings.model(), converted, &refused);
    rewritten_body pieces;
    bool stream = false;
    if (refused.empty()) {
        stream = rebuild_pieces(converted.view(), settings.model(), pieces, settings.persona) != 0;
        refused = pieces.refused;
    }
    if (!body_taken(client, request, refused, pieces.failed || converted.failed)) return;
    relay_passthrough(client, request, settings, {pieces.piece, pieces.count}, converted.view(), stream,
                      send_converted);
}
