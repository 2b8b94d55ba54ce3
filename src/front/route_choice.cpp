#include "front/route_choice.hpp"

namespace {

// The endpoints the shim answers itself, each under one method (GET takes
// HEAD too); the route and the preflight's answer both come from here, so
// an endpoint added to the list is one a page may call. The prefixes are
// disjoint, and each is a prefix test ("/healthz" is a health probe).
struct endpoint {
    std::string_view prefix;
    route where;
    std::string_view method;
    bool full_only;  // spoken only when the local-model dialect is in full
};
constexpr endpoint endpoints[] = {
    {"/health", route::health, "GET", false},
    {"/v1/models", route::model_list, "GET", false},
    {"/api/tags", route::local_model_list, "GET", false},
    {"/api/version", route::local_version, "GET", true},
    {"/api/ps", route::local_ps, "GET", true},
    {"/api/show", route::local_show, "POST", true},
};

// The endpoints of the local-model API that need a model store of their
// own; under any method they get an error that says so.
constexpr std::string_view unsupported_paths[] = {"/api/embed", "/api/pull",   "/api/push",  "/api/create",
                                                  "/api/copy",  "/api/delete", "/api/blobs"};

// Prefix tests, the longer first: "/api/embed" begins "/api/embeddings".
struct embed_endpoint {
    std::string_view prefix;
    embed_path path;
};
constexpr embed_endpoint embed_endpoints[] = {
    {"/v1/embeddings", embed_path::chat_completions},
    {"/api/embeddings", embed_path::legacy},
    {"/api/embed", embed_path::embed},
};

const endpoint* endpoint_at(std::string_view target, bool local_full) {
    static constexpr endpoint root = {"/", route::health, "GET", false};
    if (target == "/") return &root;  // the health probe at the root, exactly
    for (const endpoint& e : endpoints)
        if ((local_full || !e.full_only) && target.starts_with(e.prefix)) return &e;
    return nullptr;
}

}  // namespace

route_choice choose_route(std::string_view request_line, std::string_view target, bool local_full,
                          bool embeddings) {
    route_choice c;
    if (embeddings)
        for (const embed_endpoint& e : embed_endpoints)
            if (target.starts_with(e.prefix)) {
                c.where = route::embeddings;
                c.local_dialect = e.path != embed_path::chat_completions;
                c.embed = e.path;
                c.page_method = "POST";
                return c;
            }
    std::string_view method = request_line.starts_with("GET ") || request_line.starts_with("HEAD ") ? "GET"
                              : request_line.starts_with("POST ")                                    ? "POST"
                                                                                                     : "";
    const endpoint* at = endpoint_at(target, local_full);
    bool local = target.find("/api/chat") != std::string_view::npos;
    bool generate = local_full && !local && target.find("/api/generate") != std::string_view::npos;
    bool chat_path = local || generate || target.find("/v1/chat/completions") != std::string_view::npos;
    if (at && at->method == method) {
        c.where = at->where;
    } else if (chat_path) {
        c.where = route::chat;
        c.local_dialect = local || generate;
        c.generate = generate;
    } else if (local_full) {
        for (std::string_view path : unsupported_paths)
            if (target.starts_with(path)) c.where = route::local_unsupported;
    }
    // A chat path anywhere in the target is one, whatever it begins with.
    c.page_method = chat_path ? "POST" : at ? at->method : std::string_view{};
    return c;
}
