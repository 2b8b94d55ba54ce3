#include "front/routes.hpp"

#include "platform/host.hpp"
#include "relay/relay_chat.hpp"
#include "startup/settings.hpp"
#include "text/reply_text.hpp"

namespace {

constexpr std::string_view health_reply =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 27\r\nConnection: close\r\n\r\n"
    "{\"status\":\"ok\",\"zelk\":true}\n";

constexpr std::string_view not_found_reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

void send_model_list(const socket_handle& client, bool with_local_models) {
    buf body;
    put_model_list(body, with_local_models);
    if (body.failed) return;
    char header[256];
    size_t header_len = format_reply_header(header, 200, "OK", "application/json", body.len);
    std::string_view parts[] = {{header, header_len}, body.view()};
    sock_send_gather(client, parts);
}

}  // namespace

void put_model_list(buf& body, bool with_local_models) {
    buf_put(body, "{\"object\":\"list\",\"data\":[{\"id\":\"");
    json_escape(body, CFG_MODEL);
    buf_put(body, "\",\"object\":\"model\",\"owned_by\":\"zelk\"}]");
    if (with_local_models) {
        char now[32];
        size_t now_len = utc_timestamp(now, sizeof now);
        buf_put(body, ",\"models\":[{\"name\":\"");
        json_escape(body, CFG_MODEL);
        buf_put(body, "\",\"model\":\"");
        json_escape(body, CFG_MODEL);
        buf_put(body, "\",\"modified_at\":\"");
        buf_put(body, now, now_len);
        buf_put(body, "\",\"size\":0,\"digest\":\"\",\"details\":{}}]");
    }
    buf_put(body, "}");
}

route_choice choose_route(std::string_view request_line, std::string_view target) {
    // "GET / " is the health probe at the root; the other local routes are
    // prefix tests, so a GET of /healthz is a health probe too.
    if (request_line.starts_with("GET /health") || request_line.starts_with("GET / ")) return {route::health, false};
    if (request_line.starts_with("GET /v1/models")) return {route::model_list, false};
    if (request_line.starts_with("GET /api/tags")) return {route::local_model_list, false};
    bool local = target.find("/api/chat") != std::string_view::npos;
    if (local || target.find("/v1/chat/completions") != std::string_view::npos) return {route::chat, local};
    return {route::not_found, false};
}

void route_request(const socket_handle& client, const http_request& req) {
    route_choice choice = choose_route(req.head.request_line, req.head.target);
    switch (choice.where) {
        case route::health: sock_send_all(client, health_reply); break;
        case route::model_list: send_model_list(client, false); break;
        case route::local_model_list: send_model_list(client, true); break;
        case route::chat: relay_chat(client, req.body, choice.local_dialect); break;
        case route::not_found: sock_send_all(client, not_found_reply); break;
    }
}
