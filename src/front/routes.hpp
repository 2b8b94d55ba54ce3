// Performing the chosen route, and the replies the shim gives itself
// without the upstream.
#pragma once
#include <string_view>

#include "front/request.hpp"
#include "front/route_choice.hpp"
#include "http/request_trace.hpp"
#include "http/reply.hpp"
#include "http/connection.hpp"
#include "settings/settings.hpp"

// Performs the route: a local reply, or the chat relay. `extra_lines` go
// into every reply header block (empty for most callers).
// `trace` (null when the request log is off) learns the route and what the
// relay saw.
void route_request(client_conn& client, const http_request& req, const route_choice& choice,
                   const shim_settings& settings, std::string_view extra_lines, request_trace* trace = nullptr);

// The health probe's reply.
void build_health_reply(reply_bytes& out, std::string_view extra_lines);
