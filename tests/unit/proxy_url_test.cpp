#include <gtest/gtest.h>

#include <string>

#include "settings/proxy_url.hpp"

namespace {

struct parsed {
    bool ok;
    upstream_proxy p;
    std::string err;
};

parsed run(std::string_view text) {
    parsed r;
    error_text e;
    r.ok = parse_proxy_url(text, r.p, e);
    r.err = e.s;
    return r;
}

}  // namespace

TEST(ProxyUrl, HostPortAndCredentials) {
    parsed r = run("HTTP://proxy.corp:3128/");
    ASSERT_TRUE(r.ok);
    EXPECT_STREQ(r.p.url, "http://proxy.corp:3128");
    EXPECT_FALSE(r.p.has_credentials());

    // Escapes decode; an unescaped '@' or ':' in the password still belongs to it.
    r = run("http://a%20b:p@ss:w%3Ard@127.0.0.1:8888");
    ASSERT_TRUE(r.ok);
    EXPECT_STREQ(r.p.url, "http://127.0.0.1:8888");
    EXPECT_STREQ(r.p.user, "a b");
    EXPECT_STREQ(r.p.password, "p@ss:w:rd");

    r = run("http://u@[::1]:8080");
    ASSERT_TRUE(r.ok);
    EXPECT_STREQ(r.p.url, "http://[::1]:8080");
    EXPECT_STREQ(r.p.user, "u");
    EXPECT_STREQ(r.p.password, "");

    r = run("");
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.p.enabled());
}

TEST(ProxyUrl, RefusedValuesNeverEchoThePassword) {
    const char* bad[] = {"https://h:1",      "socks5://h:1",        "h:1",           "http://h",
                         "http://h:0",       "http://h:65536",      "http://:80",    "http://h:80/x",
                         "http://:pw@h:80",  "http://u:s%2Gcret@h:1", "http://u:%00@h:1", "http://[::1]8080",
                         "http://u:secret@h"};
    for (const char* text : bad) {
        parsed r = run(text);
        EXPECT_FALSE(r.ok) << text;
        EXPECT_FALSE(r.p.enabled()) << text;
        EXPECT_FALSE(r.err.empty()) << text;
        EXPECT_EQ(r.err.find("secret"), std::string::npos) << text;
        EXPECT_EQ(r.p.password[0], '\0') << text;
    }
}
