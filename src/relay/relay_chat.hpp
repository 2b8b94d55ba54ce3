// Everything that happens to a chat request: rewriting, the debug copy, the
// upstream exchange, and the reply as a stream, as the collected upstream
// JSON, as a local-model reply object, or as an error.
#pragma once
#include <string_view>

#include "http/request_trace.hpp"
#include "platform/net.hpp"
#include "settings/settings.hpp"

// `extra_lines` go into the reply's header block (empty for most callers).
// `trace` (null when the request log is off) is told the mode, the
// upstream's status and first byte, and the error the caller was given.
void relay_chat(const socket_handle& client, std::string_view body, bool local_dialect, const shim_settings& settings,
                std::string_view extra_lines, request_trace* trace = nullptr);
