// What every dialect that relays the upstream's answer as it is shares: the
// chat request as the front hands it over, the refusal of a body that cannot
// be sent, and the relay itself, a stream passed on as it arrives (masked,
// framed as chunks) or an answer collected whole and handed to the dialect
// to reply with.
#pragma once
#include <span>
#include <string_view>

#include "http/connection.hpp"
#include "http/request_trace.hpp"
#include "relay/rewrite.hpp"
#include "settings/settings.hpp"

struct chat_request {
    std::string_view body;
    bool local_dialect = false;   // /api/chat: the local-model dialect
    bool generate = false;        // /api/generate (full mode): a prompt rather than messages
    std::string_view extra_lines;  // for the reply's header block (empty for most callers)
    // Null when the request log is off; else told the mode, the upstream's
    // status and first byte, and the error the caller was given.
    request_trace* trace = nullptr;
};

// False, with the caller answered (400 naming why, or 502 when memory ran
// out), when the body is not to be sent.
bool body_taken(client_conn& client, const chat_request& request, const body_refusal& refused, bool failed);

// Replies with a collected answer under the upstream's status.
using answer_writer = void (*)(client_conn& client, const chat_request& request, const shim_settings& settings,
                               unsigned long status, std::string_view answer);

// Sends `body` upstream (the debug copy first, when asked for) and relays
// the answer: as a stream when `stream`, else collected and given to `reply`.
// `body` is `source` rewritten by rebuild_pieces; the fallback upstream's
// body is rewritten from it the same way, with the fallback's model.
void relay_passthrough(client_conn& client, const chat_request& request, const shim_settings& settings,
                       std::span<const std::string_view> body, std::string_view source, bool stream,
                       answer_writer reply);
