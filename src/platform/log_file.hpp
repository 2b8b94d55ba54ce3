// Where request log lines go: standard error or a file that every line is
// appended to. Each line leaves in one write, so lines written by concurrent
// connection threads never interleave.
#pragma once
#include <cstdint>
#include <string_view>

#include "text/bounded.hpp"

// Owns the log file's handle (standard error is borrowed, never closed).
struct log_output {
    intptr_t handle = -1;
    bool owned = false;

    log_output() = default;
    log_output(const log_output&) = delete;
    log_output& operator=(const log_output&) = delete;
    ~log_output();
    bool enabled() const { return handle != -1; }
};

void log_open_stderr(log_output& out);
// Opens `path` for appending, creating it (readable by its owner only on
// POSIX). False with an error text naming the path when it cannot be opened.
bool log_open_file(const char* path, log_output& out, error_text& err);
// One write of the whole line; a failed write is dropped (the log never
// holds up a request).
void log_write(const log_output& out, std::string_view line);
