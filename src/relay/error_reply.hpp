// The JSON error reply: {"error":{"message":"...","type":"zelk_shim_error"}}.
#pragma once
#include <string_view>

#include "platform/net.hpp"

// Sends the error body under "HTTP/1.1 <status> <reason>". Relay failures
// use 502 with the reason "Internal", which callers have always seen.
void send_error_reply(const socket_handle& client, int status, const char* reason, std::string_view message);
