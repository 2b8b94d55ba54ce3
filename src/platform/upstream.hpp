// The HTTP client for the one upstream chat service. The calling thread
// blocks for the whole exchange; the answer body arrives in blocks of at
// most `upstream_block_size` bytes, with any transfer coding removed.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/net.hpp"
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
    bool stopped = false;        // the sink ended the transfer, or the caller left (then caller_gone too)
    bool caller_gone = false;    // the watched caller left while the upstream worked
    bool received_body = false;  // at least one body byte arrived
    std::chrono::steady_clock::time_point first_byte_at{};  // when it did
    error_text error;            // empty unless the exchange failed
};

// An explicit HTTP proxy for every upstream call. The environment's proxy
// variables never count: only this record does.
struct upstream_proxy {
    // "http://host:port" (an IPv6 host in brackets), never the credentials:
    // what the client is pointed at and what error texts name. Empty: no proxy.
    char url[300] = {};
    char user[256] = {};
    char password[256] = {};
    bool enabled() const { return url[0] != '\0'; }
    bool has_credentials() const { return user[0] != '\0'; }
};

// The caller whose request is being relayed, watched while the upstream
// works, so a caller that leaves ends the upstream transfer within about a
// second instead of at the next block sent to it. A reset or error on its
// connection is a departure. A caller that has only shut down its sending
// side (which a leaving caller does too) is sent `probe` once: a caller
// that left answers those bytes with a reset, one that still listens takes
// them in and gets its whole answer.
struct caller_watch {
    const socket_handle* socket = nullptr;  // null: not watched
    // Sends the probe; false when nothing may be sent now (asked again later).
    // Called on the calling thread on POSIX and from a watcher thread on
    // Windows, never at the same time as the sink.
    bool (*probe)(void* ctx) = nullptr;
    void* probe_ctx = nullptr;
};

// For --help: how this build decides which TLS certificates to trust.
extern const char* const upstream_trust_help;

// Once per process, before the first call: the shared session that keeps
// upstream connections, name lookups and TLS sessions warm across requests.
// The proxy (may be null) is fixed here for the process's life, since a
// WinHTTP session takes its proxy when it is opened.
bool upstream_startup(error_text& err, const upstream_proxy* proxy = nullptr);

// Opens a first connection to the target in the background and keeps it for
// the first chat request, so that request does not wait for the connect and
// the TLS handshake. Returns at once; sends no key and no chat request, and
// an upstream that cannot be reached leaves no trace.
void upstream_warm_up(const upstream_target& target);

// One upstream exchange.
struct upstream_call {
    const upstream_target* target = nullptr;
    std::string_view header_lines;  // each ending in CR LF
    // The body as pieces sent one after another: a rewritten body is spans
    // of the received bytes and the texts spliced between them, and a large
    // one is never joined into one copy.
    std::span<const std::string_view> body;
    const caller_watch* caller = nullptr;  // watched for departure when set
};

// POSTs the body to the target with exactly the call's header lines besides
// the client's own host, length and user-agent lines, and hands the answer
// body to `sink`.
void call_upstream(const upstream_call& call, body_sink sink, void* ctx, upstream_outcome& out);
