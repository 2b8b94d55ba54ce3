#include <gtest/gtest.h>

#include <string>

#include "relay/local_dialect.hpp"

namespace {

std::string convert(std::string_view in, int* flag = nullptr) {
    buf out;
    int f = convert_local_request(in, "auto", out);
    if (flag) *flag = f;
    return std::string(out.view());
}

struct reply {
    local_reply r;
    std::string body;
};

reply build(unsigned long status, std::string_view answer) {
    buf body;
    reply out;
    out.r = build_local_reply(status, answer, "auto", "2026-12-09T10:11:12Z", body);
    out.body = body.view();
    return out;
}

std::string success(std::string_view content, std::string_view reason = "stop", int p = 0, int e = 0) {
    return std::string(R"({"model":"auto","created_at":"2026-12-09T10:11:12Z","message":{"role":"assistant","content":")") +
           std::string(content) + R"("},"done":true,"done_reason":")" + std::string(reason) +
           R"(","prompt_eval_count":)" + std::to_string(p) + R"(,"eval_count":)" + std::to_string(e) + "}";
}

}  // namespace

TEST(LocalRequest, ThreeFieldsOnly) {
    int flag = -1;
    EXPECT_EQ(convert(R"({"model":"llama","messages":[{"role":"user","content":"hi"}],"options":{"stream":true}})", &flag),
              R"({"model":"auto","messages":[{"role":"user","content":"hi"}],"stream":false})");
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(convert(R"({"stream" : true,"messages":[{"content":"stream"}]})", &flag),
              R"({"model":"auto","messages":[{"content":"stream"}],"stream":true})");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(convert(R"({"model":"x"})"), R"({"model":"auto","messages":[],"stream":false})");
    EXPECT_EQ(convert(R"({"messages":[{"a":1})"), R"({"model":"auto","messages":[{"a":1},"stream":false})");
}

TEST(LocalReply, ContentFromFirstChoiceMessage) {
    reply r = build(200, R"({"choices":[{"message":{"role":"assistant","content":"Hi \"you\"\n"},"finish_reason":"length"},)"
                         R"({"message":{"content":"second"}}],"usage":{"prompt_tokens":7,"completion_tokens":3}})");
    EXPECT_EQ(r.r.status, 200);
    EXPECT_TRUE(r.r.success);
    EXPECT_EQ(r.body, success(R"(Hi \"you\"\n)", "length", 7, 3));
}

TEST(LocalReply, NullOrMissingContentIsEmptyNotTheNextKey) {
    EXPECT_EQ(build(200, R"({"choices":[{"message":{"content":null,"role":"assistant"}}]})").body, success(""));
    EXPECT_EQ(build(200, R"({"choices":[{"message":{"role":"assistant"}}],"content":"elsewhere"})").body, success(""));
    EXPECT_EQ(build(200, R"({"choices":[{"message":{"content":"cut off)").body, success(""));
}

TEST(LocalReply, FallbackToAnyContentString) {
    EXPECT_EQ(build(200, R"({"data":{"content":"nested"}})").body, success("nested"));
    EXPECT_EQ(build(200, R"({"error":{"message":"no content"}})").body, success(""));
    EXPECT_EQ(build(200, R"({"usage":{"prompt_tokens":"7","completion_tokens":-2}})").body, success(""));
}

TEST(LocalReply, UpstreamErrorsKeepTheirStatus) {
    reply r = build(401, R"({"error":{"message":"bad \"key\"","type":"auth"}})");
    EXPECT_EQ(r.r.status, 401);
    EXPECT_FALSE(r.r.success);
    EXPECT_EQ(r.body, R"({"error":"bad \"key\""})");
    EXPECT_EQ(build(500, R"({"error":"plain"})").body, R"({"error":"plain"})");
    EXPECT_EQ(build(502, "gate\"way\n").body, R"({"error":"gate\"way\n"})");
}
