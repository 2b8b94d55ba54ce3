#include "front/routes.hpp"

#include "http/reply.hpp"
#include "platform/host.hpp"
#include "relay/model_info.hpp"
#include "relay/relay_chat.hpp"
#include "settings/version.hpp"

namespace {

// The probe's body has always ended in a line feed past its declared length;
// callers have seen it that way from the start.
constexpr std::string_view health_body = "{\"status\":\"ok\",\"zelk\":true}";
constexpr std::string_view health_tail = "\n";

void send_model_list(client_conn& client, std::string_view model, bool with_local_models,
                     std::string_view extra_lines) {
    buf body;
    put_model_list(body, model, with_local_models);
    if (body.failed) return;
    send_reply(client, {200, nullptr, "application/json", {}, extra_lines}, body.view());
}

// The local-model server's own version and model routes, for clients that
// ask them before they chat.
void send_local_info(client_conn& client, route where, std::string_view model, std::string_view extra_lines) {
    buf body;
    if (where == route::local_version) {
        put_version_body(body, shim_version);
    } else {
        char now[32];
        size_t now_len = utc_timestamp(now, sizeof now);
        put_show_body(body, model, {now, now_len});
    }
    if (body.failed) return;
    send_reply(client, {200, nullptr, "application/json", {}, extra_lines}, body.view());
}

}  // namespace

void build_health_reply(reply_bytes& out, std::string_view extra_lines) {
    build_reply(out, {200, nullptr, "application/json", {}, extra_lines}, health_body);
    out.parts[out.count++] = health_tail;
}

void put_model_list(buf& body, std::string_view model, bool with_local_models) {
    buf_put(body, "{\"object\":\"list\",\"data\":[{\"id\":\"");
    json_escape(body, model);
    buf_put(body, "\",\"object\":\"model\",\"owned_by\":\"zelk\"}]");
    if (with_local_models) {
        char now[32];
        size_t now_len = utc_timestamp(now, sizeof now);
        buf_put(body, ",\"models\":[{\"name\":\"");
        json_escape(body, model);
        buf_put(body, "\",\"model\":\"");
        json_escape(body, model);
        buf_put(body, "\",\"modified_at\":\"");
        buf_put(body, now, now_len);
        buf_put(body, "\",\"size\":0,\"digest\":\"\",\"details\":");
        put_model_details(body);
        buf_put(body, "}]");
    }
    buf_put(body, "}");
}

namespace {

void note_route(request_trace& trace, const route_choice& choice) {
    const char* chat_dialect = choice.local_dialect ? "local-model" : "chat-completions";
    switch (choice.where) {
        case route::health: trace.route = "health"; break;
        case route::model_list: trace.route = "models", trace.dialect = "chat-completions"; break;
        case route::local_model_list: trace.route = "models", trace.dialect = "local-model"; break;
        case route::local_version: trace.route = "version", trace.dialect = "local-model"; break;
        case route::local_show: trace.route = "show", trace.dialect = "local-model"; break;
        case route::chat: trace.route = "chat", trace.dialect = chat_dialect; break;
        case route::not_found: trace.route = "not_found"; break;
    }
}

}  // namespace

void route_request(client_conn& client, const http_request& req, const route_choice& choice,
                   const shim_settings& settings, std::string_view extra_lines, request_trace* trace) {
    if (trace) note_route(*trace, choice);
    switch (choice.where) {
        case route::health: {
            reply_bytes health;
            build_health_reply(health, extra_lines);
            send_bytes(client, health);
            break;
        }
        case route::model_list: send_model_list(client, settings.model(), false, extra_lines); break;
        case route::local_model_list: send_model_list(client, settings.model(), true, extra_lines); break;
        case route::local_version:
        case route::local_show: send_local_info(client, choice.where, settings.model(), extra_lines); break;
        case route::chat: {
            bool http10 = req.view(req.head.version) == "HTTP/1.0";
            relay_chat(client, {req.body, choice.local_dialect, http10, extra_lines, trace}, settings);
            break;
        }
        case route::not_found: send_reply(client, {404, nullptr, {}, {}, extra_lines}, {}); break;
    }
}
