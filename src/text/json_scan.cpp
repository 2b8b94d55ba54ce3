#include "text/json_scan.hpp"

#include <cstring>

#include "text/utf8.hpp"

namespace {


// Ends of numbers and the literals true/false/null: the first byte that
// cannot continue such a token.
bool is_scalar_byte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '-' || c == '+' || c == '.' ||
           c == 'E';
}

}  // namespace

size_t json_skip_ws(std::string_view s, size_t pos) {
    while (pos < s.size() && json_is_ws(s[pos])) ++pos;
    return pos;
}

size_t json_string_end(std::string_view s, size_t pos) {
    // Jumps from quote to quote with memchr (message texts are the bulk of
    // a chat body); a quote preceded by an odd run of backslashes is escaped.
    const char* base = s.data();
    size_t i = pos + 1;
    while (i < s.size()) {
        const void* hit = std::memchr(base + i, '"', s.size() - i);
        if (!hit) return json_npos;
        size_t q = static_cast<size_t>(static_cast<const char*>(hit) - base);
        size_t backslashes = 0;
        while (q - backslashes > pos + 1 && base[q - backslashes - 1] == '\\') ++backslashes;
        if (backslashes % 2 == 0) return q + 1;
        i = q + 1;
    }
    return json_npos;
}

size_t find_array_end(std::string_view s, size_t pos) {
    if (pos >= s.size() || s[pos] != '[') return json_npos;
    size_t end = json_value_end(s, pos);
    return end == json_npos ? json_npos : end - 1;
}

size_t json_value_end(std::string_view s, size_t pos) {
    if (pos >= s.size()) return json_npos;
    char c = s[pos];
    if (c == '"') return json_string_end(s, pos);
    if (c == '[' || c == '{') {
        char close = c == '[' ? ']' : '}';
        int depth = 0;
        for (size_t i = pos; i < s.size(); ++i) {
            char d = s[i];
            if (d == '"') {
                size_t end = json_string_end(s, i);
                if (end == json_npos) return json_npos;
                i = end - 1;
            } else if (d == '[' || d == '{') {
                ++depth;
            } else if (d == ']' || d == '}') {
                if (--depth == 0) return d == close ? i + 1 : json_npos;
            }
        }
        return json_npos;
    }
    size_t i = pos;
    while (i < s.size() && is_scalar_byte(s[i])) ++i;
    if (i == pos) return json_npos;
    return i;
}

namespace {

void object_members(std::string_view s, size_t obj_pos, const std::string_view* keys, json_member* out,
                    size_t count) {
    for (size_t k = 0; k < count; ++k) out[k] = json_member{};
    if (obj_pos >= s.size() || s[obj_pos] != '{') return;
    size_t i = json_skip_ws(s, obj_pos + 1);
    if (i < s.size() && s[i] == '}') return;
    while (i < s.size()) {
        if (s[i] != '"') return;
        size_t key_end = json_string_end(s, i);
        if (key_end == json_npos) return;
        std::string_view name = sub_span(s, i + 1, key_end - i - 2);
        size_t colon = json_skip_ws(s, key_end);
        if (colon >= s.size() || s[colon] != ':') return;
        size_t value_pos = json_skip_ws(s, colon + 1);
        if (value_pos >= s.size()) return;
        size_t value_end = json_value_end(s, value_pos);
        for (size_t k = 0; k < count; ++k) {
            if (json_key_is(name, keys[k])) out[k] = json_member{true, out[k].found, i, value_pos, value_end};
        }
        if (value_end == json_npos) return;
        i = json_skip_ws(s, value_end);
        if (i >= s.size() || s[i] != ',') return;  // "}" ends the object, anything else is a fault
        i = json_skip_ws(s, i + 1);
    }
}

}  // namespace

json_member json_object_member(std::string_view s, size_t obj_pos, std::string_view key) {
    json_member found;
    object_members(s, obj_pos, &key, &found, 1);
    return found;
}

json_member json_top_member(std::string_view s, std::string_view key) {
    return json_object_member(s, json_skip_ws(s, 0), key);
}

void json_top_members(std::string_view s, const std::string_view* keys, json_member* out, size_t count) {
    object_members(s, json_skip_ws(s, 0), keys, out, count);
}

size_t json_array_first(std::string_view s, size_t arr_pos) {
    if (arr_pos >= s.size() || s[arr_pos] != '[') return json_npos;
    size_t i = json_skip_ws(s, arr_pos + 1);
    if (i >= s.size() || s[i] == ']') return json_npos;
    return i;
}

json_raw_string json_string_at(std::string_view s, size_t pos) {
    json_raw_string out;
    if (pos >= s.size() || s[pos] != '"') return out;
    size_t end = json_string_end(s, pos);
    if (end == json_npos) return out;
    out.ok = true;
    out.raw = sub_span(s, pos + 1, end - pos - 2);
    return out;
}

json_raw_string json_first_string_member(std::string_view s, std::string_view key) {
    // A string followed by a colon is a key; anything else is passed over.
    // One pass over the text, so the cost stays linear in its length.
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '"') continue;
        size_t end = json_string_end(s, i);
        if (end == json_npos) break;
        std::string_view name = sub_span(s, i + 1, end - i - 2);
        size_t colon = json_skip_ws(s, end);
        if (colon < s.size() && s[colon] == ':' && name == key) {
            json_raw_string value = json_string_at(s, json_skip_ws(s, colon + 1));
            if (value.ok) return value;
        }
        i = end - 1;
    }
    return {};
}

long long json_uint_at(std::string_view s, size_t pos, size_t end) {
    if (pos >= end || end > s.size()) return -1;
    long long v = 0;
    for (size_t i = pos; i < end; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        if (v > (1LL << 53)) return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

bool json_key_is(std::string_view raw, std::string_view name) {
    if (raw.find('\\') == std::string_view::npos) return raw == name;
    size_t matched = 0;  // bytes of `name` matched so far
    for (size_t i = 0; i < raw.size();) {
        char bytes[4];
        size_t n = 1;
        if (raw[i] != '\\') {
            bytes[0] = raw[i++];
        } else {
            if (i + 1 >= raw.size()) return false;
            char e = raw[i + 1];
            i += 2;
            switch (e) {
                case '"': case '\\': case '/': bytes[0] = e; break;
                case 'b': bytes[0] = '\b'; break;
                case 'f': bytes[0] = '\f'; break;
                case 'n': bytes[0] = '\n'; break;
                case 'r': bytes[0] = '\r'; break;
                case 't': bytes[0] = '\t'; break;
                case 'u': {
                    if (i + 4 > raw.size()) return false;
                    long cp = hex4(raw, i);
                    if (cp < 0) return false;
                    i += 4;
                    if (cp >= 0xd800 && cp <= 0xdbff) {
                        // A pair spells one code point beyond the first plane.
                        if (i + 6 > raw.size() || raw[i] != '\\' || raw[i + 1] != 'u') return false;
                        long low = hex4(raw, i + 2);
                        if (low < 0xdc00 || low > 0xdfff) return false;
                        i += 6;
                        cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                    } else if (cp >= 0xdc00 && cp <= 0xdfff) {
                        return false;  // a lone low surrogate spells no text we look for
                    }
                    n = put_utf8(bytes, cp);
                    break;
                }
                default: return false;  // not JSON; no reader takes it as any key
            }
        }
        if (matched + n > name.size() || sub_span(name, matched, n) != std::string_view(bytes, n)) return false;
        matched += n;
    }
    return matched == name.size();
}

namespace {

// Appends `text` as JSON string content. With `keep_escapes` the text is
// another party's string content: a backslash that starts one of JSON's own
// escapes is kept with it (a lone surrogate escape becomes \ufffd); any
// other backslash is text and is escaped.
template <bool keep_escapes>
void put_escaped(buf& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    size_t run = 0;  // start of the pending run that is copied as it is
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (keep_escapes && c == '\\') {
            char e = i + 1 < text.size() ? text[i + 1] : '\0';
            if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
                i += 2;
                continue;
            }
            long cp = e == 'u' ? hex4(text, i + 2) : -1;
            if (cp >= 0 && (cp < 0xd800 || cp > 0xdfff)) {
                i += 6;
                continue;
            }
            if (cp >= 0xd800 && cp <= 0xdbff && i + 12 <= text.size() && text[i + 6] == '\\' &&
                text[i + 7] == 'u' && hex4(text, i + 8) >= 0xdc00 && hex4(text, i + 8) <= 0xdfff) {
                i += 12;  // a whole surrogate pair
                continue;
            }
            if (cp >= 0) {  // half a pair spells no character: strict readers refuse it
                if (i > run) buf_put(out, text.data() + run, i - run);
                buf_put(out, "\\ufffd");
                i += 6;
                run = i;
                continue;
            }
            // A broken escape: the backslash becomes text; what followed it
            // is looked at on its own.
        }
        if (c >= 0x80) {
            size_t n = utf8_sequence(text, i);
            if (n) {
                i += n;
                continue;
            }
        }
        if (i > run) buf_put(out, text.data() + run, i - run);
        if (c >= 0x80) {
            buf_put(out, utf8_replacement);
        } else if (c == '"') {
            buf_put(out, "\\\"");
        } else if (c == '\\') {
            buf_put(out, "\\\\");
        } else if (c == '\n') {
            buf_put(out, "\\n");
        } else if (c == '\r') {
            buf_put(out, "\\r");
        } else if (c == '\t') {
            buf_put(out, "\\t");
        } else {
            char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            buf_put(out, u, 6);
        }
        run = ++i;
    }
    if (i > run) buf_put(out, text.data() + run, i - run);
}

}  // namespace

void json_escape(buf& b, std::string_view text) { put_escaped<false>(b, text); }

void json_put_string_content(buf& out, std::string_view raw) { put_escaped<true>(out, raw); }
