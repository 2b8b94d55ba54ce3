#include <gtest/gtest.h>

#include <string>

#include "front/cors.hpp"
#include "settings/origins.hpp"

namespace {

origin_list parsed(std::string_view setting) {
    origin_list list;
    std::string_view bad;
    EXPECT_TRUE(parse_origin_list(setting, list, bad)) << bad;
    return list;
}

}  // namespace

TEST(Origins, SettingFormsAndTheEntryThatIsNone) {
    origin_list list = parsed(" https://app.example , chrome-extension://* ,null,http://[::1]:9,*,");
    ASSERT_EQ(list.count, 5u);
    EXPECT_EQ(list.entries[1].kind, origin_pattern::any_of_scheme);
    EXPECT_EQ(list.entry_text(list.entries[1]), "chrome-extension");
    EXPECT_EQ(list.entries[2].kind, origin_pattern::null_origin);
    EXPECT_EQ(list.entries[4].kind, origin_pattern::any);
    for (std::string_view bad_entry : {"https://app.example/", "app.example", "https://", "https://a b", "1http://x",
                                       "http://x:99999", "http://x:", "https://*.example", "http://u@x", "NULL"}) {
        std::string setting = "http://ok.test, " + std::string(bad_entry);
        origin_list list2;
        std::string_view bad;
        EXPECT_FALSE(parse_origin_list(setting, list2, bad)) << bad_entry;
        EXPECT_EQ(bad, bad_entry);
    }
    std::string too_many;
    for (int i = 0; i < 33; ++i) too_many += "http://h" + std::to_string(i) + ".test,";
    origin_list full;
    std::string_view bad;
    EXPECT_FALSE(parse_origin_list(too_many, full, bad));
    EXPECT_EQ(bad, "http://h32.test");
}

TEST(Cors, WhoIsAllowed) {
    origin_list none;
    for (std::string_view ok : {"http://localhost:5173", "https://127.0.0.1", "http://[::1]:8080", "HTTP://LocalHost"})
        EXPECT_TRUE(origin_allowed(none, ok)) << ok;
    for (std::string_view no : {"null", "http://localhost.evil.test", "http://127.0.0.1.evil.test", "file://",
                                "chrome-extension://abc", "ftp://localhost", "http://localhost/x", "http://localhost:"})
        EXPECT_FALSE(origin_allowed(none, no)) << no;

    origin_list some = parsed("https://app.example,chrome-extension://*");
    EXPECT_TRUE(origin_allowed(some, "https://APP.example"));
    EXPECT_TRUE(origin_allowed(some, "chrome-extension://abcdefgh"));
    EXPECT_FALSE(origin_allowed(some, "https://app.example:444"));
    EXPECT_FALSE(origin_allowed(some, "chrome-extensionx://abc"));
    EXPECT_FALSE(origin_allowed(some, "chrome-extension://a\r\nSet-Cookie: x"));  // never echoed into a header
    EXPECT_FALSE(origin_allowed(some, "null"));

    origin_list any = parsed("*");
    EXPECT_TRUE(origin_allowed(any, "https://anything.example"));
    EXPECT_FALSE(origin_allowed(any, "https://x.example/\r\nX: y"));
    EXPECT_TRUE(origin_allowed(parsed("null"), "null"));
}

TEST(Cors, JsonContentType) {
    for (std::string_view yes : {"application/json", "Application/JSON; charset=utf-8", "application/json ;x=y"})
        EXPECT_TRUE(declares_json(yes)) << yes;
    for (std::string_view no : {"", "text/plain", "application/json-seq", "application/jsonx", "application/x-www-form-urlencoded"})
        EXPECT_FALSE(declares_json(no)) << no;
}

TEST(Cors, PreflightAllowsOnlySafeRequestedHeaders) {
    cors_lines lines;
    put_preflight_lines(lines, "http://localhost:3000", "POST", "authorization, content-type,x-stainless-os, cookie,x-", true);
    EXPECT_EQ(lines.view(),
              "Access-Control-Allow-Origin: http://localhost:3000\r\n"
              "Access-Control-Allow-Methods: POST\r\n"
              "Access-Control-Allow-Headers: authorization, content-type, x-stainless-os\r\n"
              "Access-Control-Max-Age: 600\r\n"
              "Access-Control-Allow-Private-Network: true\r\n"
              "Vary: Origin\r\n");
    put_preflight_lines(lines, "null", "GET", "cookie", false);
    EXPECT_EQ(lines.view(),
              "Access-Control-Allow-Origin: null\r\nAccess-Control-Allow-Methods: GET\r\n"
              "Access-Control-Max-Age: 600\r\nVary: Origin\r\n");
    // A request for thousands of headers still leaves a whole header block.
    std::string many;
    for (int i = 0; i < 500; ++i) many += "x-h" + std::to_string(i) + ",";
    put_preflight_lines(lines, "http://localhost", "POST", many, false);
    EXPECT_TRUE(lines.view().ends_with("\r\nAccess-Control-Max-Age: 600\r\nVary: Origin\r\n"));
}
