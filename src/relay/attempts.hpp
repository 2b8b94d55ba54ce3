// When a turn whose upstream stumbled is tried again, and after how long:
// only while nothing of the answer has reached the caller, for failures
// that another try can mend (nothing was sent, the upstream is rate
// limited or overloaded), as the chat-completions SDKs do.
#pragma once
#include <chrono>
#include <cstdint>
#include <string_view>

// The most attempts a turn may take beyond its first ("retries").
inline constexpr unsigned retries_max = 5;
// A wait asked longer than this is not waited for: the caller hears of it.
inline constexpr long long asked_wait_max_ms = 10 * 1000;
// All the waits of one turn together.
inline constexpr long long wait_budget_ms = 15 * 1000;

// How long the upstream asked to be left alone, in milliseconds:
// retry-after-ms, else Retry-After as seconds or an HTTP date (against
// `now`; a date past is 0). -1 when neither reads as one.
long long asked_wait_ms(std::string_view retry_after, std::string_view retry_after_ms,
                        std::chrono::system_clock::time_point now);

// True when an error document says the account's quota is spent
// ("insufficient_quota" as the error's code or type): waiting mends nothing.
bool quota_spent(std::string_view doc);

// What one attempt came to.
struct attempt_facts {
    unsigned long status = 0;     // 0 when no status line was read
    bool failed = false;          // the exchange failed (no answer, or a broken one)
    bool unsent = false;          // and no byte of the request reached the upstream
    bool reached_caller = false;  // some of the answer went on, or the caller left
    long long asked_ms = -1;      // the wait the upstream asked for; -1: none
    bool quota = false;           // the error says the quota is spent
};

// The attempts a turn has made so far.
struct attempt_count {
    unsigned made = 0;
    unsigned overloaded = 0;  // of them retried after a 502, 503 or 529
    long long waited_ms = 0;
};

// The wait before the next attempt, or -1 when there is none. `jitter` is
// any random number: a wait the upstream did not name varies by a quarter
// either way, so callers that failed together do not come back together.
long long retry_wait(const attempt_facts& facts, const attempt_count& count, unsigned retries, uint32_t jitter);

// A random number for retry_wait, different per thread and call.
uint32_t attempt_jitter();
