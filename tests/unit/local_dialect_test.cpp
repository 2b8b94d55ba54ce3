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

// ---- The event-stream reader ------------------------------------------------

#include <vector>

#include "http/event_stream.hpp"

namespace {

struct events_seen {
    std::vector<std::string> data;
    size_t stop_after = SIZE_MAX;
};

bool collect(void* ctx, std::string_view data) {
    auto& seen = *static_cast<events_seen*>(ctx);
    seen.data.emplace_back(data);
    return seen.data.size() < seen.stop_after;
}

std::vector<std::string> read_events(std::string_view stream, std::vector<size_t> cuts,
                                     event_status* status = nullptr, size_t stop_after = SIZE_MAX) {
    event_reader r;
    events_seen seen{{}, stop_after};
    size_t at = 0;
    cuts.push_back(stream.size());
    event_status s = event_status::reading;
    for (size_t cut : cuts) {
        s = event_feed(r, stream.substr(at, cut - at), collect, &seen);
        at = cut;
    }
    if (status) *status = s;
    return seen.data;
}

}  // namespace

TEST(EventStream, SameEventsWhereverTheBlocksAreCut) {
    std::string_view stream =
        ": comment\r\n"
        "event: delta\r\ndata: {\"a\":1}\r\n\r\n"
        "data:no space\n\n"
        "data: one\rdata:  two\rid: 7\r\r"
        "data\n\n"                         // a data line without a colon is empty data: no event
        "data: tail\n\ndata: unfinished";  // an event the stream never ends is not reported
    const std::vector<std::string> expected = {"{\"a\":1}", "no space", "one\n two", "tail"};
    EXPECT_EQ(read_events(stream, {}), expected);
    for (size_t cut = 0; cut <= stream.size(); ++cut) EXPECT_EQ(read_events(stream, {cut}), expected) << cut;
    std::vector<size_t> every_byte;
    for (size_t cut = 1; cut < stream.size(); ++cut) every_byte.push_back(cut);
    EXPECT_EQ(read_events(stream, every_byte), expected);
    // "\r" closing one block and "\n" opening the next are one line end, not two.
    EXPECT_EQ(read_events("data: a\r\ndata: b\r\n\r\n", {8}), std::vector<std::string>{"a\nb"});
}

TEST(EventStream, StopsWhenToldAndWhenAnEventIsTooLarge) {
    event_status status;
    EXPECT_EQ(read_events("data: 1\n\ndata: 2\n\n", {}, &status, 1).size(), 1u);
    EXPECT_EQ(status, event_status::stopped);

    std::string big = "data: " + std::string(event_max_bytes / 2, 'x') + "\ndata: " +
                      std::string(event_max_bytes / 2, 'y') + "\n\ndata: after\n\n";
    EXPECT_TRUE(read_events(big, {100, event_max_bytes / 2 + 3}, &status).empty());
    EXPECT_EQ(status, event_status::too_large);
    std::string line = "data: " + std::string(event_max_bytes, 'x');  // a line alone past the bound
    EXPECT_TRUE(read_events(line, {10}, &status).empty());
    EXPECT_EQ(status, event_status::too_large);
}

// ---- The key mask -------------------------------------------------------------

#include "relay/key_mask.hpp"

TEST(KeyMask, PlainAndEscapedFormsInWholeAndInBlocks) {
    const std::string_view key = "sk-a/b\"c";
    const std::string_view text = R"(bad key sk-a/b"c or "sk-a/b\"c" or sk-a\/b\"c; sk-a/b)";
    const std::string_view masked = R"(bad key *** or "***" or ***; sk-a/b)";
    buf whole;
    put_masked(whole, text, key);
    EXPECT_EQ(whole.view(), masked);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        masked_stream m{key, {}, {}};
        buf out;
        masked_feed(m, text.substr(0, cut), out);
        masked_feed(m, text.substr(cut), out);
        masked_end(m, out);
        EXPECT_EQ(out.view(), masked) << cut;
    }
    buf untouched;
    put_masked(untouched, text, "");
    EXPECT_EQ(untouched.view(), text);
}
