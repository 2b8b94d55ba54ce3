// Which route a request takes, chosen once from its request line when its
// header block is in; the guard and the router both go by that choice.
#pragma once
#include <string_view>

// local_version and local_show exist only when the local-model dialect is
// spoken in full.
enum class route { health, model_list, local_model_list, local_version, local_show, chat, not_found };

struct route_choice {
    route where = route::not_found;
    bool local_dialect = false;    // the chat request speaks the local-model dialect
    bool model_list_path = false;  // the target is a model list's, whatever the method (preflights)
};

// Prefix tests on the request line for the local routes; the chat paths
// anywhere in the request target (never in headers or body).
route_choice choose_route(std::string_view request_line, std::string_view target, bool local_full = false);
