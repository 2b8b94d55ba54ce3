#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/guard.hpp"
#include "front/request.hpp"
#include "front/routes.hpp"
#include "test_data.hpp"
#include "text/ascii.hpp"

namespace {

struct malformed_case {
    int status;
    bool close;
    std::string name;
    std::string words;
    std::string data;
};

// The table's escapes: \r \n \t \0 \\ \xNN, and {C*N} for N copies of C.
std::string unescape(std::string_view in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '\\' && i + 1 < in.size()) {
            char e = in[++i];
            if (e == 'x') {
                out += static_cast<char>(std::stoi(std::string(in.substr(i + 1, 2)), nullptr, 16));
                i += 2;
            } else {
                out += e == 'r' ? '\r' : e == 'n' ? '\n' : e == 't' ? '\t' : e == '0' ? '\0' : e;
            }
        } else if (c == '{' && i + 3 < in.size() && in[i + 2] == '*') {
            size_t close = in.find('}', i);
            out.append(std::stoul(std::string(in.substr(i + 3, close - i - 3))), in[i + 1]);
            i = close;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<malformed_case> malformed_table() {
    std::vector<malformed_case> cases;
    std::string_view rest = malformed_requests_table;
    while (!rest.empty()) {
        std::string_view line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(line.size() < rest.size() ? line.size() + 1 : line.size());
        if (line.empty() || line.front() == '#') continue;
        std::string_view field[5];
        for (int f = 0; f < 4; ++f) {
            size_t tab = line.find('\t');
            field[f] = line.substr(0, tab);
            line.remove_prefix(tab + 1);
        }
        field[4] = line;
        cases.push_back({std::stoi(std::string(field[0])), field[1] == "1", std::string(field[2]),
                         std::string(field[3]), unescape(field[4])});
    }
    return cases;
}

bool mentions(std::string_view text, std::string_view words) {
    for (size_t i = 0; i + words.size() <= text.size(); ++i)
        if (ascii_iequals(text.substr(i, words.size()), words)) return true;
    return false;
}

// What the parser, the guard and the body decoder make of a whole request,
// as the read loop would act on it: a status, or 0 for a request accepted,
// or -2 when more bytes would be needed.
int verdict(const std::string& data, std::string& message) {
    http_request req;
    buf_put(req.raw, data);
    request_fault fault;
    int n = parse_request_head(req.raw.view(), 0, req.head, fault);
    if (n == parse_partial) return parse_partial;
    if (n == parse_fault) return message = fault.message, fault.status;
    req.header_len = static_cast<size_t>(n);
    if (!caller_allowed(req, origin_list{}, fault)) return message = fault.message, fault.status;
    std::string_view body = req.raw.view().substr(req.header_len);
    if (req.head.chunked) {
        chunk_decoder d;
        size_t used = 0;
        switch (chunk_feed(d, body, req.decoded, used)) {
            case chunk_status::bad: return message = "malformed chunked body", 400;
            case chunk_status::too_large: return message = "request body too large", 413;
            case chunk_status::more: return parse_partial;
            case chunk_status::done: return 0;
        }
    }
    return body.size() < req.head.content_length ? parse_partial : 0;
}

request_fault parse(std::string_view head, request_head& h) {
    request_fault f;
    EXPECT_EQ(parse_request_head(head, 0, h, f), f.status ? parse_fault : static_cast<int>(head.size())) << head;
    return f;
}

}  // namespace

// Every refused request of the shared table is refused by the pure parts
// with its status and words; the ones the client leaves incomplete need
// more bytes, which the read loop turns into 400 when the client closes.
TEST(RequestParser, MalformedTable) {
    std::vector<malformed_case> cases = malformed_table();
    ASSERT_GT(cases.size(), 30u);
    for (const malformed_case& c : cases) {
        std::string message;
        int got = verdict(c.data, message);
        if (c.close) {
            EXPECT_EQ(got, parse_partial) << c.name;
        } else {
            EXPECT_EQ(got, c.status) << c.name;
            EXPECT_TRUE(mentions(message, c.words)) << c.name << ": " << message;
        }
    }
}

TEST(RequestParser, IncompleteCompleteAndPieces) {
    std::string req = "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}";
    size_t head_len = req.size() - 2;
    // However the head arrives, it is complete exactly when its empty line is in.
    for (size_t cut = 1; cut < head_len; ++cut) {
        request_head h;
        request_fault f;
        EXPECT_EQ(parse_request_head(std::string_view(req).substr(0, cut), 0, h, f), parse_partial) << cut;
        EXPECT_EQ(parse_request_head(req, cut, h, f), static_cast<int>(head_len)) << cut;
        EXPECT_EQ(h.content_length, 2u);
        EXPECT_EQ(h.target.in(req), "/v1/chat/completions");
        EXPECT_EQ(h.host.in(req), "127.0.0.1");
    }
}

TEST(RequestParser, FramingHeaders) {
    request_head h;
    std::string_view head = "POST /v1/chat/completions HTTP/1.1\r\nX-Content-Length: 5\r\ncontent-length:  12 \r\n\r\n";
    EXPECT_EQ(parse(head, h).status, 0);
    EXPECT_TRUE(h.has_length);
    EXPECT_EQ(h.content_length, 12u);
    EXPECT_EQ(h.method.in(head), "POST");
    EXPECT_EQ(h.version.in(head), "HTTP/1.1");
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n", h).status, 0);
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n", h).status, 0);
    EXPECT_TRUE(h.chunked);
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

    auto allowed = [](std::string origin) {
        http_request req;
        buf_put(req.raw, "GET / HTTP/1.1\r\n" + (origin.empty() ? "" : "Origin: " + origin + "\r\n") + "\r\n");
        request_fault f;
        EXPECT_GT(parse_request_head(req.raw.view(), 0, req.head, f), 0) << origin;
        bool ok = caller_allowed(req, origin_list{}, f);
        EXPECT_EQ(f.status, ok ? 0 : 403) << origin;
        return ok;
    };
    EXPECT_TRUE(allowed(""));  // no Host and no Origin at all: HTTP/1.0 tools
    for (const char* ok : {"null", "file://", "app://desktop", "tauri://localhost", "http://localhost:3000",
                           "https://127.0.0.1"})
        EXPECT_TRUE(allowed(ok)) << ok;
    for (const char* bad : {"http://evil.com", "HTTPS://localhost.evil.com", "http://127.0.0.1.evil.com:80"})
        EXPECT_FALSE(allowed(bad)) << bad;
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
    // A preflight is told the method the path is served under, where it is served.
    EXPECT_EQ(choose_route("OPTIONS /api/show HTTP/1.1", "/api/show", true).page_method, "POST");
    EXPECT_EQ(choose_route("OPTIONS /api/show HTTP/1.1", "/api/show").page_method, "");
}
