#include <gtest/gtest.h>

#include <string>

#include "dialects/local_model/local_dialect.hpp"

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
    EXPECT_EQ(convert(R"({"model":"llama","models":["b"],"messages":[{"role":"user","content":"hi"}],"options":{"stream":true},)"
                      R"("fallbacks":["c"]})", &flag),
              R"({"model":"auto","messages":[{"role":"user","content":"hi"}],"stream":false})");
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(convert(R"({"stream" : true,"messages":[{"content":"stream"}]})", &flag),
              R"({"model":"auto","messages":[{"content":"stream"}],"stream":true})");
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(convert(R"({"model":"x"})"), R"({"model":"auto","messages":[],"stream":false})");
    EXPECT_EQ(convert(R"({"messages":[{"a":1})"), "");  // not one JSON object: refused
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

// Whether the watch sees the stream's end at [DONE] when it comes in blocks cut at `cuts`.
bool done_seen(std::string_view stream, std::vector<size_t> cuts) {
    done_watch w;
    bool seen = false;
    size_t at = 0;
    cuts.push_back(stream.size());
    for (size_t cut : cuts) {
        seen |= done_watch_feed(w, stream.substr(at, cut - at));
        at = cut;
    }
    return seen;
}

TEST(EventStream, DoneSeenWhateverTheLineEndsAndTheCuts) {
    const std::string before = "data: {\"id\":\"c1\",\"choices\":[{\"delta\":{}}]}";  // longer than what is kept
    const struct {
        std::string stream;
        bool done;
    } cases[] = {
        {before + "\n\ndata: [DONE]\n\n", true},
        {before + "\r\n\r\ndata: [DONE]\r\n\r\n", true},
        {before + "\r\rdata: [DONE]\r\r", true},
        {before + "\n\ndata: [DONE]\r\n\n\n", true},
        {"data:[DONE]\n\n", true},
        {before + "\n\ndata: [DONE]\r\n", false},  // its blank line has not come yet
        {before + "\n\ndata:  [DONE]\n\n", false},  // the value is " [DONE]"
        {before + "\ndata: [DONE]\n\n", false},     // the data is the line before, a line end and [DONE]
        {"id: 4\ndata: [DONE]\n\n", false},
        {before + "\n\ndata: [DONE] \n\n", false},
        {before + "\n\nxdata: [DONE]\n\n", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(done_seen(c.stream, {}), c.done) << c.stream;
        for (size_t cut = 0; cut <= c.stream.size(); ++cut) EXPECT_EQ(done_seen(c.stream, {cut}), c.done) << cut;
        std::vector<size_t> every_byte;
        for (size_t cut = 1; cut < c.stream.size(); ++cut) every_byte.push_back(cut);
        EXPECT_EQ(done_seen(c.stream, every_byte), c.done) << c.stream;
    }
    // Only the end of what arrived counts: anything after it in the same block hides it.
    EXPECT_FALSE(done_seen("data: [DONE]\n\n: ping\n\n", {}));
}

// ---- The key mask -------------------------------------------------------------

#include "text/key_mask.hpp"

namespace {

bool append_to(void* ctx, std::string_view bytes) {
    static_cast<std::string*>(ctx)->append(bytes);
    return true;
}

// What the exchange hands on of an answer that quoted `key`.
std::string masked(std::string_view text, std::string_view key) {
    mask_keys keys;
    mask_keys_add(keys, key);
    buf out;
    put_masked(out, text, keys);
    return std::string(out.view());
}

}  // namespace

// Every spelling a JSON reader decodes, at every depth the mask reads, in
// any text around it, masked whole and the JSON left valid; the same fed in
// two blocks cut at every byte.
TEST(KeyMask, EverySpellingInEveryTextWholeAndInBlocks) {
    const std::string_view key = "sk-a/b\"c\\K\xf0\x9f\x98\x80";
    const std::string_view cases[][2] = {
        {"plain sk-a/b\"c\\K\xf0\x9f\x98\x80!", "plain ***!"},
        {R"({"m":"sk-a\/b\"c\\K\ud83d\ude00","n":"\u0073k-a\u002Fb\u0022c\u005cK\uD83D\uDE00"})",
         R"({"m":"***","n":"***"})"},
        {R"("{\"e\":\"sk-a\\/b\\\"c\\\\K\\ud83d\\ude00\"}")", R"("{\"e\":\"***\"}")"},  // a quoted document
        {"\xef\xbb\xbf {\"e\":\"\\u0073k-a/b\\\"c\\\\K\xf0\x9f\x98\x80\"}", "\xef\xbb\xbf {\"e\":\"***\"}"},  // BOM
        {R"(data: {"m":"x\nsk-a\/b\"c\\K\ud83d\ude00\nsk-a/b"})", R"(data: {"m":"x\n***\nsk-a/b"})"},
        {"sk-a/b\"c", "sk-a/b\"c"},  // part of a key is no key
        // Inside one long run, where only a key's length waits at a block's end.
        {"aaaaaaaaaaaaaaaaaaaaaaaaa\\u0073k-a\\/b\\\"c\\\\K\\ud83d\\ude00aaaaaaaaaaaaaaaaaaaaaaaaa",
         "aaaaaaaaaaaaaaaaaaaaaaaaa***aaaaaaaaaaaaaaaaaaaaaaaaa"},
    };
    mask_keys keys;
    mask_keys_add(keys, key);
    mask_keys_add(keys, "k2-second-key");
    for (const auto& c : cases) {
        EXPECT_EQ(masked(c[0], key), c[1]) << c[0];
        std::string_view text = c[0];
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            key_masker m(&keys);
            std::string got;
            mask_feed(m, text.substr(0, cut), append_to, &got);
            mask_feed(m, text.substr(cut), append_to, &got);
            mask_end(m, append_to, &got);
            EXPECT_EQ(got, c[1]) << cut << " " << c[0];
        }
    }
    buf both;
    put_masked(both, "a k2-second-key b \\u0073k-a/b\\\"c\\\\K\xf0\x9f\x98\x80", keys);
    EXPECT_EQ(both.view(), "a *** b ***");
}

// A block that ends at a line's end goes on at once and whole; only a run
// that might still become a key waits, and a run without end stays bounded.
TEST(KeyMask, WhatIsHeldBack) {
    mask_keys keys;
    mask_keys_add(keys, "sk-12345");
    key_masker m(&keys);
    std::string got;
    mask_feed(m, "data: {\"c\":\"sk-1\"}\n\n", append_to, &got);
    EXPECT_EQ(got, "data: {\"c\":\"sk-1\"}\n\n");
    mask_feed(m, "data: sk-1", append_to, &got);
    EXPECT_EQ(got, "data: {\"c\":\"sk-1\"}\n\ndata: ");  // "sk-1" waits for what follows
    mask_feed(m, "2345\n\n", append_to, &got);
    EXPECT_EQ(got, "data: {\"c\":\"sk-1\"}\n\ndata: ***\n\n");
    key_masker endless(&keys);
    const std::string long_run(1 << 20, 'a');
    got.clear();
    for (size_t at = 0; at < long_run.size(); at += 16384) mask_feed(endless, long_run.substr(at, 16384), append_to, &got);
    EXPECT_LT(endless.held.len, std::string_view("sk-12345").size());  // a run without a backslash: under a key's length
    mask_feed(endless, "sk-12345", append_to, &got);
    mask_end(endless, append_to, &got);
    EXPECT_EQ(got, long_run + "***");
    EXPECT_EQ(masked("none of it", "none"), "none of it");  // a placeholder, not a secret
}

// ---- Full mode: request, streamed and collected replies ---------------------

#include "front/routes.hpp"
#include "dialects/local_model/local_lines.hpp"
#include "dialects/local_model/local_request.hpp"
#include "dialects/local_model/model_info.hpp"
#include "relay/rewrite.hpp"
#include "text/json_read.hpp"

namespace {

int64_t fake_steady = 0;
const local_clock test_clock{[]() -> int64_t { return fake_steady += 1000; },
                             []() -> int64_t { return 1765275072123456789; }};

// The converted body after the system message, "error: <text>", or "load"
// or "unload" for a load request.
std::string full(std::string_view body, local_shape shape = local_shape::chat,
                 const persona_text& persona = built_in_persona()) {
    buf out;
    full_request r = convert_full_request(body, "auto", out, shape, persona);
    if (!r.ok) return std::string("error: ") + r.error.s;
    if (r.load) return out.len ? "load with a body" : r.unload ? "unload" : "load";
    EXPECT_TRUE(json_read(out.view()).ok()) << out.view();
    std::string lead = R"({"model":"auto",)" + (persona.none() ? R"("messages":[)" : std::string(persona.lead) + "\"}");
    EXPECT_EQ(out.view().substr(0, lead.size()), lead);
    return std::string(out.view().substr(lead.size()));
}

// One reply line: the message from its content on, then the rest.
std::string line(std::string_view message, std::string_view rest = R"("done":false})") {
    return R"({"model":"auto","created_at":"2025-12-09T10:11:12.123456Z","message":{"role":"assistant","content":)" +
           std::string(message) + "," + std::string(rest) + "\n";
}

void keep_line(void* ctx, std::string_view l) { static_cast<std::vector<std::string>*>(ctx)->emplace_back(l); }

// Lines for an upstream stream fed in one block; `ended`: the body ended after it.
std::vector<std::string> stream_lines(std::string_view upstream, bool ended, std::string_view key = "",
                                      local_shape shape = local_shape::chat) {
    fake_steady = 0;
    full_stream s;
    std::vector<std::string> lines;
    full_stream_start(s, "auto", {100, 200, 0}, test_clock, keep_line, &lines, shape);
    full_stream_feed(s, masked(upstream, key));
    if (ended) full_stream_end(s);
    EXPECT_FALSE(ended && full_stream_feed(s, "data: {\"choices\":[{\"delta\":{\"content\":\"late\"}}]}\n\n"));
    return lines;
}

}  // namespace

TEST(FullRequest, MapsEveryField) {
    const std::string_view cases[][2] = {
        {R"({"model":"x","models":["y"],"messages":[{"role":"user","content":"hi","thinking":"t"}],"fallbacks":["z"]})",
         R"(,{"role":"user","content":"hi"}],"stream":true,"stream_options":{"include_usage":true}})"},
        {R"({"stream":false,"keep_alive":"5m","think":true,"top_p":0.9,"temperature":1,"max_output_tokens":9,)"
         R"("tool_choice":"auto","options":{"temperature":0.2,"num_predict":100,"stop":["a"],"num_ctx":4096,"seed":7,)"
         R"("presence_penalty":1.5},"messages":[{"role":"user","content":"q"}]})",
         R"(,{"role":"user","content":"q"}],"stream":false,"tool_choice":"auto","temperature":0.2,"top_p":0.9,"seed":7,"stop":["a"],)"
         R"("max_tokens":100,"presence_penalty":1.5})"},
        {R"({"stream":false,"options":{"num_predict":-1},"format":"json","messages":[{"role":"user","content":"q"}]})",
         R"(,{"role":"user","content":"q"}],"stream":false,"response_format":{"type":"json_object"}})"},
        {R"({"stream":false,"format":{"type":"object"},"tools":[{"type":"function","function":{"name":"f"}}],)"
         R"("messages":[{"role":"user","content":"q"}]})",
         R"(,{"role":"user","content":"q"}],"stream":false,"tools":[{"type":"function","function":{"name":"f"}}],"response_format":)"
         R"({"type":"json_schema","json_schema":{"name":"response","schema":{"type":"object"}}}})"},
        {R"({"stream":false,"messages":[{"role":"user","content":"see","images":["iVBORw0KGgo","\/9j\/4AAQ",)"
         R"("R0lGODlh","UklGRiQAAABXRUJQVlA4IA==","AAAA"]}]})",
         R"(,{"role":"user","content":[{"type":"text","text":"see"},)"
         R"({"type":"image_url","image_url":{"url":"data:image/png;base64,iVBORw0KGgo"}},)"
         R"({"type":"image_url","image_url":{"url":"data:image/jpeg;base64,\/9j\/4AAQ"}},)"
         R"({"type":"image_url","image_url":{"url":"data:image/gif;base64,R0lGODlh"}},)"
         R"({"type":"image_url","image_url":{"url":"data:image/webp;base64,UklGRiQAAABXRUJQVlA4IA=="}},)"
         R"({"type":"image_url","image_url":{"url":"data:image/png;base64,AAAA"}}]}],"stream":false})"},
        {R"({"stream":false,"messages":[{"role":"assistant","content":"","tool_calls":[{"function":{"name":"weather",)"
         R"("arguments":{"city":"Oslo"}}},{"function":{"name":"time","arguments":{}}}]},)"
         R"({"role":"tool","tool_name":"time","content":"noon"},{"role":"tool","content":"cold"}]})",
         R"(,{"role":"assistant","content":"","tool_calls":[{"id":"call_0","type":"function","function":)"
         R"({"name":"weather","arguments":"{\"city\":\"Oslo\"}"}},{"id":"call_1","type":"function","function":)"
         R"({"name":"time","arguments":"{}"}}]},{"role":"tool","tool_call_id":"call_1","content":"noon"},)"
         R"({"role":"tool","tool_call_id":"call_0","content":"cold"}],"stream":false})"},
        // The caller's own ids tie its results; a result without one falls back to order.
        {R"({"stream":false,"messages":[{"role":"assistant","tool_calls":[{"id":"a\/1","function":{"name":"f"}},)"
         R"({"function":{"name":"f"}}]},{"role":"tool","tool_call_id":"call_0","content":"2"},)"
         R"({"role":"tool","tool_call_id":"a/1","content":"1"},{"role":"tool","tool_call_id":"zz","content":"3"}]})",
         R"(,{"role":"assistant","content":"","tool_calls":[{"id":"a\/1","type":"function","function":{"name":"f",)"
         R"("arguments":"{}"}},{"id":"call_0","type":"function","function":{"name":"f","arguments":"{}"}}]},)"
         R"({"role":"tool","tool_call_id":"call_0","content":"2"},{"role":"tool","tool_call_id":"a\/1","content":"1"},)"
         R"({"role":"tool","tool_call_id":"call_0","content":"3"}],"stream":false})"},
        // Ids that would collide upstream are made unique, each result still
        // tied to its own call: an id twice in one message (results in order,
        // by tool_name when given), an id the shim generates, an id of an
        // earlier turn.
        {R"({"stream":false,"messages":[{"role":"assistant","tool_calls":[{"id":"x","function":{"name":"f"}},)"
         R"({"id":"x","function":{"name":"g"}},{"function":{"name":"h"}},{"id":"call_0","function":{"name":"k"}}]},)"
         R"({"role":"tool","tool_call_id":"x","tool_name":"g","content":"G"},{"role":"tool","tool_call_id":"x","content":"F"},)"
         R"({"role":"tool","tool_call_id":"call_0","content":"K"},{"role":"tool","content":"H"},)"
         R"({"role":"assistant","tool_calls":[{"id":"\u0078","function":{"name":"f"}}]},{"role":"tool","tool_call_id":"x","content":"F2"}]})",
         R"(,{"role":"assistant","content":"","tool_calls":[{"id":"x","type":"function","function":{"name":"f","arguments":"{}"}},)"
         R"({"id":"call_0","type":"function","function":{"name":"g","arguments":"{}"}},)"
         R"({"id":"call_1","type":"function","function":{"name":"h","arguments":"{}"}},)"
         R"({"id":"call_2","type":"function","function":{"name":"k","arguments":"{}"}}]},)"
         R"({"role":"tool","tool_call_id":"call_0","content":"G"},{"role":"tool","tool_call_id":"x","content":"F"},)"
         R"({"role":"tool","tool_call_id":"call_2","content":"K"},{"role":"tool","tool_call_id":"call_1","content":"H"},)"
         R"({"role":"assistant","content":"","tool_calls":[{"id":"call_3","type":"function","function":{"name":"f","arguments":"{}"}}]},)"
         R"({"role":"tool","tool_call_id":"call_3","content":"F2"}],"stream":false})"},
        {R"({"messages":[{"role":"assistant","tool_calls":[{"id":"x\"","function":{"name":"f"}},{"id":"x\"","function":{"name":"f"}}]},)"
         R"({"role":"tool","tool_call_id":"x\"","content":"1"},{"role":"tool","tool_call_id":"x\"","content":"2"},)"
         R"({"role":"tool","tool_call_id":"x\u0022","content":"3"}]})",
         R"(error: messages[3]: 2 tool calls have the id "x\"" and each has its result: which one this answers cannot be told)"},
        // Refusals name the field.
        {R"({"options":{"temperature":1e999}})",
         "error: invalid JSON in options.temperature at byte 26: a number beyond the largest double"},
        {R"({"tools":[{"type":"function"},"f"]})", "error: tools[1]: expected an object"},
        {R"({"options":{"num_predict":1.5}})", "error: options.num_predict: expected a positive whole number"},
        {R"({"max_output_tokens":0})", "error: max_output_tokens: expected a positive whole number"},
        {R"({"messages":[{"role":"assistant","tool_calls":[{"id":7,"function":{"name":"f"}}]}]})",
         "error: messages[0].tool_calls[0].id: expected a string"},
        {R"({"messages":[{"role":"user","content":"a"},{"role":"user","content":NaN}]})",
         "error: invalid JSON in messages[1].content at byte 68: not a JSON value"},
        {R"({"a":1,"a":2})", "error: invalid JSON in a at byte 7: a member name occurs twice"},
        // Keys are named as they decode, what could mislead a reader written out.
        {R"({"stream":true,"str\u0065am":false})", "error: invalid JSON in stream at byte 15: a member name occurs twice"},
        {R"({"m":{"\"\n\u00e9":1,"\u0022\u000a\u00e9":2}})",
         R"(error: invalid JSON in m.\"\x0Aé at byte 21: a member name occurs twice)"},
        {"[1]", "error: the body: expected a JSON object"},
        {R"({"messages":{}})", "error: messages: expected an array"},
        {R"({"messages":[{"role":1}]})", "error: messages[0].role: expected a string"},
        {R"({"messages":[{"role":"user","images":[1]}]})", "error: messages[0].images[0]: expected a string"},
        {R"({"messages":[{"role":"tool","content":"x"}]})",
         "error: messages[0]: a tool result with no tool call before it"},
        {R"({"options":{"temperature":"hot"}})", "error: options.temperature: expected a number"},
        {R"({"max_output_tokens":"9"})", "error: max_output_tokens: expected a number"},
        {R"({"format":"xml"})", "error: format: expected \"json\" or a JSON schema object"},
        {R"({"stream":"yes"})", "error: stream: expected true or false"},
    };
    for (const auto& c : cases) EXPECT_EQ(full(c[0]), c[1]) << c[0];
}

TEST(FullRequest, GenerateIsTheSameChatOrARefusalNamingTheField) {
    const std::string_view cases[][2] = {
        {R"({"model":"m:latest","models":["n"],"fallbacks":["o"],"prompt":"Why?","system":"Be \"brief\"","images":["iVBORw0KGgo"],"stream":false,)"
         R"("options":{"temperature":0.5},"format":"json","tools":[{}],"raw":false,"suffix":"","context":[],"template":""})",
         R"(,{"role":"system","content":"Be \"brief\""},{"role":"user","content":[{"type":"text","text":"Why?"},)"
         R"({"type":"image_url","image_url":{"url":"data:image/png;base64,iVBORw0KGgo"}}]}],"stream":false,)"
         R"("response_format":{"type":"json_object"},"temperature":0.5})"},
        {R"({"prompt":"hi","messages":[{"role":"user","content":"ignored"}]})",
         R"(,{"role":"user","content":"hi"}],"stream":true,"stream_options":{"include_usage":true}})"},
        {R"({"prompt":"a","suffix":"b"})", "error: suffix: not supported: the upstream's chat completions cannot fill in the middle"},
        {R"({"prompt":"a","template":"{{ .Prompt }}"})", "error: template: not supported: the upstream applies its own prompt template"},
        {R"({"prompt":"a","raw":true})", "error: raw: not supported: the upstream applies its own prompt template to every prompt"},
        {R"({"prompt":"a","context":[1,2]})", "error: context: not supported: the shim's replies carry no context to continue from"},
        {R"({"prompt":5})", "error: prompt: expected a string"},
        {R"({"prompt":"a","images":[{}]})", "error: images[0]: expected a string"},
        // Load requests (no prompt): keep_alive 0 in any spelling unloads.
        {R"({"keep_alive":"0s"})", "unload"}, {R"({"keep_alive":0.0})", "unload"}, {R"({"keep_alive":"0.5s"})", "load"},
    };
    for (const auto& c : cases) EXPECT_EQ(full(c[0], local_shape::generate), c[1]) << c[0];
}

// The persona's text leads in chat and generate alike; without one the
// caller's own messages come first.
TEST(FullRequest, PersonaFileOrNone) {
    buf storage;
    persona_text from_file;
    error_text why;
    ASSERT_TRUE(persona_from_file_text("Be \"brief\".\n", storage, from_file, why));
    EXPECT_EQ(from_file.lead, R"("messages":[{"role":"system","content":"Be \"brief\".)");
    const persona_text none{};
    const std::string_view chat = R"({"stream":false,"messages":[{"role":"user","content":"q"}]})";
    const std::string_view generate = R"({"stream":false,"system":"S","prompt":"q"})";
    EXPECT_EQ(full(chat, local_shape::chat, from_file), R"(,{"role":"user","content":"q"}],"stream":false})");
    EXPECT_EQ(full(chat, local_shape::chat, none), R"({"role":"user","content":"q"}],"stream":false})");
    EXPECT_EQ(full(generate, local_shape::generate, none),
              R"({"role":"system","content":"S"},{"role":"user","content":"q"}],"stream":false})");
}

TEST(FullStream, TextReasoningCountsAndNothingAfterDone) {
    std::string_view upstream =
        "data: {\"choices\":[{\"delta\":{\"role\":\"assistant\"}}]}\n\n"
        "data: {\"choices\":[{\"delta\":{\"content\":\"Hi \\\"x\\\"\"}}]}\n\n"
        "data: {\"choices\":[{\"delta\":{\"content\":\"\",\"reasoning_content\":\"hmm\"}}]}\n\n"
        "data: {\"choices\":[{\"delta\":{},\"finish_reason\":\"length\"}]}\n\n"
        "data: {\"choices\":[],\"usage\":{\"prompt_tokens\":7,\"completion_tokens\":3}}\n\n"
        "data: [DONE]\n\ndata: {\"error\":\"after the end\"}\n\n";
    const std::vector<std::string> expected = {
        line(R"("Hi \"x\""})"), line(R"("","thinking":"hmm"})"),
        line(R"(""})", R"("done":true,"done_reason":"length","total_duration":1900,"load_duration":100,)"
                       R"("prompt_eval_count":7,"prompt_eval_duration":800,"eval_count":3,"eval_duration":1000})")};
    EXPECT_EQ(stream_lines(upstream, true), expected);
}

TEST(FullStream, ToolCallsGatheredIntoOneLine) {
    std::string_view upstream =
        R"(data: {"choices":[{"delta":{"tool_calls":[{"index":0,"id":"c1","function":{"name":"weather","arguments":""}}]}}]})"
        "\n\n"
        R"(data: {"choices":[{"delta":{"tool_calls":[{"index":0,"function":{"arguments":"{\"city\":"}},)"
        R"({"index":1,"function":{"name":"time","arguments":""}}]}}]})"
        "\n\n"
        R"(data: {"choices":[{"delta":{"tool_calls":[{"index":0,"function":{"arguments":" \"Oslo\"}"}}]}}]})"
        "\n\n"
        R"(data: {"choices":[{"delta":{},"finish_reason":"tool_calls"}]})"
        "\n\ndata: [DONE]\n\n";
    std::vector<std::string> lines = stream_lines(upstream, false);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], line(R"("","tool_calls":[{"id":"c1","function":{"index":0,"name":"weather","arguments":{"city":"Oslo"}}},)"
                             R"({"function":{"index":1,"name":"time","arguments":{}}}]})"));
    EXPECT_NE(lines[1].find(R"("done":true,"done_reason":"stop")"), std::string::npos);
}

TEST(FullStream, FailuresEndWithOneErrorLine) {
    const std::string_view text = "data: {\"choices\":[{\"delta\":{\"content\":\"a\"}}]}\n\n";
    const std::string_view cases[][3] = {
        {text, "", R"({"error":"the upstream's stream was cut off before its end"})"},
        {R"(data: {"error":{"message":"bad key sk-12345"}})" "\n\n", "sk-12345", R"({"error":"bad key ***"})"},
        {R"(data: {"choices":[{"delta":{"tool_calls":[{"index":0,"function":{"name":"f","arguments":"[1]"}}]}}]})"
         "\n\ndata: [DONE]\n\n",
         "", R"({"error":"the upstream's tool call arguments are not a JSON object"})"},
        {R"(data: {"choices":[{"delta":{"tool_calls":[{"index":4000000000,"function":{"name":"f"}}]}}]})" "\n\n", "",
         R"({"error":"the upstream sent a tool call index out of range"})"},
        {"data: hello\n\n", "", R"({"error":"the upstream sent an event that is not a JSON object"})"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines = stream_lines(c[0], true, c[1]);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), std::string(c[2]) + "\n") << c[0];
    }
    EXPECT_EQ(stream_lines(text, true).front(), line(R"("a"})"));
}

TEST(FullReply, ToolCallsCountsDurationsAndRefusals) {
    fake_steady = 0;
    buf body;
    local_reply r = build_full_reply(
        200,
        R"({"choices":[{"message":{"role":"assistant","content":null,"tool_calls":[{"id":"x","type":"function",)"
        R"("function":{"name":"f","arguments":"{\"a\": 1}"}}]},"finish_reason":"tool_calls"}],)"
        R"("usage":{"prompt_tokens":5,"completion_tokens":2}})",
        "auto", {100, 200, 500}, test_clock, body);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(std::string(body.view()) + "\n",
              line(R"("","tool_calls":[{"id":"x","function":{"index":0,"name":"f","arguments":{"a":1}}}]})",
                   R"("done":true,"done_reason":"stop","total_duration":900,"load_duration":100,)"
                   R"("prompt_eval_count":5,"prompt_eval_duration":300,"eval_count":2,"eval_duration":500})"));

    buf refused;
    r = build_full_reply(401, masked(R"({"error":{"message":"key sk-12345 is wrong"}})", "sk-12345"), "auto", {}, test_clock,
                         refused);
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(refused.view(), R"({"error":"key *** is wrong"})");
    buf broken;
    EXPECT_EQ(build_full_reply(200, "oops", "auto", {}, test_clock, broken).status, 502);
}

TEST(FullReply, GenerateLinesHoldTheTextAtTheTop) {
    std::vector<std::string> lines = stream_lines(
        "data: {\"choices\":[{\"delta\":{\"content\":\"Hi\",\"reasoning\":\"t\"},\"finish_reason\":\"stop\"}]}\n\n"
        "data: [DONE]\n\n", true, "", local_shape::generate);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], R"({"model":"auto","created_at":"2025-12-09T10:11:12.123456Z","response":"Hi","thinking":"t",)"
                        R"("done":false})" "\n");
    EXPECT_TRUE(lines[1].find(R"(,"response":"","done":true,"done_reason":"stop",)") != std::string::npos) << lines[1];
}

TEST(FullDiscovery, TaggedNamesAndDigestsStableForTheName) {
    // A tag is a ':' after the last '/': a port or an ARN's fields are none.
    const std::string_view names[][2] = {{"auto", "auto:latest"}, {"llama3:8b", "llama3:8b"},
                                         {"org/model:tag", "org/model:tag"},
                                         {"host:5000/ns/model", "host:5000/ns/model:latest"},
                                         {"arn:aws:bedrock:x:12:ip/m-v1", "arn:aws:bedrock:x:12:ip/m-v1:latest"}};
    for (const auto& n : names) {
        buf name;
        put_tagged_name(name, n[0]);
        EXPECT_EQ(name.view(), n[1]);
    }
    buf a, again, b;
    put_model_digest(a, "auto");
    put_model_digest(again, "auto");
    put_model_digest(b, "autp");
    EXPECT_TRUE(a.view() == again.view() && a.view() != b.view());
}
