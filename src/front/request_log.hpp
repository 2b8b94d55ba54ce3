// The request log: one line per request, key=value pairs in a fixed order.
//
//   time=2026-12-09T13:05:12.345Z method=POST path="/v1/chat/completions"
//   route=chat dialect=chat-completions mode=stream status=200 upstream_status=200
//   bytes_in=231 bytes_out=5120 first_byte_ms=210 total_ms=1532 prompt_tokens=57
//   completion_tokens=412 error=""
//
// (one line in the file). Every key is always there; "-" stands for a value
// that does not apply. path and error are quoted, with '"', '\\' and every
// byte outside printable ASCII written as \" \\ \xHH, so no request can
// start a line of its own. The path is cut to 200 bytes. Never the key, an
// Authorization header or any body text.
#pragma once
#include <chrono>
#include <cstddef>

#include "http/request_trace.hpp"
#include "platform/log_file.hpp"

// Stays below the size a pipe writes whole (PIPE_BUF), so even lines to a
// shared standard error never interleave.
inline constexpr size_t log_line_max = 2560;
inline constexpr size_t log_path_max = 200;

// For a request refused before its head could be read: method and target
// taken loosely from the first line of what arrived, so the log still shows
// what came.
void trace_raw_request_line(request_trace& t, std::string_view raw);

// The whole line, ending in "\n", into `out`; returns its length.
size_t format_log_line(const request_trace& t, std::chrono::steady_clock::time_point done,
                       char (&out)[log_line_max]);

// Formats the finished request's line and writes it in one piece.
void log_request(const log_output& out, const request_trace& t);
