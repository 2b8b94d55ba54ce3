#include "settings/upstream_url.hpp"

#include "text/ascii.hpp"
#include "text/host_port.hpp"

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

    host_port hp;
    if (!split_host_port(authority, hp)) {
        set_error(err, "bad ZELK_SHIM_URL host");
        return false;
    }
    if (hp.host.empty()) {
        set_error(err, "empty host");
        return false;
    }
    if (hp.host.size() >= sizeof out.host) {  // longer than any DNS name: never cut it to another host
        set_error(err, "bad ZELK_SHIM_URL host");
        return false;
    }
    if (hp.has_port && !parse_port(hp.port, 1, 65535, out.port)) {
        set_error(err, "bad ZELK_SHIM_URL port");
        return false;
    }
    bformat(out.host, "%.*s", static_cast<int>(hp.host.size()), hp.host.data());
    bformat(out.path, "%.*s", static_cast<int>(path.size()), path.data());
    return true;
}
