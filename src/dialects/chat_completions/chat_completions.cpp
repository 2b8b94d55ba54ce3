#include "dialects/chat_completions/chat_completions.hpp"

#include "http/reply.hpp"
#include "relay/rewrite.hpp"

namespace {

void send_as_it_came(client_conn& client, const chat_request& request, const shim_settings&, unsigned long status,
                     std::string_view answer) {
    send_reply(client, {static_cast<int>(status), nullptr, "application/json", {}, request.extra_lines}, answer);
}

}  // namespace

void relay_chat_completions(client_conn& client, const chat_request& request, const shim_settings& settings) {
    // Pieces over the caller's bytes: a large body is never copied to be sent.
    rewritten_body pieces;
    bool stream = rebuild_pieces(request.body, settings.model(), pieces, settings.persona) != 0;
    if (!body_taken(client, request, pieces.refused, pieces.failed)) return;
    relay_passthrough(client, request, settings, {pieces.piece, pieces.count}, request.body, stream,
                      send_as_it_came);
}
