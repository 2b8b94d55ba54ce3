#include "settings/origins.hpp"

#include <cstring>

#include "text/ascii.hpp"
#include "text/host_port.hpp"

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_scheme(std::string_view s) {
    if (s.empty() || !is_alpha(s[0])) return false;
    for (char c : s)
        if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

// A registered name or IPv4 address, or an IPv6 address in brackets; no
// user info, path, query or anything a header line could be broken with.
bool is_host_and_port(std::string_view s) {
    host_port hp;
    uint16_t port;
    if (!split_host_port(s, hp) || hp.host.empty()) return false;
    if (hp.has_port && !parse_port(hp.port, 0, 65535, port)) return false;
    for (char c : hp.host) {
        bool ok = hp.bracketed ? is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.'
                               : is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

bool classify(std::string_view entry, origin_pattern& kind, std::string_view& kept) {
    kept = entry;
    kind = origin_pattern::exact;
    if (entry == "*") {
        kind = origin_pattern::any;
        return true;
    }
    if (entry == "null") {
        kind = origin_pattern::null_origin;
        return true;
    }
    size_t sep = entry.find("://");
    if (sep == std::string_view::npos || !is_scheme(entry.substr(0, sep))) return false;
    if (entry.substr(sep + 3) == "*") {
        kind = origin_pattern::any_of_scheme;
        kept = entry.substr(0, sep);
        return true;
    }
    return is_host_and_port(entry.substr(sep + 3));
}

}  // namespace

bool is_origin_syntax(std::string_view origin) {
    size_t sep = origin.find("://");
    return sep != std::string_view::npos && is_scheme(origin.substr(0, sep)) && is_host_and_port(origin.substr(sep + 3));
}

bool parse_origin_list(std::string_view setting, origin_list& out, std::string_view& bad) {
    out = {};
    while (!setting.empty()) {
        size_t comma = setting.find(',');
        std::string_view entry = ascii_trim_blanks(setting.substr(0, comma));
        setting = comma == std::string_view::npos ? std::string_view{} : setting.substr(comma + 1);
        if (entry.empty()) continue;
        origin_pattern kind;
        std::string_view kept;
        if (!classify(entry, kind, kept) || out.count == origin_list::max_entries ||
            kept.size() >= sizeof out.text - out.text_len) {
            bad = entry;
            return false;
        }
        std::memcpy(out.text + out.text_len, kept.data(), kept.size());
        out.entries[out.count++] = {kind, static_cast<uint16_t>(out.text_len), static_cast<uint16_t>(kept.size())};
        out.text_len += kept.size();
    }
    return true;
}
