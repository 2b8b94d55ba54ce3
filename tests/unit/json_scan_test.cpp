#include <gtest/gtest.h>

#include "text/json_scan.hpp"

TEST(JsonScan, TopLevelMembersOnly) {
    std::string_view s = R"({"a":{"stream":true},"m":["stream"],"stream" :  false})";
    json_member m = json_top_member(s, "stream");
    ASSERT_TRUE(m.found);
    EXPECT_EQ(m.value(s), "false");
    EXPECT_EQ(s.substr(m.key_pos, 8), "\"stream\"");
    EXPECT_FALSE(json_top_member(s, "missing").found);
    EXPECT_FALSE(json_top_member(R"(["stream",true])", "stream").found);
}

TEST(JsonScan, LastDuplicateWinsAsInCommonParsers) {
    std::string_view s = R"({"stream":false,"stream":true})";
    EXPECT_EQ(json_top_member(s, "stream").value(s), "true");
}

TEST(JsonScan, ValueCutOffByEndOfText) {
    std::string_view s = R"({"x":1,"messages":[{"a":"]"})";
    json_member m = json_top_member(s, "messages");
    ASSERT_TRUE(m.found);
    EXPECT_EQ(m.value_end, json_npos);
    EXPECT_EQ(m.value(s), R"([{"a":"]"})");
}

TEST(JsonScan, SyntaxFaultStopsTheScan) {
    std::string_view s = R"({"a":1 "b":2})";
    EXPECT_TRUE(json_top_member(s, "a").found);
    EXPECT_FALSE(json_top_member(s, "b").found);
}

TEST(JsonScan, ArrayEndStepsOverStringsAndEscapes) {
    std::string_view s = R"([{"c":"a ] \" ] b"},[1,{"x":[]}]] tail)";
    size_t end = find_array_end(s, 0);
    ASSERT_NE(end, json_npos);
    EXPECT_EQ(s.substr(end), "] tail");
    EXPECT_EQ(find_array_end("[1,2", 0), json_npos);
    EXPECT_EQ(find_array_end("[\"unterminated]", 0), json_npos);
    EXPECT_EQ(find_array_end("[1}", 0), json_npos);
}

TEST(JsonScan, StringsAndNumbers) {
    std::string_view s = R"({"k":"a\"b","n":12,"f":1.5,"neg":-1})";
    json_member k = json_top_member(s, "k");
    json_raw_string str = json_string_at(s, k.value_pos);
    EXPECT_TRUE(str.ok);
    EXPECT_EQ(str.raw, R"(a\"b)");
    json_member n = json_top_member(s, "n");
    EXPECT_EQ(json_uint_at(s, n.value_pos, n.value_end), 12);
    json_member f = json_top_member(s, "f");
    EXPECT_EQ(json_uint_at(s, f.value_pos, f.value_end), -1);
    json_member neg = json_top_member(s, "neg");
    EXPECT_EQ(json_uint_at(s, neg.value_pos, neg.value_end), -1);
}

TEST(JsonScan, FirstStringMemberAtAnyDepthSkipsNonStrings) {
    std::string_view s = R"({"v":"content","a":{"content":null},"b":[{"content":"deep"}]})";
    json_raw_string r = json_first_string_member(s, "content");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.raw, "deep");
    EXPECT_FALSE(json_first_string_member(R"({"content":"cut)", "content").ok);
}

TEST(JsonScan, NulBytesAreOrdinaryBytes) {
    std::string_view s("{\"a\":\"x\0y\",\"b\":true}", 20);
    EXPECT_EQ(json_top_member(s, "b").value(s), "true");
}

TEST(JsonScan, BackslashRunsBeforeAQuote) {
    // An even run escapes only itself, so the quote after it ends the string.
    EXPECT_EQ(json_string_end(R"("a\\" x")", 0), 5u);
    EXPECT_EQ(json_string_end(R"("a\\\" x")", 0), 9u);
    EXPECT_EQ(json_string_end(R"("\\\\")", 0), 6u);
    EXPECT_EQ(json_string_end(R"("\")", 0), json_npos);
    EXPECT_EQ(json_string_end(R"("")", 0), 2u);
}

TEST(JsonScan, KeysCompareAsTheyDecode) {
    EXPECT_TRUE(json_key_is(R"(mod\u0065l)", "model"));
    EXPECT_TRUE(json_key_is(R"(\u006D\u006f\u0064\u0065\u006c)", "model"));
    EXPECT_TRUE(json_key_is(R"(a\/b\"\\)", "a/b\"\\"));
    EXPECT_TRUE(json_key_is(R"(\ud83d\ude00)", "\xf0\x9f\x98\x80"));
    EXPECT_FALSE(json_key_is(R"(model\u0000)", "model"));
    EXPECT_FALSE(json_key_is(R"(mod\u0065)", "model"));
    EXPECT_FALSE(json_key_is(R"(mod\u06)", "mod"));
    EXPECT_FALSE(json_key_is(R"(\x)", "x"));

    // The escaped key is found, and a key that occurs twice says so.
    std::string_view s = R"({"m\u0065ssages":[1],"model":"a","mod\u0065l":"b"})";
    json_member messages = json_top_member(s, "messages");
    EXPECT_TRUE(messages.found && !messages.repeated);
    EXPECT_EQ(messages.value(s), "[1]");
    json_member model = json_top_member(s, "model");
    EXPECT_TRUE(model.repeated);
    EXPECT_EQ(model.value(s), R"("b")");
}

TEST(JsonScan, OtherPartiesStringContentStaysValid) {
    auto put = [](std::string_view raw) {
        buf b;
        json_put_string_content(b, raw);
        return std::string(b.view());
    };
    // What the sender escaped stays as it wrote it.
    EXPECT_EQ(put(R"(a\n\"b\u00e9\\ \/)"), R"(a\n\"b\u00e9\\ \/)");
    EXPECT_EQ(put("ok \xc3\xa9 \xf0\x9f\x98\x80"), "ok \xc3\xa9 \xf0\x9f\x98\x80");
    // Raw control bytes, a bare quote and broken escapes are made text.
    EXPECT_EQ(put(std::string_view("a\nb\r\n\0\x1f\"", 8)), R"(a\nb\r\n\u0000\u001f\")");
    EXPECT_EQ(put(R"(\q \u12 \)"), R"(\\q \\u12 \\)");
    EXPECT_EQ(put(R"(\ud83d\ude00 \ud83d \ude00x)"), R"(\ud83d\ude00 \ufffd \ufffdx)");  // half a pair
    // Bytes that are not UTF-8 each become U+FFFD.
    EXPECT_EQ(put("\xff x \xc3 \xed\xa0\x80 \xc0\xaf"), "\xef\xbf\xbd x \xef\xbf\xbd \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd "
                                                     "\xef\xbf\xbd\xef\xbf\xbd");
    buf escaped;
    json_escape(escaped, "\xe2\x82 \xe2\x82\xac");
    EXPECT_EQ(escaped.view(), "\xef\xbf\xbd\xef\xbf\xbd \xe2\x82\xac");
}

#include "text/json_read.hpp"

TEST(JsonRead, RefusesEveryMalformedClass) {
    std::string deep(json_max_depth + 1, '[');
    deep += std::string(json_max_depth + 1, ']');
    const std::string long_integer = "1" + std::string(309, '0');
    const std::string_view refused[] = {
        "{\"a\":\"\xff\"}", "\"\xc0\xaf\"", "\"\xed\xa0\x80\"",             // not UTF-8
        R"("\ud800")", R"("\ud800x")", R"("\udc00")", R"("\ud800\u0041")",  // lone surrogates
        "\"a\nb\"", "\"a\tb\"", std::string_view("\"\0\"", 3),             // raw control bytes
        "NaN", "Infinity", "-Infinity", "[nan]",                             // not numbers
        "01", "-01", "1.", ".5", "1e", "+1", "0x1",                          // numbers off the grammar
        "{} x", "{}{}", "1 2",                                               // bytes after the value
        R"({"a":{"b":1,"c":2,"b":3}})", R"([{"a":1,"\u0061":2}])",          // a repeated key
        deep,                                                                // too deep
        "", " ", "[1,]", R"({"a":1,})", "{'a':1}", "[1 2]", R"({"a"1})", R"("\x")", R"("\u12")", "\"open",
        "tru", "nul", "[", "{\"a\":",
        "1e309", "-1.8e308", "[0.001e312]", long_integer,  // beyond the largest double
    };
    for (std::string_view text : refused) EXPECT_FALSE(json_read(text).ok()) << text;

    std::string ok_deep(json_max_depth, '[');
    ok_deep += std::string(json_max_depth, ']');
    const std::string_view accepted[] = {
        ok_deep, R"("\ud83d\ude00 \u00e9 \/")", "\"\xf0\x9f\x98\x80\"", "-0", "0.5e-3", "1E+2", " [true,false,null] ",
        R"({"a":1,"\u0062":2,"ab":{"a":3}})", R"({"":1,"\u0000":2})", "{\"a\":[],\"b\":{}}",
        "1.7976931348623157e308", "1e-999", "0.0e99999", "-9e307",
    };
    for (std::string_view text : accepted) EXPECT_TRUE(json_read(text).ok()) << text;
}

TEST(JsonRead, ErrorNamesWhereItLies) {
    std::string_view text = R"({"messages":[{"content":"x"},{"role":"user","content":NaN}]})";
    json_doc doc = json_read(text);
    ASSERT_FALSE(doc.ok());
    EXPECT_STREQ(doc.error.path, "messages[1].content");
    EXPECT_EQ(doc.error.at, text.find("NaN"));
    EXPECT_STREQ(json_read(R"({"a":{"b":1,"b":2}})").error.path, "a.b");
}

// The elements an array cursor gives, each followed by "|".
std::string elements(json_value v) {
    json_array_cursor c = json_walk_array(v);
    json_value e;
    std::string seen;
    while (json_next(c, e)) seen += std::string(e.text) + "|";
    return seen;
}

TEST(JsonRead, WalksMembersAndDecodesOnlyOnRequest) {
    std::string_view text = R"( {"s":"a\"b\u00e9\ud83d\ude00","n":[1, {"x":true} ,"y"],"u":42,"f":1.5,"m\u006f":null} )";
    json_doc doc = json_read(text);
    ASSERT_TRUE(doc.ok());
    EXPECT_EQ(doc.root.text, text.substr(1, text.size() - 2));
    json_value s = json_get(doc.root, "s");
    EXPECT_EQ(json_raw(s), R"(a\"b\u00e9\ud83d\ude00)");  // a span of the input, escapes as written
    EXPECT_EQ(json_raw(s).data(), text.data() + 7);
    buf decoded;
    json_decode(json_raw(s), decoded);
    EXPECT_EQ(decoded.view(), "a\"b\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_TRUE(json_equals(s, "a\"b\xc3\xa9\xf0\x9f\x98\x80"));
    EXPECT_TRUE(json_get(doc.root, "mo").is(json_kind::null));
    EXPECT_FALSE(json_get(doc.root, "missing").given());
    EXPECT_EQ(json_uint(json_get(doc.root, "u")), 42);
    EXPECT_EQ(json_uint(json_get(doc.root, "f")), -1);

    EXPECT_EQ(elements(json_get(doc.root, "n")), R"(1|{"x":true}|"y"|)");
}

TEST(JsonRead, CursorsWalkTheirOwnKindAndStopAtWhatTheyCannotRead) {
    auto members = [](json_value v) {
        json_object_cursor c = json_walk_object(v);
        std::string_view key;
        json_value e;
        std::string seen;
        while (json_next(c, key, e)) seen += std::string(key) + "=" + std::string(e.text) + "|";
        return seen;
    };
    json_value object{json_kind::object, R"({"a":[1],"b":2})"}, array{json_kind::array, R"([1,{"a":2}])"};
    EXPECT_EQ(elements(object), "");  // the wrong kind: no elements
    EXPECT_EQ(members(array), "");
    EXPECT_EQ(members(object), "a=[1]|b=2|");
    // Values json_read never saw: cut off, mislabelled, or broken inside.
    EXPECT_EQ(elements({json_kind::array, R"([1,{"a":)"}), "");
    EXPECT_EQ(elements({json_kind::array, R"([1,{"a":]])"}), "1|");
    EXPECT_EQ(elements({json_kind::array, R"([1,"x]"})"}), "");
    EXPECT_EQ(elements({json_kind::array, "["}), "");
    EXPECT_EQ(elements({json_kind::array, ""}), "");
    EXPECT_EQ(elements({json_kind::array, R"({"a":1})"}), "");
    EXPECT_EQ(elements({json_kind::array, "[1 2,3]"}), "1|");
    EXPECT_EQ(members({json_kind::object, R"({"a":1,"b")"}), "");
    EXPECT_EQ(members({json_kind::object, R"({"a":1,"b"})"}), "a=1|");
    EXPECT_EQ(members({json_kind::object, R"({"a" 1})"}), "");
    EXPECT_EQ(json_get({json_kind::object, R"({"a":)"}, "a").kind, json_kind::missing);
    EXPECT_EQ(json_raw({json_kind::string, "\""}), "");
    buf decoded;
    json_decode("a\\", decoded);  // a cut escape
    json_decode("\\u12", decoded);
    json_decode("\\ud800\\u0041", decoded);
    EXPECT_EQ(decoded.view(), "a\\\xef\xbf\xbd" "12\xef\xbf\xbd" "A");
}
