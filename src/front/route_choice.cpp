#include "front/route_choice.hpp"

namespace {

// The endpoints of the local-model API that need a model store of their
// own; under any method they get an error that says so.
constexpr std::string_view unsupported_paths[] = {"/api/embed", "/api/pull",   "/api/push",  "/api/create",
                                                  "/api/copy",  "/api/delete", "/api/blobs"};

}  // namespace

route_choice choose_route(std::string_view request_line, std::string_view target, bool local_full) {
    route_choice c;
    bool models = target.starts_with("/v1/models");
    bool tags = target.starts_with("/api/tags");
    c.model_list_path = models || tags;
    bool head = request_line.starts_with("HEAD ");
    bool get = head || request_line.starts_with("GET ");
    // What follows the method: "GET / " is the health probe at the root; the
    // other local routes are prefix tests, so a GET of /healthz is a health
    // probe too.
    std::string_view rest = get ? request_line.substr(head ? 5 : 4) : std::string_view{};
    bool post = request_line.starts_with("POST ");
    if (get && (rest.starts_with("/health") || rest.starts_with("/ "))) {
        c.where = route::health;
    } else if (get && models) {
        c.where = route::model_list;
    } else if (get && tags) {
        c.where = route::local_model_list;
    } else if (local_full && get && target.starts_with("/api/version")) {
        c.where = route::local_version;
    } else if (local_full && get && target.starts_with("/api/ps")) {
        c.where = route::local_ps;
    } else if (local_full && post && target.starts_with("/api/show")) {
        c.where = route::local_show;
    } else {
        c.local_dialect = target.find("/api/chat") != std::string_view::npos;
        c.generate = local_full && !c.local_dialect && target.find("/api/generate") != std::string_view::npos;
        c.local_dialect |= c.generate;
        if (c.local_dialect || target.find("/v1/chat/completions") != std::string_view::npos) c.where = route::chat;
        for (std::string_view path : unsupported_paths)
            if (local_full && c.where == route::not_found && target.starts_with(path)) c.where = route::local_unsupported;
    }
    c.head = head && (c.where == route::health || c.where == route::model_list || c.where == route::local_model_list ||
                      c.where == route::local_version || c.where == route::local_ps);
    return c;
}
