// Receiving one request from a local client, within the request deadline:
// the header block first (so the guard can look at it before any body is
// read), then the body. Nothing is routed before the whole request is in.
#pragma once
#include <chrono>
#include <string_view>

#include "http/request_parser.hpp"
#include "http/connection.hpp"
#include "text/buf.hpp"

inline constexpr int request_deadline_ms = 30 * 1000;

// One budget for the request bodies held at once across all connections:
// each body is capped, but a thousand capped bodies would still ask for far
// more memory than a desktop has. A body's share is taken before it is read
// (its declared length; a chunked body as it grows) and given back when the
// request is done.
inline constexpr uint64_t request_body_budget = 512ull << 20;

class body_budget_share {
public:
    body_budget_share() = default;
    body_budget_share(const body_budget_share&) = delete;
    body_budget_share& operator=(const body_budget_share&) = delete;
    ~body_budget_share();
    // Makes this request's share at least `bytes`; false (and no change)
    // when the budget has not that much left.
    bool grow_to(uint64_t bytes);

private:
    uint64_t held_ = 0;
};

// What a request refused for want of budget is told, with Retry-After.
inline constexpr request_fault budget_fault{503, "too many request bodies in flight; try again shortly"};
inline constexpr std::string_view budget_retry_lines = "Retry-After: 1\r\n";

struct http_request {
    buf raw;                // the bytes as received
    size_t header_len = 0;  // just past the empty line that ends the header block
    request_head head;      // offsets into `raw`
    buf decoded;            // the body of a chunked request
    std::string_view body;  // the plain body, in `raw` or in `decoded`, once read
    std::chrono::steady_clock::time_point deadline;
    body_budget_share budget;  // this request's share of the body budget

    std::string_view view(text_span s) const { return s.in(raw.view()); }
};

struct read_outcome {
    bool silent = false;  // the client sent nothing at all: no reply
    request_fault fault;  // status 0 when this step succeeded
};

read_outcome read_request_head(client_conn& client, http_request& req);
read_outcome read_request_body(client_conn& client, http_request& req);

// True when the client waits for a go-ahead before it sends its body.
bool body_awaited(const http_request& req);
