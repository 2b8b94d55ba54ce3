#include "relay/error_reply.hpp"

#include "text/reply_text.hpp"

void send_error_reply(const socket_handle& client, int status, const char* reason, std::string_view message) {
    buf body;
    put_error_body(body, message);
    if (body.failed) return;
    char header[256];
    size_t header_len = format_reply_header(header, status, reason, "application/json", body.len);
    std::string_view parts[] = {{header, header_len}, body.view()};
    sock_send_gather(client, parts);
}
