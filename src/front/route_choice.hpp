// Which route a request takes, chosen once from its request line when its
// header block is in; the guard, the router and the reply writer all go by
// that choice.
#pragma once
#include <string_view>

// local_version, local_show, local_ps and local_unsupported exist only when
// the local-model dialect is spoken in full.
enum class route {
    health,
    model_list,
    local_model_list,
    local_version,
    local_show,
    local_ps,
    local_unsupported,  // an endpoint of the local-model API the shim cannot serve
    chat,
    not_found
};

struct route_choice {
    route where = route::not_found;
    bool local_dialect = false;    // the chat request speaks the local-model dialect
    bool generate = false;         // ... on /api/generate (full mode): a chat under the same rules
    bool model_list_path = false;  // the target is a model list's, whatever the method (preflights)
    bool head = false;             // HEAD on a route that answers GET: its reply goes out without the body
};

// Prefix tests on the request line for the local routes; the chat paths
// anywhere in the request target (never in headers or body). HEAD takes the
// route GET would; elsewhere it is one more method the path does not take.
route_choice choose_route(std::string_view request_line, std::string_view target, bool local_full = false);
