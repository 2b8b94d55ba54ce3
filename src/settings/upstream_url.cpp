#include "settings/upstream_url.hpp"

#include "text/ascii.hpp"

bool parse_url_port(std::string_view digits, uint16_t& port) {
    if (digits.empty() || digits.size() > 5) return false;
    unsigned v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v < 1 || v > 65535) return false;
    port = static_cast<uint16_t>(v);
    return true;
}


bool split_upstream_url(std::string_view url, upstream_target& out, error_text& err) {
    out = upstream_target{};
    std::string_view rest;
    if (ascii_istarts_with(url, "https://")) {
        out.secure = true;
        rest = url.substr(8);
    } else if (ascii_istarts_with(url, "http://")) {
        rest = url.substr(7);
    } else {
        set_error(err, "bad ZELK_SHIM_URL scheme");
        return false;
    }
    out.port = out.secure ? 443 : 80;

    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path = slash == std::string_view::npos ? std::string_view(default_upstream_path) : rest.substr(slash);

    std::string_view host;
    std::string_view port_text;
    bool has_port = false;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            set_error(err, "bad ZELK_SHIM_URL host");
            return false;
        }
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                set_error(err, "bad ZELK_SHIM_URL host");
                return false;
            }
            has_port = true;
            port_text = after.substr(1);
        }
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            has_port = true;
            port_text = authority.substr(colon + 1);
        }
    }
    if (host.empty()) {
        set_error(err, "empty host");
        return false;
    }
    if (host.size() >= sizeof out.host) {  // longer than any DNS name: never cut it to another host
        set_error(err, "bad ZELK_SHIM_URL host");
        return false;
    }
    if (has_port && !parse_url_port(port_text, out.port)) {
        set_error(err, "bad ZELK_SHIM_URL port");
        return false;
    }
    bformat(out.host, "%.*s", static_cast<int>(host.size()), host.data());
    bformat(out.path, "%.*s", static_cast<int>(path.size()), path.data());
    return true;
}
