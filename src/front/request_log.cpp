#include "front/request_log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "text/bounded.hpp"

namespace {

// Appends to a fixed area, cutting what does not fit; one byte is kept back
// for the closing newline.
struct line_builder {
    char* out;
    size_t room;  // bytes usable before the newline and the NUL
    size_t len = 0;

    void put(std::string_view s) {
        size_t n = s.size() < room - len ? s.size() : room - len;
        std::memcpy(out + len, s.data(), n);
        len += n;
    }

    __attribute__((format(ZELK_PRINTF_FORMAT, 2, 3))) void format(const char* fmt, ...) {
        va_list ap;
        va_start(ap, fmt);
        len += vbformat_at(out + len, room - len + 1, fmt, ap);
        va_end(ap);
    }

    // Bytes that could end or forge a line, or break the key=value reading,
    // are written as escapes; a bare value also escapes the space.
    void escaped(std::string_view s, bool quoted) {
        if (quoted) put("\"");
        size_t from = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            auto c = static_cast<unsigned char>(s[i]);
            bool plain = c > 0x20 && c < 0x7f && c != '"' && c != '\\';
            if (plain || (c == ' ' && quoted)) continue;
            put(s.substr(from, i - from));
            if (c == '"' || c == '\\') {
                char pair[2] = {'\\', static_cast<char>(c)};
                put({pair, 2});
            } else {
                format("\\x%02X", c);
            }
            from = i + 1;
        }
        put(s.substr(from));
        if (quoted) put("\"");
    }

    void count(const char* key, long long n) {
        if (n < 0)
            format(" %s=-", key);
        else
            format(" %s=%lld", key, n);
    }

    void millis(const char* key, std::chrono::steady_clock::duration d) {
        format(" %s=%lld", key,
               static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()));
    }
};

}  // namespace

void trace_raw_request_line(request_trace& t, std::string_view raw) {
    std::string_view line = raw.substr(0, raw.find('\n'));
    size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0) return;
    t.method = line.substr(0, space);
    std::string_view rest = line.substr(space + 1);
    size_t end = rest.rfind(" HTTP/");
    t.path = end == std::string_view::npos ? rest : rest.substr(0, end);
}

size_t format_log_line(const request_trace& t, std::chrono::steady_clock::time_point done,
                       char (&out)[log_line_max]) {
    using namespace std::chrono;
    line_builder b{out, log_line_max - 2};

    auto ms = floor<milliseconds>(t.arrived);
    auto day = floor<days>(ms);
    year_month_day date{day};
    hh_mm_ss clock{ms - day};
    b.format("time=%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
             static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
             static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
             static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));

    b.put(" method=");
    if (t.method.empty())
        b.put("-");
    else
        b.escaped(t.method.substr(0, 16), false);
    b.put(" path=");
    if (t.method.empty())
        b.put("-");
    else
        b.escaped(t.path.substr(0, log_path_max), true);
    b.format(" route=%s dialect=%s mode=%s", t.route, t.dialect, t.mode);
    if (t.status)
        b.format(" status=%d", t.status);
    else
        b.put(" status=-");
    if (t.upstream_status)
        b.format(" upstream_status=%lu", t.upstream_status);
    else
        b.put(" upstream_status=-");
    if (t.attempts)
        b.format(" upstream=%s attempts=%u", t.upstream, t.attempts);
    else
        b.put(" upstream=- attempts=-");
    b.format(" bytes_in=%llu bytes_out=%llu", static_cast<unsigned long long>(t.bytes_in),
             static_cast<unsigned long long>(t.bytes_out));
    if (t.upstream_first_byte != steady_clock::time_point{})
        b.millis("first_byte_ms", t.upstream_first_byte - t.started);
    else
        b.put(" first_byte_ms=-");
    b.millis("total_ms", done - t.started);
    b.count("prompt_tokens", t.prompt_tokens);
    b.count("completion_tokens", t.completion_tokens);
    b.put(" error=");
    b.escaped(t.error.s, true);

    out[b.len++] = '\n';
    out[b.len] = '\0';
    return b.len;
}

void log_request(const log_output& out, const request_trace& t) {
    char line[log_line_max];
    size_t len = format_log_line(t, std::chrono::steady_clock::now(), line);
    log_write(out, {line, len});
}
