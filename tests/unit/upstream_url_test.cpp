#include <gtest/gtest.h>

#include <string>

#include "relay/attempts.hpp"
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

// The waits an upstream asks for, as its answers' heads spell them.
TEST(UpstreamWait, RetryAfterForms) {
    using namespace std::chrono;
    auto now = system_clock::time_point(seconds(784111777));  // Sun, 06 Nov 1994 08:49:37 GMT
    struct row {
        const char* after;
        const char* after_ms;
        long long ms;
    } rows[] = {
        {"3", "", 3000},          {"0", "", 0},
        {"", "250", 250},         {"", "1.5", 1},
        {"9", "20", 20},  // the finer one wins
        {"Sun, 06 Nov 1994 08:49:40 GMT", "", 3000},
        {"Sun, 06 Nov 1994 08:49:30 GMT", "", 0},  // already past
        {"Sun, 06 Nov 1994 08:49:40 UTC", "", -1}, {"Sunday, 06-Nov-94 08:49:37 GMT", "", -1},
        {"Sun, 06 Xyz 1994 08:49:40 GMT", "", -1}, {"-1", "", -1}, {"1e3", "x", -1},
        {"", "", -1},             {"99999999999", "", 999999999000},
    };
    for (const row& r : rows) EXPECT_EQ(asked_wait_ms(r.after, r.after_ms, now), r.ms) << r.after << "|" << r.after_ms;
}

TEST(UpstreamWait, WhichFailuresAreTriedAgain) {
    attempt_count first;
    first.made = 1;
    attempt_facts refused_connect{0, true, true};
    EXPECT_GE(retry_wait(refused_connect, first, 2, 0), 187);
    EXPECT_LE(retry_wait(refused_connect, first, 2, 500), 313);
    EXPECT_EQ(retry_wait({0, true, false}, first, 2, 0), -1);  // a failure after the request went out
    EXPECT_EQ(retry_wait(refused_connect, first, 0, 0), -1);   // retries off
    EXPECT_EQ(retry_wait({429, false, false, false, 2000}, first, 2, 0), 2000);
    EXPECT_EQ(retry_wait({429, false, false, false, 10001}, first, 2, 0), -1);
    EXPECT_EQ(retry_wait({429, false, false, false, -1, true}, first, 2, 0), -1);
    EXPECT_EQ(retry_wait({429, false, false, true, 100}, first, 2, 0), -1);  // part of it went on
    EXPECT_EQ(retry_wait({500, false, false, false, 100}, first, 2, 0), -1);
    attempt_count after_503{2, 1, 1000};
    EXPECT_EQ(retry_wait({503, false, false, false, 100}, after_503, 5, 0), -1);  // once only
    EXPECT_EQ(retry_wait({429, false, false, false, 9000}, attempt_count{2, 0, 7000}, 5, 0), -1);  // 15 s in all
    EXPECT_TRUE(quota_spent(R"({"error":{"message":"m","type":"insufficient_quota"}})"));
    EXPECT_TRUE(quota_spent(R"({"error":{"code":"insufficient_quota"}})"));
    EXPECT_FALSE(quota_spent(R"({"error":{"code":"rate_limit_exceeded","message":"insufficient_quota"}})"));
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
