#include "text/key_mask.hpp"

#include <algorithm>
#include <cstring>

#include "text/span.hpp"
#include "text/utf8.hpp"

namespace {

constexpr size_t npos = std::string_view::npos;

// Readings below the raw bytes: a JSON text, a document quoted in one of its
// strings, and one quoted in that.
constexpr int deepest_reading = 3;

// A run with no byte outside the keys' alphabet (no line end, no blank)
// longer than this is masked in windows rather than held whole, so memory
// stays bounded; a window keeps this many bytes per byte of the longest key
// for the next one, more than any spelling up to the deepest reading takes.
constexpr size_t held_run_max = 256 * 1024;
constexpr size_t window_overlap_per_key_byte = 64;

struct raw_range {
    uint32_t begin, end;
};

unsigned char byte_of(char c) { return static_cast<unsigned char>(c); }

// The first place of `p` in `text` at or after `from` (Horspool).
size_t find_key(std::string_view text, size_t from, const mask_keys::prepared& p) {
    std::string_view key = p.text;
    size_t n = key.size();
    if (from > text.size() || text.size() - from < n) return npos;
    if (n == 1) {
        const void* hit = std::memchr(text.data() + from, key[0], text.size() - from);
        return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : npos;
    }
    size_t last = n - 1;
    for (size_t i = from; i + n <= text.size(); i += p.skip[byte_of(text[i + last])]) {
        if (text[i + last] == key[last] && text[i] == key[0] && std::memcmp(text.data() + i, key.data(), last) == 0)
            return i;
    }
    return npos;
}

// One reading of a run: its bytes and, per byte, the raw bytes it was read
// from (null: the raw bytes themselves).
struct reading {
    std::string_view bytes;
    const raw_range* units = nullptr;
    raw_range unit(size_t i) const {
        return units ? units[i] : raw_range{static_cast<uint32_t>(i), static_cast<uint32_t>(i + 1)};
    }
};

// The next reading down: every escape read as a JSON reader reads it,
// strings or not. A reading is never longer than the one it comes from.
bool read_deeper(const reading& in, buf& bytes, buf& units) {
    std::string_view s = in.bytes;
    bytes.len = units.len = 0;
    if (!buf_reserve(bytes, s.size() + 1) || !buf_reserve(units, (s.size() + 1) * sizeof(raw_range))) return false;
    char* out = bytes.data;
    auto* out_units = reinterpret_cast<raw_range*>(units.data);
    size_t n = 0;
    auto put = [&](const char* p, size_t len, raw_range r) {
        for (size_t k = 0; k < len; ++k) {
            out[n] = p[k];
            out_units[n++] = r;
        }
    };
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c != '\\' || i + 1 >= s.size()) {
            put(&c, 1, in.unit(i));
            ++i;
            continue;
        }
        char e = s[i + 1];
        long cp = e == 'u' ? hex4(s, i + 2) : -1;
        if (cp < 0) {
            // A short escape; one JSON lacks reads as its letter, as lenient readers take it.
            char one = e == 'b' ? '\b' : e == 'f' ? '\f' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
            put(&one, 1, {in.unit(i).begin, in.unit(i + 1).end});
            i += 2;
            continue;
        }
        raw_range r{in.unit(i).begin, in.unit(i + 5).end};
        i += 6;
        if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < s.size() && s[i] == '\\' && s[i + 1] == 'u') {
            long low = hex4(s, i + 2);
            if (low >= 0xdc00 && low <= 0xdfff) {
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                r.end = in.unit(i + 5).end;
                i += 6;
            }
        }
        if (cp >= 0xd800 && cp <= 0xdfff) cp = 0xfffd;  // half a pair spells nothing
        char u8[4];
        put(u8, put_utf8(u8, cp), r);
    }
    bytes.len = n;
    units.len = n * sizeof(raw_range);
    return true;
}

raw_range* ranges_of(key_masker& m) { return reinterpret_cast<raw_range*>(m.ranges.data); }
size_t range_count(const key_masker& m) { return m.ranges.len / sizeof(raw_range); }

// Every place of every key in one reading, as raw ranges.
void collect_hits(key_masker& m, const reading& r) {
    const mask_keys& k = *m.keys;
    for (size_t j = 0; j < k.count; ++j) {
        size_t n = k.key[j].text.size();
        for (size_t at = find_key(r.bytes, 0, k.key[j]); at != npos; at = find_key(r.bytes, at + n, k.key[j])) {
            raw_range hit{r.unit(at).begin, r.unit(at + n - 1).end};
            buf_put(m.ranges, &hit, sizeof hit);
        }
    }
}

// The start of the unit of the deepest reading that holds raw byte `at`.
uint32_t unit_start(const reading& deepest, uint32_t at) {
    if (!deepest.units) return at;
    const raw_range* first = deepest.units;
    const raw_range* last = first + deepest.bytes.size();
    const raw_range* u = std::upper_bound(first, last, at, [](uint32_t v, const raw_range& r) { return v < r.begin; });
    return u == first ? at : (u - 1)->begin;
}
uint32_t unit_end(const reading& deepest, uint32_t at_end) {
    if (!deepest.units || at_end == 0) return at_end;
    const raw_range* first = deepest.units;
    const raw_range* last = first + deepest.bytes.size();
    const raw_range* u =
        std::upper_bound(first, last, at_end - 1, [](uint32_t v, const raw_range& r) { return v < r.begin; });
    return u == first ? at_end : (u - 1)->end;
}

// The ranges of one run to mask, widened to whole escapes of every reading,
// sorted and merged. Returns the deepest reading, whose units say where a
// window may end. False when memory ran out.
bool find_ranges(key_masker& m, std::string_view run, reading& deepest) {
    m.ranges.len = 0;
    reading r{run, nullptr};
    collect_hits(m, r);
    for (int level = 0; level < deepest_reading && std::memchr(r.bytes.data(), '\\', r.bytes.size()); ++level) {
        if (!read_deeper(r, m.level_bytes[level], m.level_units[level])) return false;
        r = {m.level_bytes[level].view(), reinterpret_cast<const raw_range*>(m.level_units[level].data)};
        collect_hits(m, r);
    }
    deepest = r;
    if (m.ranges.failed) return false;
    raw_range* hits = ranges_of(m);
    size_t count = range_count(m);
    for (size_t i = 0; i < count; ++i) hits[i] = {unit_start(r, hits[i].begin), unit_end(r, hits[i].end)};
    std::sort(hits, hits + count, [](const raw_range& a, const raw_range& b) { return a.begin < b.begin; });
    size_t merged = 0;
    for (size_t i = 0; i < count; ++i) {
        if (merged && hits[i].begin <= hits[merged - 1].end) {
            hits[merged - 1].end = std::max(hits[merged - 1].end, hits[i].end);
        } else {
            hits[merged++] = hits[i];
        }
    }
    m.ranges.len = merged * sizeof(raw_range);
    return true;
}

void add_found(key_masker& m, size_t begin, size_t end) {
    raw_range r{static_cast<uint32_t>(begin), static_cast<uint32_t>(end)};
    buf_put(m.found, &r, sizeof r);
}
const raw_range* found_at(const key_masker& m) { return reinterpret_cast<const raw_range*>(m.found.data); }
size_t found_count(const key_masker& m) { return m.found.len / sizeof(raw_range); }

// The ranges of one run (at `offset` in the text at hand) to mask; with
// `complete` false the run goes on past its end, and only what no later byte
// can change counts. Returns how much of the run was dealt with.
size_t mask_run(key_masker& m, std::string_view run, size_t offset, bool complete) {
    reading deepest;
    if (!find_ranges(m, run, deepest)) {
        m.found.failed = true;  // never let unmasked bytes through
        return run.size();
    }
    size_t cut = run.size();
    if (!complete) {
        size_t keep = window_overlap_per_key_byte * m.keys->longest + 256;
        cut = run.size() > 2 * keep ? run.size() - keep : run.size() / 2;
        cut = unit_start(deepest, static_cast<uint32_t>(cut));
        for (size_t i = 0; i < range_count(m); ++i) {
            const raw_range& h = ranges_of(m)[i];
            if (h.begin < cut && h.end > cut) cut = h.begin;
        }
        if (cut == 0) cut = run.size();  // a run that is one spelling: no window can split it
    }
    for (size_t i = 0; i < range_count(m); ++i) {
        const raw_range& h = ranges_of(m)[i];
        if (h.end <= cut) add_found(m, offset + h.begin, offset + h.end);
    }
    return cut;
}

bool in_alphabet(const mask_keys& k, char c) { return k.alphabet[byte_of(c)]; }

// The ranges to mask in `text`, each run read to the text's end. Every
// spelling is at least `shortest` bytes of the alphabet, so it covers one of
// the bytes looked at every `shortest` bytes: text between two such bytes
// outside the alphabet is passed over unread. Around one inside it, the
// stretch up to the next ones outside is read whole (bytes outside the
// alphabet in it decode to nothing a key holds, so no spelling spans them).
void find_in_region(key_masker& m, std::string_view text) {
    const mask_keys& k = *m.keys;
    size_t step = k.shortest, n = text.size();
    size_t pos = 0;  // a place no spelling spans
    while (step && n - pos >= step) {
        size_t probe = pos + step - 1;
        if (!in_alphabet(k, text[probe])) {
            pos = probe + 1;
            continue;
        }
        size_t start = probe;
        while (start > pos && in_alphabet(k, text[start - 1])) --start;
        size_t last = probe;
        while (n - last > step && in_alphabet(k, text[last + step])) last += step;
        size_t end = last + 1;
        while (end < n && in_alphabet(k, text[end])) ++end;
        if (end - start >= step) mask_run(m, sub_span(text, start, end - start), start, true);
        pos = end;
    }
}

// Where the bytes of `text` that may still be part of a spelling the next
// block completes begin. A text that ends outside every run has none. One
// that ends in a long run without a backslash near its end keeps only a
// key's length less one: the next block can only complete a spelling whose
// bytes here are a key's first bytes as they are, and no escape spans the
// place (every escape has a backslash within its last six bytes). Else the
// whole last run waits, from its start. `open` says the last run goes on.
size_t held_from(const key_masker& m, std::string_view text, bool& open) {
    const mask_keys& k = *m.keys;
    size_t n = text.size();
    open = false;
    if (n == 0 || !in_alphabet(k, text[n - 1])) return n;
    size_t window = k.longest + 6;
    if (n > window) {
        bool plain_end = true;
        for (size_t i = n - window; i < n && plain_end; ++i) plain_end = in_alphabet(k, text[i]) && text[i] != '\\';
        if (plain_end) {
            open = true;
            return n - (k.longest - 1);
        }
    }
    size_t start = n;
    while (start > 0 && in_alphabet(k, text[start - 1])) --start;
    return start;
}

// Sends text[0, upto) with the found ranges that end by then masked: as the
// span it is when none does.
bool send_masked(key_masker& m, std::string_view text, size_t upto, mask_emit emit, void* ctx) {
    if (m.found.failed) return false;
    const raw_range* r = found_at(m);
    size_t count = found_count(m);
    size_t copied = 0;
    m.out.len = 0;
    for (size_t i = 0; i < count && r[i].end <= upto; ++i) {
        if (r[i].begin < copied) continue;  // found twice (a run read again): masked already
        buf_put(m.out, sub_span(text, copied, r[i].begin - copied));
        buf_put(m.out, key_mask);
        copied = r[i].end;
    }
    if (m.out.len == 0) return upto == 0 || emit(ctx, sub_span(text, 0, upto));
    buf_put(m.out, sub_span(text, copied, upto - copied));
    if (m.out.failed) return false;
    return emit(ctx, m.out.view());
}

// Masks the text at hand (a block, or the held bytes with the block after
// them), sends what is settled and keeps the rest. `complete`: the text ended.
bool mask_text(key_masker& m, std::string_view text, bool complete, mask_emit emit, void* ctx) {
    m.found.len = 0;
    bool open = false;
    size_t keep = complete ? text.size() : held_from(m, text, open);
    if (keep == 0 && text.size() > held_run_max) {
        keep = mask_run(m, text, 0, false);  // one run without end: masked in windows
    } else {
        find_in_region(m, sub_span(text, 0, open || complete ? text.size() : keep));
        // A spelling found across the place stays with what is kept.
        const raw_range* r = found_at(m);
        for (size_t i = found_count(m); i-- > 0;)
            if (r[i].begin < keep && r[i].end > keep) keep = r[i].begin;
    }
    bool ok = send_masked(m, text, keep, emit, ctx);
    std::string_view rest = tail_span(text, keep);
    if (m.held.len && rest.data() >= m.held.data && rest.data() < m.held.data + m.held.len) {
        std::memmove(m.held.data, rest.data(), rest.size());
        m.held.len = rest.size();
    } else {
        m.held.len = 0;
        buf_put(m.held, rest);
    }
    return ok && !m.held.failed;
}

}  // namespace

bool mask_keys_add(mask_keys& keys, std::string_view key) {
    if (key.size() < mask_key_min) return true;
    for (size_t j = 0; j < keys.count; ++j)
        if (keys.key[j].text == key) return true;
    if (keys.count == mask_keys_max) return false;
    mask_keys::prepared& p = keys.key[keys.count++];
    p.text = key;
    size_t n = key.size();
    uint16_t whole = static_cast<uint16_t>(std::min<size_t>(n, UINT16_MAX));
    for (uint16_t& s : p.skip) s = whole;
    for (size_t j = 0; j + 1 < n; ++j)
        p.skip[byte_of(key[j])] = static_cast<uint16_t>(std::min<size_t>(n - 1 - j, UINT16_MAX));
    keys.shortest = keys.count == 1 ? n : std::min(keys.shortest, n);
    keys.longest = std::max(keys.longest, n);
    for (char c : key) keys.alphabet[byte_of(c)] = true;
    for (char c : std::string_view("\\u0123456789abcdefABCDEF")) keys.alphabet[byte_of(c)] = true;
    return true;
}

bool mask_feed(key_masker& m, std::string_view block, mask_emit emit, void* ctx) {
    const mask_keys* k = m.keys;
    if (!k || k->count == 0) return block.empty() || emit(ctx, block);
    if (m.held.len == 0) return mask_text(m, block, false, emit, ctx);
    // The held bytes and the block as one text: a copy of the block is far
    // cheaper than a second send.
    buf_put(m.held, block);
    if (m.held.failed) return false;
    return mask_text(m, m.held.view(), false, emit, ctx);
}

bool mask_end(key_masker& m, mask_emit emit, void* ctx) {
    if (!m.keys || m.keys->count == 0 || m.held.len == 0) return true;
    return mask_text(m, m.held.view(), true, emit, ctx);
}

void put_masked(buf& out, std::string_view text, const mask_keys& keys) {
    key_masker m(&keys);
    mask_emit append = [](void* ctx, std::string_view bytes) {
        buf_put(*static_cast<buf*>(ctx), bytes);
        return true;
    };
    mask_feed(m, text, append, &out);
    mask_end(m, append, &out);
}
