// The upstream transport: the HTTP client for the one upstream chat service,
// libcurl on POSIX and WinHTTP on Windows. It is mechanism only: it opens or
// reuses a connection (through the proxy when one is set), sends the body
// pieces, hands back the final answer's head and then its body blocks as
// they arrive, and stops when told. What an answer means and how a failure
// is worded is decided above it, once for both systems.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/net.hpp"
#include "text/bounded.hpp"

// The answer body arrives in blocks of at most this many bytes, with any
// transfer coding removed.
inline constexpr size_t upstream_block_size = 16384;

// A body of one piece up to this size goes out in the same send as the
// request head.
inline constexpr size_t upstream_joined_body_limit = 64 * 1024;

struct upstream_target {
    bool secure = false;
    char host[256] = {};  // bare host; an IPv6 literal without its brackets
    uint16_t port = 0;
    char path[512] = {};
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

inline constexpr int upstream_connect_timeout_default_ms = 10 * 1000;
inline constexpr int upstream_silence_timeout_default_ms = 600 * 1000;

// Everything the transport needs, worked out once at start-up.
struct upstream_config {
    upstream_target target;
    upstream_proxy proxy;
    const char* ca_bundle = nullptr;  // another CA bundle for TLS; null or empty: the system's store
    // The name lookup, the connection and (libcurl) the TLS handshake and a
    // proxy's tunnel, together.
    int connect_timeout_ms = upstream_connect_timeout_default_ms;
    // A transfer that keeps moving has no limit; one silent this long has
    // failed: no byte of the answer's head after the request went out, or
    // none of its body since the last one (or the upstream taking none of
    // the request's body).
    int silence_timeout_ms = upstream_silence_timeout_default_ms;
};

// The transport's state for the process's life: the configuration and the
// shared handles that keep connections, name lookups and TLS sessions warm
// across requests. Opaque above the platform.
struct upstream_client;
struct upstream_client_closer {
    void operator()(upstream_client* c) const;
};
using upstream_client_ptr = std::unique_ptr<upstream_client, upstream_client_closer>;

// Once per process, before the first exchange. Null with `err` set when
// the system's HTTP client cannot be started.
upstream_client_ptr upstream_client_open(const upstream_config& config, error_text& err);

// Opens a first connection to the target in the background and keeps it for
// the first chat request, so that request does not wait for the connect and
// the TLS handshake. Returns at once; sends no key and no chat request, and
// an upstream that cannot be reached leaves no trace. The client must live
// for the rest of the process.
void upstream_warm_up(upstream_client& client);

// For --help: how this build decides which TLS certificates to trust.
extern const char* const upstream_trust_help;

// A Content-Encoding value is kept whole up to this size, so that what is
// quoted of it can be masked whole.
inline constexpr size_t upstream_coding_room = 1024;

// The final answer's head as far as the relay needs it.
struct upstream_head {
    unsigned long status = 0;
    std::string_view content_encoding;  // the value, blanks trimmed; empty when there is none
    bool content_encoding_cut = false;  // it was longer than upstream_coding_room - 1 (then empty)
    // How long the upstream asks to be left alone, as it wrote it (blanks
    // trimmed; empty when absent or longer than upstream_wait_room - 1).
    std::string_view retry_after;
    std::string_view retry_after_ms;
};

// Room for a Retry-After value: an HTTP date is 29 bytes.
inline constexpr size_t upstream_wait_room = 64;

// What the relay made of a body block.
enum class body_verdict {
    more,  // go on
    stop,  // end the transfer at once (the caller has gone, or the answer cannot be kept)
    // The caller's reply is complete. The rest of the answer is read and
    // dropped, within the drain bounds below, so the connection goes back to
    // the pool for the next request; past them the transfer is cut. The
    // caller is no longer watched: its reply is whole, whatever it does now.
    done,
};

// A finished answer's rest is read for at most this long and this much:
// normally only the end of the chunked framing, never worth more than the
// connect and handshake it saves.
inline constexpr size_t upstream_drain_max_bytes = 256 * 1024;
inline constexpr int upstream_drain_max_ms = 1000;

// The relay's side of one exchange.
struct upstream_handler {
    void* ctx = nullptr;
    // Called once with the final answer's head: before the first body block,
    // or after a complete answer without a body. False ends the transfer.
    bool (*head)(void* ctx, const upstream_head& head) = nullptr;
    body_verdict (*body)(void* ctx, const char* data, size_t len) = nullptr;
    // The caller whose request is relayed, watched while the upstream works,
    // so a caller that leaves ends the transfer within about a second. A reset
    // or error on its connection is a departure. A caller that has only shut
    // its sending side (which a leaving caller does too) is probed once it
    // has: see probe_result. `probe` runs on the calling thread on POSIX and
    // on a watcher thread on Windows, never at the same time as the callbacks.
    const socket_handle* caller = nullptr;  // null: not watched
    probe_result (*probe)(void* ctx) = nullptr;
};

struct upstream_result {
    unsigned long status = 0;  // 0 until a status line was read
    bool stopped = false;      // a callback ended the transfer, or said the answer was done with
    bool caller_gone = false;  // the watched caller left (the transfer was ended)
    bool failed = false;       // the exchange failed below the relay: `detail` says how
    // It failed before any byte of the request reached the upstream: the
    // name did not resolve, the connect or the TLS handshake failed, or the
    // proxy refused the tunnel. Sending it again cannot do it twice.
    bool unsent = false;
    // The system's own words: libcurl's message and code, or the WinHTTP call
    // and its error number.
    char detail[200] = {};
};

// POSTs the body (its pieces in order) to the target with exactly the given
// header lines (each ending in CR LF) besides the client's own host, length
// and user-agent lines.
void upstream_exchange(upstream_client& client, std::string_view header_lines,
                       std::span<const std::string_view> body, const upstream_handler& handler,
                       upstream_result& out);
