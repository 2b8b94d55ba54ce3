#include <gtest/gtest.h>

#include <string>

#include "settings/settings.hpp"
#include "settings/upstream_url.hpp"

namespace {

struct split {
    bool ok;
    upstream_target t;
    std::string err;
};

split run(std::string_view url) {
    split s;
    error_text e;
    s.ok = split_upstream_url(url, s.t, e);
    s.err = e.s;
    return s;
}

}  // namespace

TEST(UpstreamUrl, PlainHttpWithPort) {
    split s = run("http://127.0.0.1:9000/v1/chat/completions");
    ASSERT_TRUE(s.ok);
    EXPECT_FALSE(s.t.secure);
    EXPECT_STREQ(s.t.host, "127.0.0.1");
    EXPECT_EQ(s.t.port, 9000);
    EXPECT_STREQ(s.t.path, "/v1/chat/completions");
}

TEST(UpstreamUrl, DefaultsAndCapitals) {
    split s = run("HTTPS://api.example.com");
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.t.secure);
    EXPECT_EQ(s.t.port, 443);
    EXPECT_STREQ(s.t.path, "/v1/chat/completions");
    s = run("https://h/");
    EXPECT_STREQ(s.t.path, "/");  // a lone slash is a path of its own
    s = run("Http://h/p?x=1");
    EXPECT_EQ(s.t.port, 80);
    EXPECT_STREQ(s.t.path, "/p?x=1");
}

TEST(UpstreamUrl, BracketedIpv6) {
    split s = run("http://[::1]:8000/v1");
    ASSERT_TRUE(s.ok);
    EXPECT_STREQ(s.t.host, "::1");
    EXPECT_EQ(s.t.port, 8000);
    s = run("https://[fe80::1]/x");
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.t.port, 443);
    EXPECT_FALSE(run("http://[::1/x").ok);
    EXPECT_FALSE(run("http://[::1]x/").ok);
}

TEST(UpstreamUrl, Errors) {
    EXPECT_EQ(run("ftp://x/y").err, "bad ZELK_SHIM_URL scheme");
    EXPECT_EQ(run("").err, "bad ZELK_SHIM_URL scheme");
    EXPECT_EQ(run("https:///v1/chat/completions").err, "empty host");
    EXPECT_EQ(run("https://:443/v1").err, "empty host");
    for (const char* bad : {"http://h:0/", "http://h:65536/", "http://h:/", "http://h:8a/", "http://h:-1/",
                            "http://h:99999999999/", "http://[::1]:/"})
        EXPECT_EQ(run(bad).err, "bad ZELK_SHIM_URL port") << bad;
    EXPECT_TRUE(run("http://h:65535/").ok);
    EXPECT_EQ(run("http://" + std::string(300, 'h') + "/").err, "bad ZELK_SHIM_URL host");
}

TEST(UpstreamUrl, EmbeddingsUrlFromTheChatUrl) {
    char out[url_room + 1];
    auto derived = [&](const char* chat) { return derive_embed_url(chat, out) ? std::string(out) : std::string("-"); };
    EXPECT_EQ(derived("https://h/v1/chat/completions"), "https://h/v1/embeddings");
    EXPECT_EQ(derived("https://h/openai/deployments/x/chat/completions?api-version=1"),
              "https://h/openai/deployments/x/embeddings?api-version=1");
    EXPECT_EQ(derived("http://h:8000"), "http://h:8000/v1/embeddings");  // the default chat path
    EXPECT_EQ(derived("https://h/v1/responses"), "-");
    EXPECT_EQ(derived("https://h/chat/completions/x?q=/chat/completions"), "-");
    EXPECT_EQ(derived("https://chat/completions"), "-");  // the authority, not the path
}
