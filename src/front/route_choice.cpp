#include "front/route_choice.hpp"

route_choice choose_route(std::string_view request_line, std::string_view target, bool local_full) {
    route_choice c;
    bool models = target.starts_with("/v1/models");
    bool tags = target.starts_with("/api/tags");
    c.model_list_path = models || tags;
    // "GET / " is the health probe at the root; the other local routes are
    // prefix tests, so a GET of /healthz is a health probe too.
    bool get = request_line.starts_with("GET ");
    if (request_line.starts_with("GET /health") || request_line.starts_with("GET / ")) {
        c.where = route::health;
    } else if (get && models) {
        c.where = route::model_list;
    } else if (get && tags) {
        c.where = route::local_model_list;
    } else if (local_full && get && target.starts_with("/api/version")) {
        c.where = route::local_version;
    } else if (local_full && request_line.starts_with("POST /api/show")) {
        c.where = route::local_show;
    } else {
        c.local_dialect = target.find("/api/chat") != std::string_view::npos;
        if (c.local_dialect || target.find("/v1/chat/completions") != std::string_view::npos) c.where = route::chat;
    }
    return c;
}
