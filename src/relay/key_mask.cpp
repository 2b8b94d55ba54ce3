#include "relay/key_mask.hpp"

#include <cstring>

#include "text/json_scan.hpp"
#include "text/utf8.hpp"

namespace {

using forms_t = masked_stream::forms_t;

void add_form(forms_t& f, std::string_view form) {
    for (size_t k = 0; k < f.count; ++k)
        if (f.form[k] == form) return;
    f.form[f.count++] = form;
}

uint32_t* fail_table(forms_t& f, size_t k) {
    size_t at = 0;
    for (size_t j = 0; j < k; ++j) at += f.form[j].size();
    return reinterpret_cast<uint32_t*>(f.fail.data) + at;
}

// The forms the key takes (as it is, escaped, "/" escaped too) and their
// prefix tables, so each decoded byte costs a few steps whatever the text.
void prepare(masked_stream& m) {
    if (m.ready) return;
    m.ready = true;
    forms_t& f = m.forms;
    add_form(f, m.key);
    json_escape(f.escaped, m.key);
    add_form(f, f.escaped.view());
    for (char c : f.escaped.view()) {
        if (c == '/') buf_put(f.slashed, "\\/", 2);
        else buf_put(f.slashed, &c, 1);
    }
    add_form(f, f.slashed.view());
    size_t total = 0;
    for (size_t k = 0; k < f.count; ++k) total += f.form[k].size();
    if (!buf_reserve(f.fail, total * sizeof(uint32_t) + alignof(uint32_t))) {
        f.count = 1;  // no room for the tables: the plain key alone, matched the slow way below
        return;
    }
    for (size_t k = 0; k < f.count; ++k) {
        std::string_view p = f.form[k];
        uint32_t* t = fail_table(f, k);
        t[0] = 0;
        uint32_t len = 0;
        for (size_t i = 1; i < p.size(); ++i) {
            while (len > 0 && p[i] != p[len]) len = t[len - 1];
            if (p[i] == p[len]) ++len;
            t[i] = len;
        }
    }
}

bool tables_ready(const forms_t& f) { return f.fail.data != nullptr; }

struct unit_lengths {
    unsigned char raw, decoded;
};

unit_lengths unit_at(const masked_stream& m, size_t index) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(m.held_units.data) + index;
    return {u[0], u[1]};
}

// Sends the held units before `unit_end` (an offset into held_units).
void emit_until(masked_stream& m, buf& out, size_t unit_end) {
    size_t raw = 0;
    for (size_t u = m.unit_front; u < unit_end; u += 2) {
        unit_lengths l = unit_at(m, u);
        raw += l.raw;
        m.held_decoded -= l.decoded;
    }
    buf_put(out, m.held_raw.data + m.raw_front, raw);
    m.raw_front += raw;
    m.unit_front = unit_end;
    if (m.unit_front == m.held_units.len) {
        m.held_raw.len = m.held_units.len = m.raw_front = m.unit_front = 0;
        m.held_decoded = 0;
    }
}

void reset_states(masked_stream& m) {
    for (size_t& s : m.forms.state) s = 0;
}

// A segment ended (a string opened or closed): an occurrence never spans one.
void flush_all(masked_stream& m, buf& out) {
    emit_until(m, out, m.held_units.len);
    reset_states(m);
    m.high_surrogate = false;
}

// One unit of the text: its raw bytes as written and the bytes a reader reads.
void push_unit(masked_stream& m, buf& out, std::string_view raw, std::string_view decoded) {
    forms_t& f = m.forms;
    unsigned char lengths[2] = {static_cast<unsigned char>(raw.size()), static_cast<unsigned char>(decoded.size())};
    buf_put(m.held_raw, raw);
    buf_put(m.held_units, lengths, 2);
    m.held_decoded += decoded.size();
    for (size_t i = 0; i < decoded.size(); ++i) {
        char c = decoded[i];
        size_t matched = 0;
        for (size_t k = 0; k < f.count; ++k) {
            std::string_view p = f.form[k];
            size_t& s = f.state[k];
            if (tables_ready(f)) {
                const uint32_t* t = fail_table(f, k);
                while (s > 0 && p[s] != c) s = t[s - 1];
                if (p[s] == c) ++s;
            } else {
                // No tables: restart after a mismatch (may miss an
                // occurrence that overlaps a false start; memory is short).
                s = p[s] == c ? s + 1 : (p[0] == c ? 1 : 0);
            }
            if (s == p.size() && p.size() > matched) matched = p.size();
        }
        if (!matched) continue;
        // The units that spell the occurrence, this one included, give way to the mask.
        size_t covered = i + 1;
        size_t first = m.held_units.len - 2;
        while (covered < matched && first > m.unit_front) {
            first -= 2;
            covered += unit_at(m, first).decoded;
        }
        emit_until(m, out, first);
        buf_put(out, key_mask);
        m.held_raw.len = m.held_units.len = m.raw_front = m.unit_front = 0;
        m.held_decoded = 0;
        reset_states(m);
        return;
    }
    // What no occurrence can include any more goes out.
    size_t keep = 0;
    for (size_t k = 0; k < f.count; ++k)
        if (f.state[k] > keep) keep = f.state[k];
    size_t end = m.unit_front;
    size_t left = m.held_decoded;
    while (end < m.held_units.len && left - unit_at(m, end).decoded >= keep) {
        left -= unit_at(m, end).decoded;
        end += 2;
    }
    if (end > m.unit_front) emit_until(m, out, end);
}

void push_byte(masked_stream& m, buf& out, char c) {
    m.high_surrogate = false;
    push_unit(m, out, {&c, 1}, {&c, 1});
}

// A whole escape: what it reads as. One that JSON does not have reads as
// the byte after the backslash, as lenient readers take it.
void push_escape(masked_stream& m, buf& out) {
    std::string_view raw(m.escape, m.escape_len);
    m.escape_len = 0;
    char e = raw.size() > 1 ? raw[1] : '\\';
    char one;
    switch (e) {
        case 'b': one = '\b'; break;
        case 'f': one = '\f'; break;
        case 'n': one = '\n'; break;
        case 'r': one = '\r'; break;
        case 't': one = '\t'; break;
        case 'u': {
            long cp = raw.size() == 6 ? hex4(raw, 2) : -1;
            if (cp < 0) break;
            char bytes[4];
            size_t n = 0;
            bool was_high = m.high_surrogate;
            m.high_surrogate = cp >= 0xd800 && cp <= 0xdbff;
            if (cp >= 0xdc00 && cp <= 0xdfff) {
                // The second half of a pair reads as the pair's code point;
                // the first half read as nothing. A lone half spells nothing a key holds.
                if (was_high) n = put_utf8(bytes, 0x10000 + ((m.high_cp - 0xd800) << 10) + (cp - 0xdc00));
            } else if (!m.high_surrogate) {
                n = put_utf8(bytes, cp);
            } else {
                m.high_cp = cp;
            }
            push_unit(m, out, raw, {bytes, n});
            return;
        }
        default: one = e; break;
    }
    if (e == 'u') one = 'u';  // \u without four hex digits
    m.high_surrogate = false;
    push_unit(m, out, raw, {&one, 1});
}

void feed(masked_stream& m, std::string_view text, buf& out) {
    bool strings_decoded = m.reading == mask_reading::string_content;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (!m.decided) {
            if (m.reading == mask_reading::document && json_is_ws(c)) {
                buf_put(out, &c, 1);
                continue;
            }
            m.decided = true;
            m.json = m.reading == mask_reading::json || (m.reading == mask_reading::document && (c == '{' || c == '['));
        }
        if (m.escape_len) {
            bool hex_run = m.escape_len >= 2 && m.escape[1] == 'u';
            if (hex_run && hex_digit(c) < 0) {
                push_escape(m, out);  // cut short: what was read, then this byte on its own
            } else {
                m.escape[m.escape_len++] = c;
                if (m.escape_len == 6 || (m.escape_len == 2 && c != 'u')) push_escape(m, out);
                continue;
            }
        }
        bool inside = strings_decoded || (m.json && m.in_string);
        if (inside && c == '\\') {
            m.escape[0] = c;
            m.escape_len = 1;
        } else if (m.json && c == '"' && !strings_decoded) {
            flush_all(m, out);
            buf_put(out, &c, 1);
            m.in_string = !m.in_string;
        } else {
            push_byte(m, out, c);
        }
    }
}

}  // namespace

void masked_feed(masked_stream& m, std::string_view block, buf& out) {
    if (m.key.empty()) {
        buf_put(out, block);
        return;
    }
    prepare(m);
    feed(m, block, out);
}

void masked_end(masked_stream& m, buf& out) {
    if (m.key.empty()) return;
    prepare(m);
    if (m.escape_len) push_escape(m, out);
    flush_all(m, out);
}

void masked_restart(masked_stream& m) {
    m.held_raw.len = m.held_units.len = m.raw_front = m.unit_front = 0;
    m.held_decoded = 0;
    m.escape_len = 0;
    m.decided = m.json = m.in_string = m.high_surrogate = false;
    reset_states(m);
}

bool opens_with_error_member(std::string_view doc) {
    size_t i = json_skip_ws(doc, 0);
    if (i >= doc.size() || doc[i] != '{') return false;
    i = json_skip_ws(doc, i + 1);
    if (i >= doc.size() || doc[i] != '"') return false;
    size_t end = json_string_end(doc, i);
    return end != json_npos && json_key_is(sub_span(doc, i + 1, end - i - 2), "error");
}

void put_masked(buf& out, std::string_view text, std::string_view key) {
    if (key.empty()) {
        buf_put(out, text);
        return;
    }
    masked_stream m(key);
    masked_feed(m, text, out);
    masked_end(m, out);
}

void put_masked_string(buf& out, std::string_view content, std::string_view key) {
    if (key.empty()) {
        buf_put(out, content);
        return;
    }
    masked_stream m(key, mask_reading::string_content);
    masked_feed(m, content, out);
    masked_end(m, out);
}

// ---- Error events inside a successful stream ---------------------------------

namespace {

// Where the reading of an event's first bytes stands: "data:" matched up to
// head 5, then its optional space, the "{", the first key, then decided.
constexpr uint8_t head_after_colon = 5, head_before_brace = 6, head_before_key = 7, head_in_key = 8,
                  head_decided = 9;

// Follows line ends (LF, CR LF or CR); true when `c` ends an empty line,
// which ends the event.
bool ends_event(event_mask& m, char c) {
    if (c == '\n') {
        if (m.after_cr) {
            m.after_cr = false;  // the LF of a CR LF
            return false;
        }
        bool blank = m.line_empty;
        m.line_empty = true;
        return blank;
    }
    if (c == '\r') {
        bool blank = m.line_empty;
        m.line_empty = true;
        m.after_cr = true;
        return blank;
    }
    m.line_empty = false;
    m.after_cr = false;
    return false;
}

// One byte of an event's start (not a line end). True when it completes the
// first key of an error event.
bool read_head(event_mask& m, char c) {
    static constexpr std::string_view field = "data:";
    if (m.head < head_after_colon) {
        m.head = c == field[m.head] ? m.head + 1 : head_decided;
        return false;
    }
    if (m.head == head_after_colon) {
        m.head = head_before_brace;
        if (c == ' ') return false;  // the one space the event format strips
    }
    if (m.head == head_before_brace || m.head == head_before_key) {
        if (c == ' ' || c == '\t') return false;
        char want = m.head == head_before_brace ? '{' : '"';
        if (c != want) {
            m.head = head_decided;
        } else {
            m.head = m.head == head_before_brace ? head_before_key : head_in_key;
            m.first_key_len = 0;
            m.key_escape = false;
        }
        return false;
    }
    // In the first key ("error" spelled with escapes is at most 30 bytes).
    if (c == '"' && !m.key_escape) {
        m.head = head_decided;
        return json_key_is({m.first_key, m.first_key_len}, "error");
    }
    if (m.first_key_len == sizeof m.first_key) {
        m.head = head_decided;
        return false;
    }
    m.key_escape = !m.key_escape && c == '\\';
    m.first_key[m.first_key_len++] = c;
    return false;
}

bool send_out(event_mask& m, mask_sink send, void* ctx) {
    bool ok = send(ctx, m.out.view());
    m.out.len = 0;
    return ok;
}

}  // namespace

bool event_mask_feed(event_mask& m, std::string_view block, mask_sink send, void* ctx) {
    if (m.masking.key.empty()) return send(ctx, block);
    const char* base = block.data();
    size_t n = block.size();
    size_t pass_from = 0;  // start of the bytes that go on as they came
    size_t next_lf = 0, next_cr = 0;  // the next of each line-end byte at or after i, or n
    bool lf_known = false, cr_known = false;
    size_t i = 0;
    while (i < n) {
        if (m.in_error) {
            size_t from = i;
            bool ended = false;
            while (i < n && !ended) ended = ends_event(m, block[i++]);
            masked_feed(m.masking, sub_span(block, from, i - from), m.out);
            if (ended) {
                masked_end(m.masking, m.out);
                m.in_error = false;
                m.head = 0;
            }
            if (!send_out(m, send, ctx)) return false;
            pass_from = i;
            continue;
        }
        if (m.head == head_decided) {
            // A normal event: on to its next line end without looking at the bytes between.
            if (!lf_known || next_lf < i) {
                const void* hit = std::memchr(base + i, '\n', n - i);
                next_lf = hit ? static_cast<size_t>(static_cast<const char*>(hit) - base) : n;
                lf_known = true;
            }
            if (!cr_known || next_cr < i) {
                const void* hit = std::memchr(base + i, '\r', n - i);
                next_cr = hit ? static_cast<size_t>(static_cast<const char*>(hit) - base) : n;
                cr_known = true;
            }
            size_t line_end = next_lf < next_cr ? next_lf : next_cr;
            if (line_end > i) {
                m.line_empty = false;
                m.after_cr = false;
            }
            if (line_end == n) break;
            i = line_end;
            if (ends_event(m, block[i++])) m.head = 0;
            continue;
        }
        char c = block[i++];
        if (c == '\n' || c == '\r') {
            if (ends_event(m, c)) m.head = 0;
            else if (m.head != 0) m.head = head_decided;  // the first line was no error's
            continue;
        }
        ends_event(m, c);
        if (read_head(m, c)) {
            // An error event: what came before goes on, the rest is masked.
            if (!send(ctx, sub_span(block, pass_from, i - pass_from))) return false;
            pass_from = i;
            masked_restart(m.masking);
            m.in_error = true;
        }
    }
    if (pass_from < n && !send(ctx, tail_span(block, pass_from))) return false;
    return true;
}

bool event_mask_end(event_mask& m, mask_sink send, void* ctx) {
    if (!m.in_error) return true;
    masked_end(m.masking, m.out);
    m.in_error = false;
    return send_out(m, send, ctx);
}
