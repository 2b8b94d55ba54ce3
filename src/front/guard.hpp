// Who gets in. The listener is on loopback, but any web page the user opens
// can still send requests to it, and with DNS rebinding read the answers.
// Everything here is decided from the header block, before any body is read.
#pragma once
#include <string_view>

#include "front/cors.hpp"
#include "front/request.hpp"
#include "front/route_choice.hpp"
#include "settings/origins.hpp"

// False with a 403 fault when the Host names a foreign site, or the Origin
// is a web page neither on loopback nor listed.
bool caller_allowed(const http_request& req, const origin_list& origins, request_fault& fault);

// What the front does with a request whose header block is in.
struct admission {
    request_fault fault;           // status 0: read the body, then answer
    std::string_view route_lines;  // lines a refusal always carries ("Allow: POST")
    bool preflight = false;        // answer 204 with `lines` instead of routing
    cors_lines lines;              // for every reply to this caller; empty unless its origin is allowed
};

// The guard, then the rules of the chat paths: POST only, "Origin: null"
// only when listed, JSON only across origins; and preflights, on every path
// the route choice says is served. `choice` is
// the request's route, chosen once from its head. With an `access_key`,
// every request but the health probe and preflights must carry
// "Authorization: Bearer <access_key>" (else 401).
void admit_request(const http_request& req, const route_choice& choice, const origin_list& origins, admission& out,
                   std::string_view access_key = {});
