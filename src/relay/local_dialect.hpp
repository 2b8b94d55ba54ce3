// The local-model dialect on /api/chat: its request becomes a
// chat-completions body, and a collected chat-completions answer becomes
// one local-model reply object.
#pragma once
#include <string_view>

#include "http/connection.hpp"
#include "relay/rewrite.hpp"
#include "text/buf.hpp"
#include "text/json_scan.hpp"

// Appends {"model":"<model>","messages":<the caller's array>,"stream":true|false}
// to `out` and returns the stream flag. Every other field is dropped. A body
// that is not one JSON object, or repeats one of the three keys, is refused as
// rebuild_request refuses it: nothing is appended and `refused` says why.
int convert_local_request(std::string_view body, std::string_view model, buf& out,
                          body_refusal* refused = nullptr);

// Builds the reply body for a collected upstream answer; returns the status
// to send (the upstream's own for an error) and whether the body is the
// success object (content type "application/x-ndjson") or an error object.
struct local_reply {
    int status = 200;
    bool success = true;
};
local_reply build_local_reply(unsigned long upstream_status, std::string_view answer, std::string_view model,
                              std::string_view created_at, buf& body);

// Converts the collected answer and sends the whole reply.
void convert_local_reply(client_conn& client, unsigned long upstream_status, std::string_view answer,
                         std::string_view model, std::string_view extra_lines);
