#include "text/json_read.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <system_error>

#include "text/bounded.hpp"
#include "text/json_scan.hpp"
#include "text/span.hpp"
#include "text/utf8.hpp"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decodes one character of string content at raw[i] into `out`; returns
// its byte count and moves i past it. Content json_read checked has only
// whole escapes; anything else (a cut or broken escape) decodes to U+FFFD
// or to itself, never reading past the end.
size_t decode_one(std::string_view raw, size_t& i, char* out) {
    char c = raw[i];
    if (c != '\\' || i + 1 >= raw.size()) {
        out[0] = c;
        ++i;
        return 1;
    }
    char e = raw[i + 1];
    i += 2;
    switch (e) {
        case 'b': out[0] = '\b'; return 1;
        case 'f': out[0] = '\f'; return 1;
        case 'n': out[0] = '\n'; return 1;
        case 'r': out[0] = '\r'; return 1;
        case 't': out[0] = '\t'; return 1;
        case 'u': break;
        default: out[0] = e; return 1;  // " \ /
    }
    long cp = hex4(raw, i);
    if (cp < 0) return put_utf8(out, 0xfffd);
    i += 4;
    if (cp >= 0xd800 && cp <= 0xdbff) {
        long low = i + 1 < raw.size() && raw[i] == '\\' && raw[i + 1] == 'u' ? hex4(raw, i + 2) : -1;
        if (low < 0xdc00 || low > 0xdfff) return put_utf8(out, 0xfffd);
        i += 6;
        cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
    } else if (cp >= 0xdc00 && cp <= 0xdfff) {
        cp = 0xfffd;
    }
    return put_utf8(out, cp);
}

json_kind kind_at(char c) {
    switch (c) {
        case '{': return json_kind::object;
        case '[': return json_kind::array;
        case '"': return json_kind::string;
        case 'n': return json_kind::null;
        case 't': case 'f': return json_kind::boolean;
        case '-': return json_kind::number;
        default: return c >= '0' && c <= '9' ? json_kind::number : json_kind::missing;
    }
}

// A key of the object being checked: where its raw text lies. Offsets
// (not pointers) keep the record small; documents are limited to 4 GiB.
struct key_ref {
    uint32_t at;
    uint32_t len;
    bool escaped;
};

// Orders keys by their decoded bytes, so equal keys end up side by side.
struct key_order {
    std::string_view text;
    int compare(const key_ref& a, const key_ref& b) const {
        std::string_view ra = sub_span(text, a.at, a.len), rb = sub_span(text, b.at, b.len);
        if (!a.escaped && !b.escaped) return ra.compare(rb);
        size_t i = 0, j = 0;
        char ca[4], cb[4];
        size_t na = 0, nb = 0, ka = 0, kb = 0;  // decoded bytes held and used
        for (;;) {
            if (ka == na) {
                if (i >= ra.size()) break;
                na = decode_one(ra, i, ca), ka = 0;
            }
            if (kb == nb) {
                if (j >= rb.size()) return 1;
                nb = decode_one(rb, j, cb), kb = 0;
            }
            unsigned char x = static_cast<unsigned char>(ca[ka++]), y = static_cast<unsigned char>(cb[kb++]);
            if (x != y) return x < y ? -1 : 1;
        }
        return (kb == nb && j >= rb.size()) ? 0 : -1;
    }
    bool operator()(const key_ref& a, const key_ref& b) const { return compare(a, b) < 0; }
};

struct level {
    bool object;
    uint32_t index;      // arrays: the element being read
    uint32_t key_at;     // objects: the member being read
    uint32_t key_len;
    size_t first_key;    // objects: its first record in the key list
};

class checker {
public:
    explicit checker(std::string_view s) : s_(s) {}

    json_doc run() {
        json_doc doc;
        if (s_.size() > UINT32_MAX) return fail(doc, "document too large", 0);
        i_ = skip(0);
        size_t start = i_;
        enum { value, key, after } step = value;
        for (;;) {
            if (step == value) {
                i_ = skip(i_);
                if (i_ >= s_.size()) return fail(doc, "a value is missing", i_);
                char c = s_[i_];
                if (c == '{' || c == '[') {
                    if (depth_ == json_max_depth) return fail(doc, "nested too deep", i_);
                    bool object = c == '{';
                    stack_[depth_++] = level{object, 0, 0, 0, key_count()};
                    i_ = skip(i_ + 1);
                    char close = object ? '}' : ']';
                    if (i_ < s_.size() && s_[i_] == close) {
                        --depth_;
                        ++i_;
                        step = after;
                    } else {
                        step = object ? key : value;
                    }
                    continue;
                }
                const char* what = scalar();
                if (what) return fail(doc, what, i_);
                step = after;
            } else if (step == key) {
                i_ = skip(i_);
                if (i_ >= s_.size() || s_[i_] != '"') return fail(doc, "a member name is missing", i_);
                size_t open = i_;
                bool escaped = false;
                const char* what = string(escaped);
                if (what) return fail(doc, what, i_);
                level& top = stack_[depth_ - 1];
                top.key_at = static_cast<uint32_t>(open + 1);
                top.key_len = static_cast<uint32_t>(i_ - open - 2);
                key_ref ref{top.key_at, top.key_len, escaped};
                if (!buf_put(keys_, &ref, sizeof ref)) return fail(doc, "out of memory", open);
                i_ = skip(i_);
                if (i_ >= s_.size() || s_[i_] != ':') return fail(doc, "a colon is missing", i_);
                ++i_;
                step = value;
            } else {
                if (depth_ == 0) break;
                i_ = skip(i_);
                level& top = stack_[depth_ - 1];
                char c = i_ < s_.size() ? s_[i_] : '\0';
                if (c == ',') {
                    ++i_;
                    if (top.object) {
                        step = key;
                    } else {
                        ++top.index;
                        step = value;
                    }
                } else if (c == (top.object ? '}' : ']')) {
                    if (top.object) {
                        const key_ref* repeat = repeated_key(top.first_key);
                        if (repeat) {
                            top.key_at = repeat->at, top.key_len = repeat->len;
                            return fail(doc, "a member name occurs twice", repeat->at - 1);
                        }
                    }
                    --depth_;
                    ++i_;
                } else {
                    return fail(doc, top.object ? "a comma or } is missing" : "a comma or ] is missing", i_);
                }
            }
        }
        size_t end = i_;
        if (skip(i_) != s_.size()) return fail(doc, "bytes follow the value", skip(i_));
        doc.root = {kind_at(s_[start]), sub_span(s_, start, end - start)};
        return doc;
    }

private:
    size_t skip(size_t i) const {
        while (i < s_.size() && json_is_ws(s_[i])) ++i;
        return i;
    }

    size_t key_count() const { return keys_.len / sizeof(key_ref); }

    // Sorts the keys of the object that just closed and looks for two equal
    // neighbours; returns the later of them, or null. The records are
    // dropped afterwards, so each key is sorted once.
    const key_ref* repeated_key(size_t first) {
        key_ref* all = reinterpret_cast<key_ref*>(keys_.data);
        size_t count = key_count();
        keys_.len = first * sizeof(key_ref);
        if (count - first < 2) return nullptr;
        key_order order{s_};
        std::sort(all + first, all + count, order);
        for (size_t k = first + 1; k < count; ++k)
            if (order.compare(all[k - 1], all[k]) == 0) return all[k - 1].at > all[k].at ? &all[k - 1] : &all[k];
        return nullptr;
    }

    // A string, number or literal at i_; moves past it. Null or the fault.
    const char* scalar() {
        char c = s_[i_];
        if (c == '"') {
            bool escaped;
            return string(escaped);
        }
        for (std::string_view word : {"true", "false", "null"}) {
            if (c == word[0]) {
                if (sub_span(s_, i_, word.size()) != word) return "not a JSON value";
                i_ += word.size();
                return nullptr;
            }
        }
        return number();
    }

    const char* number() {
        size_t start = i_;
        if (s_[i_] == '-') ++i_;
        if (i_ >= s_.size() || !is_digit(s_[i_])) return "not a JSON value";
        size_t digits = i_;
        if (s_[i_] == '0') {
            ++i_;
            if (i_ < s_.size() && is_digit(s_[i_])) return "a number has a leading zero";
        } else {
            while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
        }
        size_t integer_end = i_;
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (i_ >= s_.size() || !is_digit(s_[i_])) return "a number has no digits after its point";
            while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
        }
        size_t digits_end = i_;
        long long exponent = 0;
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            bool negative = i_ < s_.size() && s_[i_] == '-';
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (i_ >= s_.size() || !is_digit(s_[i_])) return "a number has no digits in its exponent";
            for (; i_ < s_.size() && is_digit(s_[i_]); ++i_)
                if (exponent < 1000000) exponent = exponent * 10 + (s_[i_] - '0');
            if (negative) exponent = -exponent;
        }
        if (!fits_double(start, digits, integer_end, digits_end, exponent)) {
            i_ = start;
            return "a number beyond the largest double";
        }
        return nullptr;
    }

    // Whether a checked number's magnitude stays within the largest double
    // (one too small for a double rounds to zero, as every reader does).
    bool fits_double(size_t start, size_t digits, size_t integer_end, size_t digits_end, long long exponent) const {
        // The power of ten of the first significant digit.
        long long power;
        if (s_[digits] != '0') {
            power = static_cast<long long>(integer_end - digits) - 1;
        } else {
            size_t k = integer_end + 1;  // the fraction's digits, if any
            while (k < digits_end && s_[k] == '0') ++k;
            if (k >= digits_end) return true;  // zero
            power = -static_cast<long long>(k - integer_end);
        }
        power += exponent;
        if (power != 308) return power < 308;
        double value;
        auto [end, ec] = std::from_chars(s_.data() + start, s_.data() + i_, value);
        return ec != std::errc::result_out_of_range;
    }

    // The string whose quote is at i_; moves past its closing quote.
    const char* string(bool& escaped) {
        escaped = false;
        size_t i = i_ + 1;
        const size_t n = s_.size();
        for (;;) {
            // Plain ASCII is the bulk of every string (base64 data above all):
            // eight bytes a step while none is a control byte, non-ASCII, a
            // quote or a backslash.
            constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
            while (i + 8 <= n) {
                uint64_t w;
                std::memcpy(&w, s_.data() + i, 8);
                uint64_t quote = w ^ (ones * '"'), slash = w ^ (ones * '\\');
                uint64_t special = (w | ((w - ones * 0x20) & ~w) | ((quote - ones) & ~quote) | ((slash - ones) & ~slash));
                if (special & highs) break;
                i += 8;
            }
            while (i < n) {
                unsigned char c = static_cast<unsigned char>(s_[i]);
                if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
                ++i;
            }
            if (i >= n) return i_ = i, "a string is not closed";
            unsigned char c = static_cast<unsigned char>(s_[i]);
            if (c == '"') {
                i_ = i + 1;
                return nullptr;
            }
            if (c < 0x20) return i_ = i, "a raw control character in a string";
            if (c >= 0x80) {
                size_t len = utf8_sequence(s_, i);
                if (!len) return i_ = i, "not UTF-8";
                i += len;
                continue;
            }
            escaped = true;
            if (i + 1 >= n) return i_ = i, "a string is not closed";
            char e = s_[i + 1];
            if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
                i += 2;
                continue;
            }
            if (e != 'u') return i_ = i, "an unknown escape";
            long cp = hex4(s_, i + 2);
            if (cp < 0) return i_ = i, "a broken \\u escape";
            if (cp >= 0xdc00 && cp <= 0xdfff) return i_ = i, "a lone surrogate escape";
            if (cp >= 0xd800 && cp <= 0xdbff) {
                long low = (i + 7 < n && s_[i + 6] == '\\' && s_[i + 7] == 'u') ? hex4(s_, i + 8) : -1;
                if (low < 0xdc00 || low > 0xdfff) return i_ = i, "a lone surrogate escape";
                i += 6;
            }
            i += 6;
        }
    }

    json_doc& fail(json_doc& doc, const char* what, size_t at) {
        doc.error.what = what;
        doc.error.at = at;
        size_t used = 0;
        char* p = doc.error.path;
        size_t cap = sizeof doc.error.path;
        for (int d = 0; d < depth_ && used < cap - 1; ++d) {
            const level& l = stack_[d];
            if (l.object) {
                if (l.key_len == 0 && l.key_at == 0) break;  // no member reached yet
                if (d) used += bformat_at(p + used, cap - used, ".");
                // As the key decodes: "str\u0065am" is the key stream to the caller too.
                used += json_put_error_name(p + used, cap - used, sub_span(s_, l.key_at, l.key_len));
            } else {
                used += bformat_at(p + used, cap - used, "[%u]", l.index);
            }
        }
        return doc;
    }

    std::string_view s_;
    size_t i_ = 0;
    int depth_ = 0;
    level stack_[json_max_depth];
    buf keys_;  // key_ref records of the objects open now
};

// The value at the front of `rest` (white space skipped); moves past it and
// its comma. At the end, or at anything that is not a whole value followed
// by a comma or the end, the walk stops: a missing value, and rest emptied.
json_value take_value(std::string_view& rest) {
    size_t at = json_skip_ws(rest, 0);
    size_t end = json_value_end(rest, at);
    json_kind kind = at < rest.size() ? kind_at(rest[at]) : json_kind::missing;
    if (end == json_npos || kind == json_kind::missing) {
        rest = {};
        return {};
    }
    json_value v{kind, sub_span(rest, at, end - at)};
    size_t next = json_skip_ws(rest, end);
    if (next < rest.size() && rest[next] == ',') {
        drop_prefix(rest, next + 1);
    } else {
        rest = {};  // the last element, or a fault after it
    }
    return v;
}

// The text between a container's brackets, or empty when `v` is not one of
// `kind` as written.
std::string_view inside(json_value v, json_kind kind, char open, char close) {
    std::string_view t = v.text;
    if (!v.is(kind) || t.size() < 2 || t.front() != open || t.back() != close) return {};
    return sub_span(t, 1, t.size() - 2);
}

}  // namespace

json_doc json_read(std::string_view text) {
    checker check(text);
    return check.run();
}

json_array_cursor json_walk_array(json_value array) { return {inside(array, json_kind::array, '[', ']')}; }

json_object_cursor json_walk_object(json_value object) { return {inside(object, json_kind::object, '{', '}')}; }

bool json_next(json_array_cursor& c, json_value& element) {
    element = take_value(c.rest);
    return element.kind != json_kind::missing;
}

bool json_next(json_object_cursor& c, std::string_view& key_raw, json_value& value) {
    size_t at = json_skip_ws(c.rest, 0);
    size_t key_end = at < c.rest.size() && c.rest[at] == '"' ? json_string_end(c.rest, at) : json_npos;
    size_t colon = key_end == json_npos ? json_npos : json_skip_ws(c.rest, key_end);
    if (colon >= c.rest.size() || c.rest[colon] != ':') {
        c.rest = {};
        return false;
    }
    key_raw = sub_span(c.rest, at + 1, key_end - at - 2);
    drop_prefix(c.rest, colon + 1);
    value = take_value(c.rest);
    return value.kind != json_kind::missing;
}

json_value json_get(json_value object, std::string_view key) {
    json_object_cursor c = json_walk_object(object);
    std::string_view name;
    json_value v;
    while (json_next(c, name, v))
        if (json_key_is(name, key)) return v;
    return {};
}

void json_get_members(json_value object, const std::string_view* names, json_value* out, size_t count) {
    for (size_t k = 0; k < count; ++k) out[k] = {};
    json_object_cursor c = json_walk_object(object);
    std::string_view name;
    json_value v;
    while (json_next(c, name, v))
        for (size_t k = 0; k < count; ++k)
            if (json_key_is(name, names[k])) out[k] = v;
}

std::string_view json_raw(json_value string) {
    std::string_view t = string.text;
    if (!string.is(json_kind::string) || t.size() < 2 || t.front() != '"' || t.back() != '"') return {};
    return sub_span(t, 1, t.size() - 2);
}

void json_decode(std::string_view raw, buf& out) {
    if (raw.find('\\') == std::string_view::npos) {
        buf_put(out, raw);
        return;
    }
    if (!buf_reserve(out, raw.size())) return;  // decoding never lengthens
    size_t i = 0;
    while (i < raw.size()) {
        const char* slash = static_cast<const char*>(std::memchr(raw.data() + i, '\\', raw.size() - i));
        size_t run_end = slash ? static_cast<size_t>(slash - raw.data()) : raw.size();
        buf_put(out, raw.data() + i, run_end - i);
        i = run_end;
        if (i >= raw.size()) break;
        char bytes[4];
        size_t n = decode_one(raw, i, bytes);
        buf_put(out, bytes, n);
    }
}

size_t json_put_error_name(char* out, size_t cap, std::string_view raw) {
    if (cap == 0) return 0;
    size_t used = 0;
    for (size_t i = 0; i < raw.size();) {
        char bytes[4];
        size_t n;
        unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c >= 0x80) {
            n = utf8_sequence(raw, i);
            if (n == 0) n = 1;  // written as \xHH below
            for (size_t k = 0; k < n; ++k) bytes[k] = raw[i + k];
            i += n;
        } else {
            n = decode_one(raw, i, bytes);
        }
        char shown[24];
        size_t len = 0;
        bool whole = n > 1 || static_cast<unsigned char>(bytes[0]) < 0x80;  // a character, not a stray byte
        for (size_t k = 0; k < n; ++k) {
            unsigned char b = static_cast<unsigned char>(bytes[k]);
            if (b == '"' || b == '\\')
                len += bformat_at(shown + len, sizeof shown - len, "\\%c", b);
            else if (b < 0x20 || b == 0x7f || !whole)
                len += bformat_at(shown + len, sizeof shown - len, "\\x%02X", b);
            else
                shown[len++] = static_cast<char>(b);
        }
        if (used + len >= cap) break;
        for (size_t k = 0; k < len; ++k) out[used++] = shown[k];
    }
    out[used] = '\0';
    return used;
}

bool json_equals(json_value string, std::string_view text) {
    return string.is(json_kind::string) && json_key_is(json_raw(string), text);
}

long long json_uint(json_value number) {
    if (!number.is(json_kind::number)) return -1;
    return json_uint_at(number.text, 0, number.text.size());
}
