#include "http/event_stream.hpp"

#include <cstring>

#include "text/span.hpp"

namespace {

// Empties a buffer for the next line or event; a block grown for a large one
// is given back, so an idle stream holds little.
void reuse(buf& b) {
    if (b.cap > (64u << 10)) {
        b.clear();
    } else if (b.data) {
        b.len = 0;
        b.data[0] = '\0';
    }
}

void drop_event(event_reader& r) {
    reuse(r.data);
    r.span = {};
    r.in_span = false;
    r.data_lines = 0;
    r.data_bytes = 0;
}

// False when the event grew past the bound. `in_block` says the value is a
// span of the caller's block (not of the line carried over).
bool add_data(event_reader& r, std::string_view value, bool in_block) {
    size_t total = r.data_bytes + (r.data_lines ? 1 : 0) + value.size();
    if (total > event_max_bytes) return false;
    if (r.data_lines == 0 && in_block) {
        r.span = value;
        r.in_span = true;
    } else {
        if (r.in_span) {
            buf_put(r.data, r.span);
            r.in_span = false;
        }
        if (r.data_lines) buf_put(r.data, "\n", 1);
        buf_put(r.data, value);
    }
    r.data_bytes = total;
    ++r.data_lines;
    return true;
}

// One whole line, without its line end. False to stop reading.
bool take_line(event_reader& r, std::string_view line, bool in_block, event_handler on_event, void* ctx) {
    if (line.empty()) {
        bool go_on = true;
        if (r.data_lines) {
            std::string_view data = r.in_span ? r.span : r.data.view();
            if (!data.empty()) go_on = on_event(ctx, data);
        }
        drop_event(r);
        if (!go_on) r.status = event_status::stopped;
        return go_on;
    }
    if (line[0] == ':') return true;  // a comment
    size_t colon = line.find(':');
    std::string_view field = line.substr(0, colon);
    if (field != "data") return true;
    std::string_view value = colon == std::string_view::npos ? std::string_view{} : line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.remove_prefix(1);
    if (!add_data(r, value, in_block)) {
        r.status = event_status::too_large;
        return false;
    }
    return true;
}

}  // namespace

event_status event_feed(event_reader& r, std::string_view block, event_handler on_event, void* ctx) {
    if (r.status != event_status::reading) return r.status;
    const size_t n = block.size();
    size_t i = 0;
    if (r.cr_ended && n) {
        if (block[0] == '\n') i = 1;
        r.cr_ended = false;
    }
    // Line ends are found with memchr; the next "\n" is kept between lines,
    // so a block of bare "\r" line ends is not searched again and again.
    const char* base = block.data();
    size_t next_lf = 0;
    bool lf_known = false;
    while (i < n) {
        if (!lf_known || next_lf < i) {
            const void* lf = std::memchr(base + i, '\n', n - i);
            next_lf = lf ? static_cast<size_t>(static_cast<const char*>(lf) - base) : n;
            lf_known = true;
        }
        const void* cr = std::memchr(base + i, '\r', next_lf - i);
        size_t e = cr ? static_cast<size_t>(static_cast<const char*>(cr) - base) : next_lf;
        size_t carried = r.line.len;
        if (carried + (e - i) > event_max_bytes) {
            r.status = event_status::too_large;
            break;
        }
        if (e == n) {  // the line goes on in the next block
            buf_put(r.line, block.substr(i));
            break;
        }
        std::string_view line = block.substr(i, e - i);
        if (carried) {
            buf_put(r.line, line);
            line = r.line.view();
        }
        if (block[e] == '\r') {
            if (e + 1 < n && block[e + 1] == '\n') {
                ++e;
            } else if (e + 1 == n) {
                r.cr_ended = true;
            }
        }
        i = e + 1;
        bool go_on = take_line(r, line, carried == 0, on_event, ctx);
        if (carried) reuse(r.line);
        if (!go_on) break;
    }
    if (r.status == event_status::reading && r.in_span) {
        // The event goes on in the next block: its data must outlive this one.
        buf_put(r.data, r.span);
        r.in_span = false;
        r.span = {};
    }
    if (r.line.failed || r.data.failed) r.status = event_status::too_large;
    return r.status;
}

namespace {

bool line_end_byte(char c) { return c == '\r' || c == '\n'; }

// How many line ends a run of CR and LF bytes holds ("\r\n" is one).
size_t line_ends(std::string_view run) {
    size_t n = 0;
    for (size_t i = 0; i < run.size(); ++i, ++n)
        if (run[i] == '\r' && i + 1 < run.size() && run[i + 1] == '\n') ++i;
    return n;
}

}  // namespace

bool done_watch_feed(done_watch& w, std::string_view block) {
    if (block.empty()) return false;  // what it ends was looked at with the block before
    constexpr size_t cap = sizeof w.last;
    size_t take = block.size() < cap ? block.size() : cap;
    size_t keep = w.held < cap - take ? w.held : cap - take;
    if (w.held + block.size() > cap) w.from_start = false;
    std::memmove(w.last, w.last + (w.held - keep), keep);
    std::memcpy(w.last + keep, block.data() + (block.size() - take), take);
    w.held = keep + take;

    std::string_view s(w.last, w.held);
    size_t end = s.size();  // where the blank lines after the event begin
    while (end && line_end_byte(s[end - 1])) --end;
    if (line_ends(tail_span(s, end)) < 2) return false;
    // Its data line, with or without the one blank after the colon.
    auto line_is = [&](std::string_view line) {
        return end >= line.size() && sub_span(s, end - line.size(), line.size()) == line;
    };
    size_t at = end;
    if (line_is("data: [DONE]"))
        at -= 12;
    else if (line_is("data:[DONE]"))
        at -= 11;
    else
        return false;
    size_t start = at;  // the line ends before it
    while (start && line_end_byte(s[start - 1])) --start;
    if (start == 0 && w.from_start) return true;  // nothing but line ends before it in the stream
    return line_ends(sub_span(s, start, at - start)) >= 2;
}
