#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "dialects/local_model/local_dialect.hpp"
#include "relay/rewrite.hpp"
#include "test_data.hpp"

namespace {

std::string sys() { return std::string(R"({"role":"system","content":")") + std::string(system_text_escaped()) + "\"}"; }

std::string rebuild(std::string_view in, int* flag = nullptr, std::string_view model = "auto",
                    const persona_text& persona = built_in_persona()) {
    buf out;
    int f = rebuild_request(in, model, out, nullptr, persona);
    if (flag) *flag = f;
    return std::string(out.view());
}

}  // namespace

TEST(Rewrite, SystemPromptGoesOutUnchanged) {
    EXPECT_EQ(SYSTEM_PROMPT, expected_system_prompt);
    EXPECT_EQ(system_text_escaped(), SYSTEM_PROMPT);
}

TEST(Rewrite, TypicalBody) {
    int flag = -1;
    std::string out = rebuild(R"({"model":"gpt","messages" : [{"role":"user","content":"hi"}],"stream":false})", &flag);
    EXPECT_EQ(out, R"({"model":"auto","messages":[)" + sys() + R"(,{"role":"user","content":"hi"}],"stream":false})");
    EXPECT_EQ(flag, 0);
}

TEST(Rewrite, EmptyArraysGetNoComma) {
    EXPECT_EQ(rebuild(R"({"messages": []})"), R"({"model":"auto","messages":[)" + sys() + "]}");
    // White space alone is no element: a comma before it would break the JSON.
    EXPECT_EQ(rebuild("{\"messages\":[ \n ]}"), R"({"model":"auto","messages":[)" + sys() + " \n ]}");
}

TEST(Rewrite, StreamFlagIsTheTopLevelLiteralTrue) {
    EXPECT_EQ(detect_stream_flag(R"({"stream" : true})"), 1);
    EXPECT_EQ(detect_stream_flag("{\"stream\"\t:\ntrue}"), 1);
    EXPECT_EQ(detect_stream_flag(R"({"stream":"true"})"), 0);
    EXPECT_EQ(detect_stream_flag(R"({"messages":[{"content":"stream"}],"stream":true})"), 1);
    EXPECT_EQ(detect_stream_flag(R"({"messages":[{"content":"\"stream\":true"}]})"), 0);
    EXPECT_EQ(detect_stream_flag(R"({"x":{"stream":true}})"), 0);
    EXPECT_EQ(detect_stream_flag(R"({"stream":trueish})"), 0);
}

TEST(Rewrite, ModelInsideMessagesIsLeftAlone) {
    std::string in = R"({"messages":[{"role":"user","content":"\"model\": \"x\""},{"model":"m"}],"model":"c"})";
    std::string out = rebuild(in);
    EXPECT_EQ(out, R"({"messages":[)" + sys() + R"(,{"role":"user","content":"\"model\": \"x\""},{"model":"m"}],"model":"auto"})");
}

TEST(Rewrite, ModelAddedWhenMissingAndEscaped) {
    EXPECT_EQ(rebuild(R"( {"messages":[]})", nullptr, "a\"b"), R"( {"model":"a\"b","messages":[)" + sys() + "]}");
    // Any value type is replaced, however far the value lies from its key.
    EXPECT_EQ(rebuild(R"({"model":                                                 null,"messages":[]})"),
              R"({"model":                                                 "auto","messages":[)" + sys() + "]}");
}

// An upstream that takes a "prompt" would bill the caller's model without the
// system message: no chat body goes up without "messages".
TEST(Rewrite, ObjectsWithoutMessagesAreRefused) {
    for (std::string_view in : {R"({"model":"c","prompt":"p"})", " \r\n{\"model\":[1.5e-3,{\"a\":null}]}\n\t", "{}"}) {
        buf out;
        body_refusal refused;
        rebuild_request(in, "auto", out, &refused);
        EXPECT_EQ(out.len, 0u) << in;
        EXPECT_STREQ(refused.words.s, "messages is required");
    }
}

TEST(Rewrite, BracketsInsideStringsDoNotEndTheArray) {
    std::string in = R"({"messages":[{"content":"a ] \" ] b"}],"model":"c"})";
    EXPECT_EQ(rebuild(in), R"({"messages":[)" + sys() + R"(,{"content":"a ] \" ] b"}],"model":"auto"})");
}

// A body that a lenient reader (NaN, a byte order mark, comments, a second
// document) could read with another model or other messages than ours is
// refused in both dialects, and nothing is written.
TEST(Rewrite, BodiesThatAreNotOneObjectAreRefused) {
    struct {
        std::string_view body, words;
        bool local_too = true;
    } cases[] = {
        {"\xef\xbb\xbf{\"model\":\"x\",\"messages\":[]}", "a byte order mark at byte 0"},
        {R"({"t":NaN,"model":"x","messages":[]})", "an unknown literal at byte 5"},
        {R"({"messages":[],"t":-Infinity,"model":"x"})", "a malformed number at byte 19"},
        {R"({"messages":[],"stream":True})", "an unknown literal at byte 24"},
        {R"({"n":01,"messages":[]})", "a malformed number at byte 5"},
        {R"({"messages":[]} {"model":"x"})", "bytes after the object at byte 16"},
        {R"({"messages":[],"model":"x})", "an unterminated string at byte 23"},
        {R"({"messages":[{"content":"\q"}]})", "an invalid escape at byte 25"},
        {R"({"messages":[{"content":"\u12"}],"model":"x"})", "an invalid escape at byte 25"},
        {R"({/*c*/"model":"x","messages":[]})", "an unexpected byte '/' at byte 1"},
        {R"({"x":'a',"model":"x","messages":[]})", "an unexpected byte at byte 5"},
        {R"({"messages":[],})", "an unexpected byte '}' at byte 15"},
        {R"({"messages":[{"role":"user"]]})", "a mismatched bracket at byte 27"},
        {R"({"model":"c","messages":[{"role":"user"})", "the text ends before the object closes at byte 40"},
        {"[1,2]", "a value that is not an object at byte 0"},
        {"", "the text ends before the object closes at byte 0"},
        {R"({"model":"c","messages":"text"})", "\"messages\" is not an array", false},
    };
    for (const auto& c : cases) {
        rewritten_body pieces;
        rebuild_pieces(c.body, "auto", pieces);
        EXPECT_EQ(pieces.count, 0u) << c.body;
        EXPECT_NE(std::string_view(pieces.refused.words.s).find(c.words), std::string_view::npos)
            << c.body << ": " << pieces.refused.words.s;
        buf local;
        body_refusal refused;
        convert_local_request(c.body, "auto", local, &refused);
        EXPECT_EQ(local.len == 0, c.local_too) << c.body;
        EXPECT_STREQ(refused.words.s, c.local_too ? pieces.refused.words.s : "");
    }
}

TEST(Rewrite, PiecesAreTheRewrittenBodyWithoutCopyingTheCallersBytes) {
    std::string big(1 << 20, 'x');
    const std::string user = R"({"role":"user","content":"hi"})";
    // A persona file's text, line breaks and quotes included, and none at all.
    buf storage;
    persona_text from_file;
    error_text why;
    ASSERT_TRUE(persona_from_file_text("\xef\xbb\xbfS\xc3\xa9 \"brief\".\r\nNo more.\n", storage, from_file, why));
    const persona_text none{};
    struct {
        std::string body;
        std::string expect;  // with M for the model's JSON string
        int flag;
        const persona_text* persona = nullptr;  // null: the built-in one
    } cases[] = {
        {R"({"model":"gpt","messages" : [)" + user + R"(],"stream":false})",
         R"({"model":M,"messages":[)" + sys() + "," + user + R"(],"stream":false})", 0},
        {R"({"messages":[ ],"model":"c"})", R"({"messages":[)" + sys() + R"( ],"model":M})", 0},
        {R"( {"messages":[]})", R"( {"model":M,"messages":[)" + sys() + "]}", 0},
        {R"({"model":null,"messages":[{"role":"user","content":"a]\"b"}]})",
         R"({"model":M,"messages":[)" + sys() + R"(,{"role":"user","content":"a]\"b"}]})", 0},
        // Fallback model lists go nowhere, wherever they stand.
        {R"({"models":["a","b"],"model":"gpt","messages":[],"fallbacks":["c"]})", R"({"model":M,"messages":[)" + sys() + "]}", 0},
        {R"({"messages":[],"models":[1], "fallbacks" :[2] })", R"({"model":M,"messages":[)" + sys() + "] }", 0},
        {R"({"model":"cut)", "", 0},  // refused: no pieces at all
        {R"({"messages":"none","model":"m"})", "", 0},
        {R"({"messages":[{"role":"user","content":")" + big + R"("}],"model":"m","stream":true})",
         R"({"messages":[)" + sys() + R"(,{"role":"user","content":")" + big + R"("}],"model":M,"stream":true})", 1},
        {"not json", "", 0},
        {R"({"model":"gpt","messages" : [)" + user + "]}",
         R"({"model":M,"messages":[{"role":"system","content":"S)" "\xc3\xa9" R"( \"brief\".\r\nNo more."},)" + user + "]}",
         0, &from_file},
        // Without a persona the messages stay as the caller wrote them; the model is still forced.
        {R"({"model":"gpt","messages" : [)" + user + R"(],"models":["x"]})", R"({"model":M,"messages" : [)" + user + "]}",
         0, &none},
    };
    for (const auto& c : cases) {
        for (auto [model, quoted] : {std::pair<std::string_view, std::string>{"auto", R"("auto")"},
                                     std::pair<std::string_view, std::string>{"a\"b\n", R"("a\"b\n")"}}) {
            std::string expect = c.expect;
            if (size_t at = expect.find(":M"); at != std::string::npos) expect.replace(at + 1, 1, quoted);
            const persona_text& persona = c.persona ? *c.persona : built_in_persona();
            rewritten_body pieces;
            EXPECT_EQ(rebuild_pieces(c.body, model, pieces, persona), c.flag);
            buf joined;
            join_pieces(pieces, joined);
            EXPECT_EQ(joined.view(), expect) << c.body.substr(0, 80);
            EXPECT_EQ(pieces.size, joined.len);
            EXPECT_EQ(rebuild(c.body, nullptr, model, persona), expect);
        }
    }
    // The caller's message is sent from where it was received.
    rewritten_body pieces;
    const std::string& large = cases[8].body;
    rebuild_pieces(large, "auto", pieces);
    bool in_place = false;
    for (size_t i = 0; i < pieces.count; ++i)
        in_place |= pieces.piece[i].size() > big.size() && pieces.piece[i].data() >= large.data() &&
                    pieces.piece[i].data() < large.data() + large.size();
    EXPECT_TRUE(in_place);
}

TEST(Rewrite, EscapedKeysAreTheKeysTheySpell) {
    EXPECT_EQ(rebuild(R"({"mod\u0065l":"gpt-x","m\u0065ssages":[]})"),
              R"({"mod\u0065l":"auto","messages":[)" + sys() + "]}");
    EXPECT_EQ(detect_stream_flag(R"({"str\u0065am":true})"), 1);
}

TEST(Rewrite, RepeatedKeysAreNamedAndNothingIsWritten) {
    struct {
        std::string_view body, key;
        bool local_too = true;  // the relay-mode local dialect keeps only model, messages and stream
    } cases[] = {{R"({"model":"a","messages":[],"mod\u0065l":"b"})", "model"},
                 {R"({"messages":[],"messages":[{"role":"user"}]})", "messages"},
                 {R"({"stream":false,"messages":[],"stream":true})", "stream"},
                 {R"({"messages":[],"models":["a"],"mod\u0065ls":["b"]})", "models", false},
                 {R"({"model":"a","messages":[{"model":"b"}]})", ""}};
    for (const auto& c : cases) {
        buf out;
        body_refusal refused;
        rebuild_request(c.body, "auto", out, &refused);
        EXPECT_EQ(refused.repeated, c.key) << c.body;
        EXPECT_EQ(out.len == 0, !c.key.empty()) << c.body;
        buf local;
        refused = {};
        convert_local_request(c.body, "auto", local, &refused);
        EXPECT_EQ(refused.repeated, c.local_too ? c.key : "") << c.body;
    }
}
