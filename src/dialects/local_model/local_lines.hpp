// The local-model dialect in full, the upstream's side: its event stream
// turned into newline-delimited reply objects, a collected answer into one
// reply object. Pure: no socket; the clock is passed in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "http/event_stream.hpp"
#include "dialects/local_model/local_dialect.hpp"
#include "dialects/local_model/local_request.hpp"
#include "text/bounded.hpp"
#include "text/buf.hpp"

// ---- Time -------------------------------------------------------------------

// The clocks the replies read, replaceable so that tests are exact.
struct local_clock {
    int64_t (*steady_ns)();  // for durations
    int64_t (*utc_ns)();     // nanoseconds since 1970-01-01 UTC, for created_at
};
local_clock system_local_clock();

// Moments of one request on the steady clock; 0 when not known.
struct local_timing {
    int64_t started_ns = 0;     // the request arrived
    int64_t head_ns = 0;        // the upstream's status was known
    int64_t first_byte_ns = 0;  // the upstream's first body byte (collected answers)
};

// "2026-12-09T10:11:12.345678Z"; returns its length (at most 27).
size_t format_utc(char (&out)[32], int64_t utc_ns);

// ---- Streamed reply ---------------------------------------------------------

// Receives each reply line (a JSON object and its "\n") to send as one chunk.
using line_sink = void (*)(void* ctx, std::string_view line);

inline constexpr size_t max_stream_tool_calls = 64;          // indexes 0..63
inline constexpr size_t max_tool_argument_bytes = 16u << 20;  // all calls of one reply

struct stream_tool_call {
    buf id;         // the upstream's id for the call, JSON string content; may be empty
    buf name;       // JSON string content as the upstream wrote it
    buf arguments;  // the same, its pieces joined
    bool used = false;
};

// One streamed reply. Fill it with full_stream_start, then feed it the
// upstream's body blocks; once it says it is finished, the reply is complete
// (its final or error line was sent) and the upstream is no longer needed.
// Its lines are /api/chat's ("message":{...}) or /api/generate's
// ("response":"..."), as `shape` says: nothing else differs.
struct full_stream {
    local_shape shape = local_shape::chat;
    std::string_view model;
    local_clock clock{};
    local_timing timing;
    line_sink sink = nullptr;
    void* sink_ctx = nullptr;
    event_reader events;
    buf line;
    buf scratch;
    stream_tool_call calls[max_stream_tool_calls];
    size_t calls_sent = 0;  // the reply's calls in lines so far: the next one's index
    size_t argument_bytes = 0;
    long long prompt_tokens = 0;
    long long completion_tokens = 0;
    bool cut_by_length = false;
    bool usage_reported = false;  // an event carried the counts
    bool choice_seen = false;     // an event carried a choice (a delta or a finish reason)
    int64_t first_event_ns = 0;
    bool finished = false;
    bool done = false;  // the final line went out
    error_text error;   // the error line's text, when the reply ended in one
};

// `model` must outlive the stream.
void full_stream_start(full_stream& s, std::string_view model, const local_timing& timing,
                       const local_clock& clock, line_sink sink, void* ctx, local_shape shape = local_shape::chat);
// One block of the upstream's body; returns false once the reply is finished.
bool full_stream_feed(full_stream& s, std::string_view block);
// The upstream's body ended: a reply not finished by then gets an error line.
void full_stream_end(full_stream& s);

// ---- Collected reply --------------------------------------------------------

// The reply to a buffered request: as build_local_reply, plus tool calls
// (arguments as objects, the upstream's ids kept, each with its position as
// function.index, as a stream's lines number them), the counts and the
// durations. An upstream refusal keeps its status with {"error":"<the
// upstream's words>"}; an answer that is not JSON, has no choice
// with a message, holds a member of another kind than it must be, or tool
// arguments that do not parse, give 502 naming what was wrong.
local_reply build_full_reply(unsigned long upstream_status, std::string_view answer, std::string_view model,
                             const local_timing& timing, const local_clock& clock, buf& body,
                             local_shape shape = local_shape::chat);

// The answer to a load request: one final object with empty text and
// done_reason "load" ("unload" when the caller asked for it).
void build_load_reply(buf& body, std::string_view model, const local_clock& clock, local_shape shape, bool unload);
