// Everything that happens to a chat request: rewriting, the debug copy, the
// upstream exchange, and the reply as a stream, as the collected upstream
// JSON, as a local-model reply object, or as an error.
#pragma once
#include <string_view>

#include "platform/net.hpp"

void relay_chat(const socket_handle& client, std::string_view body, bool local_dialect);
