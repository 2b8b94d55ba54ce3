// The local-model dialect's chat requests (/api/chat, and /api/generate in
// full mode). In relay mode its request becomes a chat-completions body, a
// stream is passed on as the upstream sends it, and a collected answer
// becomes one local-model reply object; full mode converts both ways.
#pragma once
#include <string_view>

#include "http/connection.hpp"
#include "relay/passthrough.hpp"
#include "relay/rewrite.hpp"
#include "settings/settings.hpp"
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

// The dialect's entry point: full mode or relay mode, as the settings say.
void relay_local_model(client_conn& client, const chat_request& request, const shim_settings& settings);
