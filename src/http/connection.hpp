// The caller's connection as the front reads from it and every reply is
// written to it: the socket, and what crossed it for the request log,
// counted by the reading and writing code a few additions per call.
#pragma once
#include <cstdint>

#include "platform/net.hpp"

struct client_conn {
    socket_handle socket;
    uint64_t bytes_in = 0;   // read from the caller
    uint64_t bytes_out = 0;  // sent to the caller
    int reply_status = 0;    // of the last reply head sent; 0 before any
    bool head_only = false;  // a HEAD request: every reply goes out as its header block alone
    // The caller speaks HTTP/1.0 (known once its request line is read): the
    // reply writer ends a stream to it with the connection instead of chunk
    // framing, and never sends it an interim answer.
    bool http10 = false;

    explicit client_conn(socket_handle s) : socket(std::move(s)) {}
    client_conn(const client_conn&) = delete;
    client_conn& operator=(const client_conn&) = delete;
};
