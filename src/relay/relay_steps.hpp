// The steps both chat relays take (the upstream's answer relayed as it is,
// and the local-model dialect converted in full): the exchange, collecting a
// buffered answer, and telling the request log what happened.
#pragma once
#include <span>
#include <string_view>

#include "http/request_trace.hpp"
#include "http/connection.hpp"
#include "relay/upstream_call.hpp"
#include "relay/usage.hpp"
#include "settings/settings.hpp"
#include "text/buf.hpp"

// Relay failures have always been reported under this reason phrase.
inline constexpr const char* relay_failure_reason = "Internal";

// Makes the turn's body once more for another model (the fallback
// upstream's, when it has its own); the pieces live as long as `ctx`. Empty
// when memory ran out.
struct body_remake {
    std::span<const std::string_view> (*make)(void* ctx, std::string_view model) = nullptr;
    void* ctx = nullptr;
};

// The exchange with the upstream, unless the settings already say it fails;
// `ctx` goes to both the sink and the probe. The trace learns the status,
// the first byte, which upstream answered and after how many attempts.
// `remake` makes the body for the fallback's model (null: the same body).
void exchange(const shim_settings& settings, std::span<const std::string_view> body, client_conn& client,
              probe_result (*probe)(void*), body_sink sink, void* ctx, upstream_outcome& got, request_trace* trace,
              const body_remake* remake = nullptr);

// The attempts of one exchange: tried again (the same body bytes, after a
// wait that watches the caller) while the failure is one another try can
// mend and nothing of the answer has reached the sink; the sink sees only
// the last attempt's answer. With a fallback upstream, such a failure of the
// primary sends the next attempt, at once, to the fallback, and the turns of
// the next 30 s start there. `got` is the last attempt's outcome.
void attempt_upstream(const shim_settings& settings, std::span<const std::string_view> body, client_conn& client,
                      probe_result (*probe)(void*), body_sink sink, void* ctx, upstream_outcome& got,
                      const body_remake* remake);

// The header lines a failed turn's reply carries besides `extra_lines`:
// "x-should-retry: false" when the shim tried more than once or the quota is
// spent, and the upstream's Retry-After (in seconds) on a 429 or 503 that was
// not tried again. `extra_lines` itself when there are none (nothing built).
std::string_view attempt_lines(std::string_view extra_lines, const upstream_outcome& got, buf& room);

// The most a buffered answer may hold.
inline constexpr size_t collected_answer_max = 64u << 20;

// A buffered answer, held whole before it is sent (up to a cap: beyond it
// it is not a chat answer, and holding it would let one upstream take the
// machine's memory).
struct collector {
    buf answer;
    bool too_large = false;
    client_conn& client;
};
body_verdict collect_block(void* ctx, const char* data, size_t len);
// A buffered reply's probe for a half-closed caller: an interim 100 answer,
// which HTTP/1.1 clients must accept and skip before the final one. An
// HTTP/1.0 caller may not be sent one, so its half-close is never taken for a
// departure (a reset still is).
probe_result probe_buffered(void* ctx);
// The same before any final head of a reply: the probe as far as the caller's
// version allows.
probe_result probe_with_continue(client_conn& client);
// Why a collected answer cannot be answered as it came, or empty.
error_text collected_problem(const shim_settings& settings, const collector& collected, const upstream_outcome& got);

void note_usage(request_trace* trace, token_usage used);
void note_error(request_trace* trace, const char* text);

// The debug copy of the body that went upstream.
void write_debug_copy(std::span<const std::string_view> body);
