// The reply writer's bytes: every literal callers have always received comes
// out unchanged, and extra lines for a caller land in the header block only.
#include <gtest/gtest.h>

#include <string>

#include "front/routes.hpp"
#include "http/reply.hpp"
#include "dialects/local_model/model_info.hpp"

namespace {

std::string joined(const reply_bytes& r) {
    std::string out;
    for (size_t i = 0; i < r.count; ++i) out.append(r.parts[i]);
    return out;
}

std::string reply(const reply_head& head, std::string_view body) {
    reply_bytes r;
    build_reply(r, head, body);
    return joined(r);
}

}  // namespace

TEST(ReplyWriter, HealthAndNotFoundLiterals) {
    reply_bytes health;
    build_health_reply(health, {});
    std::string bytes = joined(health);
    EXPECT_EQ(bytes,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 27\r\nConnection: close\r\n\r\n"
              "{\"status\":\"ok\",\"zelk\":true}\n");
    EXPECT_EQ(bytes.size(), 118u);
    EXPECT_EQ(reply({404}, {}), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(ReplyWriter, ModelListWithTheDefaultModel) {
    buf body;
    shim_settings settings;
    settings.model_name = "auto";
    EXPECT_EQ(answer_model_query(model_query::list, {}, settings, body), 200);
    EXPECT_EQ(reply({200, nullptr, "application/json"}, body.view()),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 75\r\nConnection: close\r\n\r\n"
              "{\"object\":\"list\",\"data\":[{\"id\":\"auto\",\"object\":\"model\",\"owned_by\":\"zelk\"}]}");
}

TEST(ReplyWriter, StreamHeadAndChunkedFraming) {
    reply_bytes head;
    build_stream_head(head, {});
    std::string bytes = joined(head);
    EXPECT_EQ(bytes,
              "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
              "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(bytes.size(), 124u);
}

TEST(ReplyWriter, RelayFailureUnderItsOwnReasonAndEscapedText) {
    buf body;
    put_error_body(body, "bad \"x\"\n");
    EXPECT_EQ(reply({502, "Internal", "application/json"}, body.view()),
              "HTTP/1.1 502 Internal\r\nContent-Type: application/json\r\nContent-Length: 60\r\nConnection: close\r\n\r\n"
              "{\"error\":{\"message\":\"bad \\\"x\\\"\\n\",\"type\":\"zelk_shim_error\"}}");
    EXPECT_EQ(reply({599, nullptr, "application/json"}, "{}").substr(0, 21), "HTTP/1.1 599 Unknown\r");
}

TEST(ReplyWriter, RouteAndCallerLinesInTheirPlaces) {
    EXPECT_EQ(reply({405, nullptr, "application/json", "Allow: POST\r\n", "Vary: Origin\r\n"}, "{}"),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: application/json\r\nAllow: POST\r\n"
              "Content-Length: 2\r\nConnection: close\r\nVary: Origin\r\n\r\n{}");
    reply_bytes head;
    build_stream_head(head, "Vary: Origin\r\n");
    EXPECT_TRUE(joined(head).ends_with("Connection: close\r\nVary: Origin\r\n\r\n"));
}
