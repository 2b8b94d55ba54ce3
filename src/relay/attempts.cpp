#include "relay/attempts.hpp"

#include "text/json_scan.hpp"

namespace {

// Whole decimal digits; -1 otherwise. More than 9 of them read as 9 nines:
// far beyond any wait, and still a long one.
long long whole_number(std::string_view s) {
    if (s.empty()) return -1;
    long long n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        n = n < 100000000 ? n * 10 + (c - '0') : 999999999;
    }
    return n;
}

// Milliseconds as some upstreams send them: digits, maybe with a fraction.
long long millis_value(std::string_view s) {
    size_t dot = s.find('.');
    if (dot == std::string_view::npos) return whole_number(s);
    std::string_view fraction = s.substr(dot + 1);
    for (char c : fraction)
        if (c < '0' || c > '9') return -1;
    return whole_number(s.substr(0, dot));
}

int two_digits(std::string_view s, size_t at) {
    if (at + 2 > s.size() || s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9') return -1;
    return (s[at] - '0') * 10 + (s[at + 1] - '0');
}

// Days since 1970-01-01 of a civil date.
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// Seconds since the epoch of an HTTP date in its one current form,
// "Sun, 06 Nov 1994 08:49:37 GMT"; -1 when it is not one.
long long http_date_seconds(std::string_view s) {
    static constexpr std::string_view months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (s.size() != 29 || s.substr(3, 2) != ", " || s[7] != ' ' || s[11] != ' ' || s[16] != ' ' || s[19] != ':' ||
        s[22] != ':' || s.substr(25) != " GMT")
        return -1;
    size_t month = months.find(s.substr(8, 3));
    int day = two_digits(s, 5), hour = two_digits(s, 17), minute = two_digits(s, 20), second = two_digits(s, 23);
    int century = two_digits(s, 12), year = two_digits(s, 14);
    if (month == std::string_view::npos || month % 3 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 60 || century < 0 || year < 0)
        return -1;
    long long days = days_from_civil(century * 100 + year, static_cast<unsigned>(month / 3 + 1), static_cast<unsigned>(day));
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

bool worth_waiting_for(unsigned long status) { return status == 502 || status == 503 || status == 529; }

long long jittered(long long base, uint32_t jitter) { return base * (750 + jitter % 501) / 1000; }

}  // namespace

long long asked_wait_ms(std::string_view retry_after, std::string_view retry_after_ms,
                        std::chrono::system_clock::time_point now) {
    long long ms = millis_value(retry_after_ms);
    if (ms >= 0) return ms;
    long long seconds = whole_number(retry_after);
    if (seconds >= 0) return seconds * 1000;
    long long at = http_date_seconds(retry_after);
    if (at < 0) return -1;
    long long now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    long long left = at * 1000 - now_ms;
    return left > 0 ? left : 0;
}

bool quota_spent(std::string_view doc) {
    json_member error = json_top_member(doc, "error");
    if (!error.found || doc[error.value_pos] != '{') return false;
    for (std::string_view key : {"code", "type"}) {
        json_member m = json_object_member(doc, error.value_pos, key);
        if (m.found && json_string_at(doc, m.value_pos).raw == "insufficient_quota") return true;
    }
    return false;
}

long long retry_wait(const attempt_facts& facts, const attempt_count& count, unsigned retries, uint32_t jitter) {
    if (facts.reached_caller || count.made >= 1 + retries) return -1;
    long long wait = -1;
    if (facts.failed) {
        // Only a request that never left can be sent again unseen; one that
        // failed on its way or while answered may have been done already.
        if (facts.unsent) wait = jittered(count.made <= 1 ? 250 : 1000, jitter);
    } else if (facts.status == 429 || (worth_waiting_for(facts.status) && count.overloaded == 0)) {
        if (facts.quota) return -1;
        if (facts.asked_ms > asked_wait_max_ms) return -1;
        wait = facts.asked_ms >= 0 ? facts.asked_ms : jittered(1000, jitter);
    }
    if (wait < 0 || count.waited_ms + wait > wait_budget_ms) return -1;
    return wait;
}

uint32_t attempt_jitter() {
    thread_local uint32_t state = 0;
    if (state == 0) {
        auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        state = static_cast<uint32_t>(now ^ (now >> 32) ^ reinterpret_cast<uintptr_t>(&state)) | 1;
    }
    // xorshift32: plenty for spreading waits.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}
