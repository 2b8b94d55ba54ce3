// The HTTP client for the one upstream chat service. The calling thread
// blocks for the whole exchange; the answer body arrives in blocks of at
// most `upstream_block_size` bytes, with any transfer coding removed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "text/bounded.hpp"

inline constexpr size_t upstream_block_size = 16384;

struct upstream_target {
    bool secure = false;
    char host[256] = {};  // bare host; an IPv6 literal without its brackets
    uint16_t port = 0;
    char path[512] = {};
};

// Receives each block as soon as it has been read. Returning false ends the
// transfer at once (the caller has gone, or the block could not be kept).
using body_sink = bool (*)(void* ctx, const char* data, size_t len);

struct upstream_outcome {
    unsigned long status = 0;    // 0 until a status line was read; set before the first block reaches the sink
    bool stopped = false;        // the sink ended the transfer
    bool received_body = false;  // at least one body byte arrived
    error_text error;            // empty unless the exchange failed
};

// For --help: how this build decides which TLS certificates to trust.
extern const char* const upstream_trust_help;

// Once per process, before the first call: the shared session that keeps
// upstream connections, name lookups and TLS sessions warm across requests.
bool upstream_startup(error_text& err);

// Opens a first connection to the target in the background and keeps it for
// the first chat request, so that request does not wait for the connect and
// the TLS handshake. Returns at once; sends no key and no chat request, and
// an upstream that cannot be reached leaves no trace.
void upstream_warm_up(const upstream_target& target);

// One upstream exchange.
struct upstream_call {
    const upstream_target* target = nullptr;
    std::string_view header_lines;  // each ending in CR LF
    std::string_view body;
    // When not empty, the body is these pieces sent one after another (a
    // rewritten body as spans of the received bytes and the texts spliced
    // between them, never joined into one copy), and `body` is unused.
    std::span<const std::string_view> body_pieces;
};

// POSTs the body to the target with exactly the call's header lines besides
// the client's own host, length and user-agent lines, and hands the answer
// body to `sink`.
void call_upstream(const upstream_call& call, body_sink sink, void* ctx, upstream_outcome& out);
