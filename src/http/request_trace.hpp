// What one request did, for the request log: filled by the front and the
// relay as the request goes, written as one line when it is done. Only made
// when the log is on; everyone holds a pointer that is null otherwise, so an
// unlogged request costs nothing.
#pragma once
#include <chrono>
#include <cstdint>
#include <string_view>

#include "text/bounded.hpp"

struct request_trace {
    std::chrono::system_clock::time_point arrived = std::chrono::system_clock::now();
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point upstream_first_byte{};  // epoch: no byte came
    std::string_view method;  // views into the request; empty until its head was read
    std::string_view path;
    const char* route = "-";    // a fixed name: "chat", "models", "health", "not_found", ...
    const char* dialect = "-";  // "chat-completions" or "local-model" for the routes that have one
    const char* mode = "-";     // "stream" or "buffered" for chat requests
    int status = 0;             // the status sent to the caller; 0 when nothing was sent
    unsigned long upstream_status = 0;
    const char* upstream = "-";  // "primary" or "fallback": the upstream that answered the last attempt
    unsigned attempts = 0;       // attempts at the upstream; 0 when none was made
    uint64_t bytes_in = 0;   // read from the caller
    uint64_t bytes_out = 0;  // sent to the caller
    long long prompt_tokens = -1;      // from the upstream's usage; -1: not reported
    long long completion_tokens = -1;
    error_text error;  // the error text the caller was given
};
