// Which browser pages may call the shim, and the header lines that tell the
// browser so. A request without an Origin header comes from a native client
// and is answered as if none of this existed.
#pragma once
#include <cstddef>
#include <string_view>

#include "settings/origins.hpp"

// "localhost", "127.0.0.1" or "[::1]", with or without a port, any case:
// the Host a request on loopback carries, and a loopback page's authority.
bool is_loopback_authority(std::string_view authority);

// An http or https page on localhost, 127.0.0.1 or [::1], any port.
bool is_loopback_origin(std::string_view origin);

// Pages on loopback and whatever the origins setting lists.
bool origin_allowed(const origin_list& listed, std::string_view origin);

// "application/json" in any case, with or without parameters. A browser
// sends that across origins only after a preflight, so no form, beacon or
// no-cors fetch can carry it.
bool declares_json(std::string_view content_type);

// Header lines for one caller, each ending in CR LF.
struct cors_lines {
    char text[1024];
    size_t len = 0;
    std::string_view view() const { return {text, len}; }
};

// What every reply to an allowed origin carries: the origin echoed (never
// "*", never credentials) and "Vary: Origin" for caches.
void put_reply_cors_lines(cors_lines& out, std::string_view origin);

// The answer to an allowed origin's preflight for a path served under
// `method`. Only the requested headers a client library needs are allowed,
// never more than were asked for.
void put_preflight_lines(cors_lines& out, std::string_view origin, std::string_view method,
                         std::string_view requested_headers, bool private_network);
