#include "front/request.hpp"

#include <atomic>

namespace {

using steady = std::chrono::steady_clock;

read_outcome failed(int status, const char* message) {
    read_outcome out;
    out.fault = {status, message};
    return out;
}

// Receives into `dst` until bytes come or the request deadline passes.
recv_result receive(client_conn& client, const http_request& req, char* dst, size_t room) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(req.deadline - steady::now()).count();
        if (left <= 0) return {recv_status::timed_out, 0};
        recv_result r = sock_recv_within(client.socket, dst, room, static_cast<int>(left));
        if (r.status == recv_status::data) client.bytes_in += r.count;
        if (r.status != recv_status::timed_out) return r;  // a poll that woke early goes round again
    }
}

read_outcome ended(const http_request& req, recv_status status) {
    read_outcome out;
    if (req.raw.len == 0) {
        out.silent = true;
        return out;
    }
    if (status == recv_status::timed_out) return failed(408, "request not complete within 30 seconds");
    return failed(400, "connection closed before the request was complete");
}

size_t body_bytes_in(const http_request& req) { return req.raw.len - req.header_len; }

}  // namespace

read_outcome read_request_head(client_conn& client, http_request& req) {
    req.deadline = steady::now() + std::chrono::milliseconds(request_deadline_ms);
    char block[8192];
    for (;;) {
        recv_result r = receive(client, req, block, sizeof block);
        if (r.status != recv_status::data) return ended(req, r.status);
        size_t searched = req.raw.len;
        buf_put(req.raw, block, r.count);
        if (req.raw.failed) return failed(500, "out of memory");
        read_outcome out;
        int n = parse_request_head(req.raw.view(), searched, req.head, out.fault);
        if (n == parse_partial) continue;
        if (n == parse_fault) return out;
        req.header_len = static_cast<size_t>(n);
        return out;
    }
}

namespace {
std::atomic<uint64_t> g_bodies_in_flight{0};
}  // namespace

bool body_budget_share::grow_to(uint64_t bytes) {
    if (bytes <= held_) return true;
    uint64_t more = bytes - held_;
    uint64_t now = g_bodies_in_flight.load(std::memory_order_relaxed);
    do {
        if (now > request_body_budget || more > request_body_budget - now) return false;
    } while (!g_bodies_in_flight.compare_exchange_weak(now, now + more, std::memory_order_relaxed));
    held_ = bytes;
    return true;
}

body_budget_share::~body_budget_share() {
    if (held_) g_bodies_in_flight.fetch_sub(held_, std::memory_order_relaxed);
}

bool body_awaited(const http_request& req) {
    return req.head.chunked ? body_bytes_in(req) == 0 : body_bytes_in(req) < req.head.content_length;
}

read_outcome read_request_body(client_conn& client, http_request& req) {
    if (req.head.chunked) {
        // The chunked framing is decoded as it arrives and never kept.
        chunk_decoder chunks;
        std::string_view fresh = req.raw.view().substr(req.header_len);
        char block[8192];
        for (;;) {
            size_t used = 0;
            chunk_status st = chunk_feed(chunks, fresh, req.decoded, used);
            if (req.decoded.failed) return failed(500, "out of memory");
            if (st == chunk_status::bad) return failed(400, "malformed chunked body");
            if (st == chunk_status::too_large) return failed(413, "request body too large");
            if (!req.budget.grow_to(req.decoded.len)) return failed(budget_fault.status, budget_fault.message);
            if (st == chunk_status::done) break;
            recv_result r = receive(client, req, block, sizeof block);
            if (r.status != recv_status::data) return ended(req, r.status);
            fresh = {block, r.count};
        }
        req.body = req.decoded.view();
        return {};
    }

    // Room for the whole declared body at once (it is capped), so it is
    // never copied as it grows; pages the body never reaches are never
    // touched. The body is received straight into its place, in reads as
    // large as what is still to come (up to 1 MiB).
    uint64_t declared = req.head.content_length;
    if (!buf_reserve(req.raw, static_cast<size_t>(declared))) return failed(500, "out of memory");
    while (body_bytes_in(req) < declared) {
        uint64_t to_come = declared - body_bytes_in(req);
        size_t room = to_come < (1u << 20) ? static_cast<size_t>(to_come) : (1u << 20);
        if (!buf_reserve(req.raw, room)) return failed(500, "out of memory");
        recv_result r = receive(client, req, req.raw.data + req.raw.len, room);
        if (r.status != recv_status::data) return ended(req, r.status);
        buf_commit(req.raw, r.count);
    }
    // Bytes past the declared length (a pipelined request) are not ours.
    req.body = req.raw.view().substr(req.header_len, static_cast<size_t>(declared));
    return {};
}
