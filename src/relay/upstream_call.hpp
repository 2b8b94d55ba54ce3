// One chat request's exchange with the upstream, and what its answer means:
// the transport below moves the bytes; here an answer that must not reach
// the caller as it is (a status that is no final status, a coding nobody
// asked for, a proxy's demand for credentials) and every transport failure
// become one error text, worded the same on every system.
#pragma once
#include <chrono>
#include <span>
#include <string_view>

#include "http/connection.hpp"
#include "platform/upstream.hpp"
#include "text/key_mask.hpp"
#include "text/bounded.hpp"
#include "text/buf.hpp"

// Receives each body block as soon as it has been read, and says whether
// more is wanted: see body_verdict (a reply the sink has completed makes the
// rest of the answer drained, not cut).
using body_sink = body_verdict (*)(void* ctx, const char* data, size_t len);

struct upstream_call {
    upstream_client* client = nullptr;
    const upstream_proxy* proxy = nullptr;  // named in error texts when enabled
    // Masked in every byte of the answer before the sink sees it, and in
    // every error text that quotes the upstream.
    const mask_keys* masks = nullptr;
    std::string_view header_lines;          // each ending in CR LF
    // The body as pieces sent one after another: a rewritten body is spans
    // of the received bytes and the texts spliced between them, and a large
    // one is never joined into one copy.
    std::span<const std::string_view> body;
    // The caller, watched for departure while the upstream works, and the
    // bytes that probe a half-closed caller (see upstream_handler).
    const socket_handle* caller = nullptr;
    probe_result (*probe)(void* ctx) = nullptr;
    void* probe_ctx = nullptr;
};

struct upstream_outcome {
    unsigned long status = 0;    // 0 until a status line was read; set before the first block reaches the sink
    bool stopped = false;        // the sink ended the transfer or said it was done, or the caller left (then caller_gone too)
    bool caller_gone = false;    // the watched caller left while the upstream worked
    bool received_body = false;  // at least one body byte arrived
    std::chrono::steady_clock::time_point first_byte_at{};  // when it did
    error_text error;            // empty unless the exchange failed
    bool unsent = false;         // it failed before any byte of the request reached the upstream
    long long asked_wait_ms = -1;  // the wait the answer's head asked for (Retry-After); -1: none
    // Of the whole turn, once it is over: how many attempts it took, and
    // whether the last one's error said the quota is spent.
    unsigned attempts = 0;
    bool quota_spent = false;
    bool at_fallback = false;  // the last attempt went to the fallback upstream
};

// An error text when the answer's head must not reach the caller as it is.
bool answer_refused(const upstream_head& head, const upstream_proxy* proxy, const mask_keys& masks, error_text& err);

// The body as call_upstream sends it: a small body of several pieces joined
// into `joined` (it goes in the same send as the request head), any other
// as it is. Made once per turn, so a second attempt sends the same bytes.
// Empty with `joined` failed when memory ran out.
std::span<const std::string_view> sendable_body(std::span<const std::string_view> body, buf& joined,
                                                std::string_view& one);

// POSTs the body and hands the answer body, masked, to `sink`.
void call_upstream(const upstream_call& call, body_sink sink, void* ctx, upstream_outcome& out);
