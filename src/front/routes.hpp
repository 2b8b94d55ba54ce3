// Choosing the route of a request from its request line, and the replies
// the shim gives itself without the upstream.
#pragma once
#include <string_view>

#include "front/request.hpp"
#include "platform/net.hpp"

enum class route { health, model_list, local_model_list, chat, not_found };

struct route_choice {
    route where = route::not_found;
    bool local_dialect = false;  // the chat request speaks the local-model dialect
};

// Prefix tests on the request line for the local routes; the chat paths
// anywhere in the request target (never in headers or body).
route_choice choose_route(std::string_view request_line, std::string_view target);

// Performs the route: a local reply, or the chat relay.
void route_request(const socket_handle& client, const http_request& req);

// The body of GET /v1/models, and of GET /api/tags (which adds the
// "models" list that local-model clients read).
void put_model_list(buf& body, bool with_local_models);
