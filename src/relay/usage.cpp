#include "relay/usage.hpp"

#include <cstring>

#include "text/json_scan.hpp"

namespace {

long long count_member(std::string_view doc, size_t obj, std::string_view name) {
    json_member m = json_object_member(doc, obj, name);
    if (!m.found || m.value_end == json_npos) return -1;
    return json_uint_at(doc, m.value_pos, m.value_end);
}

}  // namespace

token_usage usage_at(std::string_view doc, size_t pos) {
    if (pos >= doc.size() || doc[pos] != '{') return {};
    return {count_member(doc, pos, "prompt_tokens"), count_member(doc, pos, "completion_tokens")};
}

token_usage answer_usage(std::string_view answer) {
    json_member usage = json_top_member(answer, "usage");
    return usage.found ? usage_at(answer, usage.value_pos) : token_usage{};
}

token_usage last_stream_usage(std::string_view tail) {
    // Events before the last may carry "usage":null; the last one with an
    // object wins.
    size_t at = tail.size();
    while (at != 0 && (at = tail.rfind("\"usage\"", at - 1)) != std::string_view::npos) {
        size_t value = json_skip_ws(tail, at + 7);
        if (value < tail.size() && tail[value] == ':') value = json_skip_ws(tail, value + 1);
        token_usage u = usage_at(tail, value);
        if (u.prompt >= 0 || u.completion >= 0) return u;
    }
    return {};
}

void stream_tail::add(const char* data, size_t n) {
    if (n >= keep) {
        std::memcpy(bytes, data + n - keep, keep);
        len = keep;
        return;
    }
    if (len + n > sizeof bytes) {  // keep the last `keep` bytes, then append
        std::memmove(bytes, bytes + len - keep, keep);
        len = keep;
    }
    std::memcpy(bytes + len, data, n);
    len += n;
}
