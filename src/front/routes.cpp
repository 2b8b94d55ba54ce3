#include "front/routes.hpp"

#include "http/reply.hpp"
#include "dialects/local_model/model_info.hpp"
#include "dialects/chat_completions/chat_completions.hpp"
#include "dialects/local_model/local_dialect.hpp"
#include "dialects/embeddings/embeddings.hpp"

namespace {

// The probe's body has always ended in a line feed past its declared length;
// callers have seen it that way from the start.
constexpr std::string_view health_body = "{\"status\":\"ok\",\"zelk\":true}";
constexpr std::string_view health_tail = "\n";

// The model lists, and the local-model server's own version, show and ps
// routes for clients that ask them before they chat.
void send_model_info(client_conn& client, model_query query, std::string_view request_body,
                     const shim_settings& settings, std::string_view extra_lines) {
    buf body;
    int status = answer_model_query(query, request_body, settings, body);
    if (body.failed) return;
    send_reply(client, {status, nullptr, "application/json", {}, extra_lines}, body.view());
}

void note_route(request_trace& trace, const route_choice& choice) {
    const char* chat_dialect = choice.local_dialect ? "local-model" : "chat-completions";
    switch (choice.where) {
        case route::health: trace.route = "health"; break;
        case route::model_list: trace.route = "models", trace.dialect = "chat-completions"; break;
        case route::local_model_list: trace.route = "models", trace.dialect = "local-model"; break;
        case route::local_version: trace.route = "version", trace.dialect = "local-model"; break;
        case route::local_show: trace.route = "show", trace.dialect = "local-model"; break;
        case route::local_ps: trace.route = "ps", trace.dialect = "local-model"; break;
        case route::local_unsupported: trace.route = "unsupported", trace.dialect = "local-model"; break;
        case route::chat: trace.route = choice.generate ? "generate" : "chat", trace.dialect = chat_dialect; break;
        case route::embeddings: trace.route = "embeddings", trace.dialect = chat_dialect; break;
        case route::not_found: trace.route = "not_found"; break;
    }
}

}  // namespace

void build_health_reply(reply_bytes& out, std::string_view extra_lines) {
    build_reply(out, {200, nullptr, "application/json", {}, extra_lines}, health_body);
    out.parts[out.count++] = health_tail;
}

void route_request(client_conn& client, const http_request& req, const route_choice& choice,
                   const shim_settings& settings, std::string_view extra_lines, request_trace* trace) {
    if (trace) note_route(*trace, choice);
    auto info = [&](model_query query) { send_model_info(client, query, req.body, settings, extra_lines); };
    switch (choice.where) {
        case route::health: {
            reply_bytes health;
            build_health_reply(health, extra_lines);
            send_bytes(client, health);
            break;
        }
        case route::model_list: info(model_query::list); break;
        case route::local_model_list: info(model_query::tags); break;
        case route::local_version: info(model_query::version); break;
        case route::local_show: info(model_query::show); break;
        case route::local_ps: info(model_query::ps); break;
        case route::local_unsupported: info(model_query::unsupported); break;
        case route::chat: {
            chat_request chat{req.body, choice.local_dialect, choice.generate, extra_lines, trace};
            if (choice.local_dialect)
                relay_local_model(client, chat, settings);
            else
                relay_chat_completions(client, chat, settings);
            break;
        }
        case route::embeddings: {
            chat_request request{req.body, choice.local_dialect, false, extra_lines, trace};
            relay_embeddings(client, request, choice.embed == embed_path::chat_completions ? embed_shape::chat_completions
                                              : choice.embed == embed_path::embed         ? embed_shape::embed
                                                                                          : embed_shape::legacy,
                             settings);
            break;
        }
        case route::not_found: send_reply(client, {404, nullptr, {}, {}, extra_lines}, {}); break;
    }
}
