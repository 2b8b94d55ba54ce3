// Which route a request takes, chosen once from its request line when its
// header block is in; the guard and the router both go by that choice.
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
    embeddings,  // only when an embedding model is configured
    not_found
};

// Which of the embedding paths a request takes.
enum class embed_path : unsigned char {
    chat_completions,  // POST /v1/embeddings
    embed,             // POST /api/embed
    legacy,            // POST /api/embeddings: one prompt, one vector
};

struct route_choice {
    route where = route::not_found;
    bool local_dialect = false;    // the chat request speaks the local-model dialect
    bool generate = false;         // ... on /api/generate (full mode): a chat under the same rules
    embed_path embed = embed_path::chat_completions;  // on route::embeddings
    // The method the target is served under, whatever this request's method:
    // what a page's preflight is told ("POST" on a chat path); empty where
    // nothing is served.
    std::string_view page_method;
};

// Prefix tests on the request target for the local routes; the chat paths
// anywhere in it (never in headers or body). HEAD takes the route GET would;
// elsewhere it is one more method the path does not take.
// The embedding paths are served, under the chat paths' rules, only with
// `embeddings`; without it they are routed as before.
route_choice choose_route(std::string_view request_line, std::string_view target, bool local_full = false,
                          bool embeddings = false);
