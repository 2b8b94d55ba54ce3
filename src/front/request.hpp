// Receiving one request from a local client, within the request deadline:
// the header block first (so the guard can look at it before any body is
// read), then the body. Nothing is routed before the whole request is in.
#pragma once
#include <chrono>
#include <string_view>

#include "http/request_parser.hpp"
#include "platform/net.hpp"
#include "text/buf.hpp"

inline constexpr int request_deadline_ms = 30 * 1000;

struct http_request {
    buf raw;                // the bytes as received
    size_t header_len = 0;  // just past the empty line that ends the header block
    request_head head;      // offsets into `raw`
    buf decoded;            // the body of a chunked request
    std::string_view body;  // the plain body, in `raw` or in `decoded`, once read
    std::chrono::steady_clock::time_point deadline;

    std::string_view view(text_span s) const { return s.in(raw.view()); }
};

struct read_outcome {
    bool silent = false;  // the client sent nothing at all: no reply
    request_fault fault;  // status 0 when this step succeeded
};

read_outcome read_request_head(const socket_handle& client, http_request& req);
read_outcome read_request_body(const socket_handle& client, http_request& req);

// True when the client waits for a go-ahead before it sends its body.
bool body_awaited(const http_request& req);
