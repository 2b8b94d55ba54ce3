#include "relay/stream_writer.hpp"

#include "text/bounded.hpp"
#include "text/reply_text.hpp"

bool send_chunk(const socket_handle& client, std::string_view bytes) {
    if (bytes.empty()) return true;  // an empty chunk would end the stream
    char size_line[24];
    size_t n = bformat(size_line, "%zx\r\n", bytes.size());
    std::string_view parts[] = {{size_line, n}, bytes, "\r\n"};
    return sock_send_gather(client, parts);
}

bool send_last_chunk(const socket_handle& client) { return sock_send_all(client, "0\r\n\r\n"); }

bool send_error_event(const socket_handle& client, std::string_view message) {
    buf event;
    buf_put(event, "data: ");
    put_error_body(event, message);
    buf_put(event, "\n\n");
    if (event.failed) return false;
    return send_chunk(client, event.view());
}
