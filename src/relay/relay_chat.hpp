// Everything that happens to a chat request: rewriting, the debug copy, the
// upstream exchange, and the reply as a stream, as the collected upstream
// JSON, as a local-model reply object, or as an error.
#pragma once
#include <string_view>

#include "http/request_trace.hpp"
#include "http/connection.hpp"
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

void relay_chat(client_conn& client, const chat_request& request, const shim_settings& settings);
