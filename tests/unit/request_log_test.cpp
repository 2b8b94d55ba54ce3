#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "front/request_log.hpp"

namespace {

std::string line_of(const request_trace& t, std::chrono::milliseconds total) {
    char out[log_line_max];
    size_t n = format_log_line(t, t.started + total, out);
    EXPECT_EQ(n, std::strlen(out));
    return std::string(out, n);
}

}  // namespace

TEST(RequestLog, ChatLineHasEveryFieldInOrder) {
    using namespace std::chrono;
    request_trace t;
    t.arrived = sys_days{year{2026} / 12 / 9} + hours{13} + minutes{5} + seconds{12} + milliseconds{45};
    t.upstream_first_byte = t.started + milliseconds{210};
    t.method = "POST";
    t.path = "/v1/chat/completions";
    t.route = "chat";
    t.dialect = "chat-completions";
    t.mode = "stream";
    t.status = 200;
    t.upstream_status = 201;
    t.upstream = "fallback";
    t.attempts = 2;
    t.bytes_in = 231;
    t.bytes_out = 5120;
    t.prompt_tokens = 0;  // reported as none is not "not reported"
    t.completion_tokens = 412;
    EXPECT_EQ(line_of(t, milliseconds{1532}),
              "time=2026-12-09T13:05:12.045Z method=POST path=\"/v1/chat/completions\" route=chat "
              "dialect=chat-completions mode=stream status=200 upstream_status=201 upstream=fallback attempts=2 "
              "bytes_in=231 bytes_out=5120 "
              "first_byte_ms=210 total_ms=1532 prompt_tokens=0 completion_tokens=412 error=\"\"\n");
}

TEST(RequestLog, NoInputCanForgeALine) {
    request_trace t;
    t.method = "GE T\r\n";
    std::string path = "/a b\"\\\r\ntime=1 method=GET\x7f\xc3\xa9";
    path += std::string(300, 'x');
    t.path = path;
    t.status = 400;
    set_error(t.error, "bad \"thing\"\n\x1b[31m");
    std::string line = line_of(t, std::chrono::milliseconds{3});
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_NE(line.find(" method=GE\\x20T\\x0D\\x0A path=\"/a b\\\"\\\\\\x0D\\x0Atime=1 method=GET\\x7F\\xC3\\xA9xxx"),
              std::string::npos)
        << line;
    // The path is cut to 200 bytes of the request, whatever its escapes take.
    EXPECT_NE(line.find(std::string(200 - 28, 'x') + "\" route=- dialect=- mode=- status=400 upstream_status=- upstream=- attempts=-"),
              std::string::npos)
        << line;
    EXPECT_EQ(line.find(std::string(200 - 27, 'x')), std::string::npos);
    EXPECT_NE(line.find(" first_byte_ms=- total_ms=3 prompt_tokens=- completion_tokens=- "
                        "error=\"bad \\\"thing\\\"\\x0A\\x1B[31m\"\n"),
              std::string::npos)
        << line;
}
