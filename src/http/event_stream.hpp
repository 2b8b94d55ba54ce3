// Reading a server-sent event stream as its body arrives in blocks. Pure:
// bytes in, one call per complete event out; no socket, clock or policy.
#pragma once
#include <cstddef>
#include <string_view>

#include "text/buf.hpp"

// One event's data, and one line of the stream, may hold at most this many
// bytes; beyond it the reader stops (memory per stream stays bounded).
inline constexpr size_t event_max_bytes = 4u << 20;

// Called with the data of each complete event: its "data:" lines joined by
// "\n" (one space after the colon dropped). The text lives until the call
// returns. Return false to stop reading (the rest of the stream is not wanted).
using event_handler = bool (*)(void* ctx, std::string_view data);

enum class event_status { reading, stopped, too_large };

// Line ends are "\r\n", "\n" or a bare "\r"; an empty line ends an event;
// lines starting with ":" and fields other than "data" are passed over; an
// event without data is not reported. An event that lies whole inside one
// block is reported as a span of that block; only what straddles blocks is
// copied.
struct event_reader {
    buf line;                // a line cut by the end of a block
    buf data;                // the event's data when it cannot stay a span
    std::string_view span;   // the event's data inside the current block
    bool in_span = false;    // the data so far is `span`, not `data`
    size_t data_lines = 0;
    size_t data_bytes = 0;
    bool cr_ended = false;   // the last block ended in "\r": a "\n" next is part of that line end
    event_status status = event_status::reading;
};

// Reads one block; returns the reader's status afterwards. Once it is not
// `reading`, later blocks are ignored.
event_status event_feed(event_reader& r, std::string_view block, event_handler on_event, void* ctx);

// Whether a stream's bytes so far end with its closing event, `data: [DONE]`
// standing alone (first in the stream or after a blank line) and ended by a
// blank line, more blank lines allowed; its line ends may be "\r\n", "\n" or
// "\r" and it may be cut anywhere across blocks. Only the stream's last bytes
// are kept and looked at, once per block, so the cost does not grow with the
// block: upstreams send the event last, alone or at the end of a block. One
// that anything follows in the same block is not taken for the end (the
// stream then ends with the upstream's body, as it always could).
struct done_watch {
    char last[32] = {};      // the stream's last bytes, the newest at the end
    size_t held = 0;         // bytes of `last` in use
    bool from_start = true;  // `last` holds the stream from its first byte
};

bool done_watch_feed(done_watch& w, std::string_view block);
