// The caller's side of a streamed reply: the event-stream header block,
// then each relayed block as one HTTP/1.1 chunk, then the last chunk.
#pragma once
#include <string_view>

#include "platform/net.hpp"

// The header block every streamed reply starts with, whatever follows.
inline constexpr std::string_view stream_header =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";

// One chunk (size line, bytes, CR LF) in one gather write; false once the
// caller has gone.
bool send_chunk(const socket_handle& client, std::string_view bytes);

// The last chunk, which tells the caller the stream ended whole.
bool send_last_chunk(const socket_handle& client);

// The in-band error event for a stream whose upstream exchange failed:
// data: {"error":{"message":"...","type":"zelk_shim_error"}} and a blank line.
bool send_error_event(const socket_handle& client, std::string_view message);
