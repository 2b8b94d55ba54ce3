// The token counts an upstream reports for a request ("usage"), which the
// request log shows so the user sees what each request cost.
#pragma once
#include <cstddef>
#include <string_view>

struct token_usage {
    long long prompt = -1;  // -1: not reported
    long long completion = -1;
};

// The "usage" object whose "{" is at `pos` in `doc`.
token_usage usage_at(std::string_view doc, size_t pos);

// A chat-completions answer's top-level "usage".
token_usage answer_usage(std::string_view answer);

// The last "usage" object with counts in the tail of an event stream.
token_usage last_stream_usage(std::string_view tail);

// The end of an event stream, kept only while the request log is on: the
// last usage event is at most a few hundred bytes and comes just before the
// stream ends, so the last few KiB hold it without holding anything back.
struct stream_tail {
    static constexpr size_t keep = 4096;
    char bytes[2 * keep];
    size_t len = 0;
    void add(const char* data, size_t n);
    std::string_view view() const { return {bytes, len}; }
};
