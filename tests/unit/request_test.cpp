#include <gtest/gtest.h>

#include <string>

#include "front/guard.hpp"
#include "front/request.hpp"
#include "front/routes.hpp"

namespace {

request_fault parse(std::string_view head, request_head& h) {
    request_fault f;
    parse_head(head, h, f);
    return f;
}

}  // namespace

TEST(RequestHead, FramingHeaders) {
    request_head h;
    EXPECT_EQ(parse("POST /v1/chat/completions HTTP/1.1\r\nX-Content-Length: 5\r\ncontent-length:  12 \r\n\r\n", h).status, 0);
    EXPECT_TRUE(h.has_length);
    EXPECT_EQ(h.content_length, 12u);
    EXPECT_EQ(h.method, "POST");
    EXPECT_EQ(h.target, "/v1/chat/completions");
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n", h).status, 0);
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n", h).status, 0);
    EXPECT_TRUE(h.chunked);
}

TEST(RequestHead, Refusals) {
    request_head h;
    struct {
        const char* head;
        int status;
    } cases[] = {
        {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: \r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 33554433\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nContent-Length: 184467440737095516160\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400},
        {"GET /\r\n\r\n", 400},
        {"GET  / HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
    };
    for (auto& c : cases) EXPECT_EQ(parse(c.head, h).status, c.status) << c.head;
}

TEST(ChunkedBody, SameResultHoweverTheBytesAreSplit) {
    std::string framed = "5;name=v\r\nhello\r\n1\r\n \r\nA\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\nNEXT";
    for (size_t step = 1; step <= framed.size(); ++step) {
        chunk_decoder d;
        buf body;
        chunk_status st = chunk_status::more;
        size_t pos = 0;
        size_t used = 0;
        while (st == chunk_status::more && pos < framed.size()) {
            std::string_view piece = std::string_view(framed).substr(pos, step);
            st = chunk_feed(d, piece, body, used);
            pos += used;
        }
        ASSERT_EQ(st, chunk_status::done) << step;
        EXPECT_EQ(body.view(), "hello 0123456789") << step;
        EXPECT_EQ(std::string_view(framed).substr(pos), "NEXT") << step;
    }
}

TEST(ChunkedBody, MalformedAndOversized) {
    for (std::string_view bad : {"x\r\n", "\r\n", "5\r\nhelloXX", "5\n", "00000000000000001\r\n", "3\r\nabc\r\n0\r\n\rx"}) {
        chunk_decoder d;
        buf body;
        size_t used;
        EXPECT_EQ(chunk_feed(d, bad, body, used), chunk_status::bad) << bad;
    }
    chunk_decoder d;
    buf body;
    size_t used;
    EXPECT_EQ(chunk_feed(d, "2000001\r\n", body, used), chunk_status::too_large);
}

TEST(Guard, LoopbackHostsAndWebOrigins) {
    for (const char* ok : {"localhost", "LOCALHOST:8080", "127.0.0.1", "127.0.0.1:1", "[::1]", "[::1]:8080"})
        EXPECT_TRUE(is_loopback_authority(ok)) << ok;
    for (const char* bad : {"", "evil.com", "localhost.evil.com", "127.0.0.1.nip.io", "127.0.0.2", "[::2]",
                            "localhost:80x", "localhost:", "user@localhost", "0.0.0.0"})
        EXPECT_FALSE(is_loopback_authority(bad)) << bad;

    request_head h;
    request_fault f;
    EXPECT_TRUE(caller_allowed(h, f));  // no Host at all: HTTP/1.0 tools
    h.has_origin = true;
    for (const char* ok : {"null", "file://", "app://desktop", "tauri://localhost", "http://localhost:3000",
                           "https://127.0.0.1"}) {
        h.origin = ok;
        EXPECT_TRUE(caller_allowed(h, f)) << ok;
    }
    for (const char* bad : {"http://evil.com", "HTTPS://localhost.evil.com", "http://127.0.0.1.evil.com:80"}) {
        h.origin = bad;
        f = {};
        EXPECT_FALSE(caller_allowed(h, f)) << bad;
        EXPECT_EQ(f.status, 403);
    }
}

TEST(Routing, RequestLineOnly) {
    EXPECT_EQ(choose_route("GET /health HTTP/1.1", "/health").where, route::health);
    EXPECT_EQ(choose_route("GET /healthz HTTP/1.1", "/healthz").where, route::health);
    EXPECT_EQ(choose_route("GET / HTTP/1.1", "/").where, route::health);
    EXPECT_EQ(choose_route("GET /index.html HTTP/1.1", "/index.html").where, route::not_found);
    EXPECT_EQ(choose_route("POST /health HTTP/1.1", "/health").where, route::not_found);
    EXPECT_EQ(choose_route("GET /v1/models HTTP/1.1", "/v1/models").where, route::model_list);
    EXPECT_EQ(choose_route("GET /api/tags HTTP/1.1", "/api/tags").where, route::local_model_list);
    route_choice c = choose_route("GET /v1/chat/completions HTTP/1.1", "/v1/chat/completions");
    EXPECT_EQ(c.where, route::chat);
    EXPECT_FALSE(c.local_dialect);
    c = choose_route("POST /proxy/api/chat?x HTTP/1.1", "/proxy/api/chat?x");
    EXPECT_EQ(c.where, route::chat);
    EXPECT_TRUE(c.local_dialect);
}
