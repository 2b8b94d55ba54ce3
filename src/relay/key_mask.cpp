#include "relay/key_mask.hpp"

namespace {

// The forms the key takes in a text: as it is, escaped, "/" escaped too.
struct key_forms {
    buf escaped;
    buf slashed;
    std::string_view form[3];
    size_t count = 0;
    size_t longest = 0;

    explicit key_forms(std::string_view key) {
        if (key.empty()) return;
        add(key);
        json_escape(escaped, key);
        add(escaped.view());
        for (char c : escaped.view()) {
            if (c == '/') buf_put(slashed, "\\/", 2);
            else buf_put(slashed, &c, 1);
        }
        add(slashed.view());
    }
    void add(std::string_view f) {
        for (size_t k = 0; k < count; ++k)
            if (form[k] == f) return;
        form[count++] = f;
        if (f.size() > longest) longest = f.size();
    }
};

// Masks `text` into `out`; returns how many bytes it consumed. Unless
// `final`, it stops short of the last longest-1 bytes where no occurrence
// starts, since one may start there and end in the next block.
size_t mask_run(buf& out, std::string_view text, const key_forms& k, bool final) {
    size_t i = 0;
    for (;;) {
        size_t best = std::string_view::npos, best_len = 0;
        for (size_t f = 0; f < k.count; ++f) {
            size_t at = text.find(k.form[f], i);
            if (at < best || (at == best && k.form[f].size() > best_len)) best = at, best_len = k.form[f].size();
        }
        if (best == std::string_view::npos) {
            size_t end = text.size();
            if (!final) end = end > k.longest - 1 ? end - (k.longest - 1) : 0;
            if (end < i) end = i;
            buf_put(out, text.substr(i, end - i));
            return end;
        }
        buf_put(out, text.substr(i, best - i));
        buf_put(out, key_mask);
        i = best + best_len;
    }
}

}  // namespace

void put_masked(buf& out, std::string_view text, std::string_view key) {
    if (key.empty()) {
        buf_put(out, text);
        return;
    }
    key_forms forms(key);
    mask_run(out, text, forms, true);
}

void masked_feed(masked_stream& m, std::string_view block, buf& out) {
    if (m.key.empty()) {
        buf_put(out, block);
        return;
    }
    key_forms forms(m.key);
    std::string_view text = block;
    if (m.carry.len) {  // the bytes held back go in front of the block
        m.joined.len = 0;
        buf_put(m.joined, m.carry.view());
        buf_put(m.joined, block);
        text = m.joined.view();
    }
    size_t used = mask_run(out, text, forms, false);
    m.carry.len = 0;
    buf_put(m.carry, text.substr(used));
}

void masked_end(masked_stream& m, buf& out) {
    if (m.key.empty() || m.carry.len == 0) return;
    key_forms forms(m.key);
    mask_run(out, m.carry.view(), forms, true);
    m.carry.len = 0;
}
