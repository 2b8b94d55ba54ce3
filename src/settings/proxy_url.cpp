#include "settings/proxy_url.hpp"

#include "text/ascii.hpp"
#include "text/host_port.hpp"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = ascii_lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Percent-decodes `in` into `out`, so credentials may hold ':' or '@'.
// False on a bad escape, a NUL or a text that does not fit.
template <size_t N>
bool decode_credential(std::string_view in, char (&out)[N]) {
    size_t n = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            int hi = i + 1 < in.size() ? hex_value(in[i + 1]) : -1;
            int lo = i + 2 < in.size() ? hex_value(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0' || n + 1 >= N) return false;
        out[n++] = c;
    }
    out[n] = '\0';
    return true;
}

}  // namespace

bool parse_proxy_url(std::string_view text, upstream_proxy& out, error_text& err) {
    out = upstream_proxy{};
    if (text.empty()) return true;
    if (!ascii_istarts_with(text, "http://")) {
        set_error(err, "only http://[user:password@]host:port is understood");
        return false;
    }
    std::string_view authority = text.substr(7);
    if (!authority.empty() && authority.back() == '/') authority.remove_suffix(1);
    if (authority.find_first_of("/?#") != std::string_view::npos) {
        set_error(err, "nothing may follow host:port");
        return false;
    }

    // The last '@' ends the credentials: an unescaped '@' in a password is
    // still read the way the user meant it.
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        size_t colon = userinfo.find(':');
        std::string_view user = userinfo.substr(0, colon);
        std::string_view password = colon == std::string_view::npos ? std::string_view{} : userinfo.substr(colon + 1);
        if (user.empty() || !decode_credential(user, out.user) || !decode_credential(password, out.password)) {
            out = upstream_proxy{};
            set_error(err, "unusable user name or password");
            return false;
        }
    }

    host_port hp;
    uint16_t port = 0;
    if (!split_host_port(authority, hp) || !hp.has_port || hp.host.empty() || hp.host.size() > 253 ||
        hp.host.find_first_of(hp.bracketed ? "[]@ " : ":[]@ ") != std::string_view::npos ||
        !parse_port(hp.port, 1, 65535, port)) {
        out = upstream_proxy{};
        set_error(err, "needs host:port");
        return false;
    }
    const char* open = hp.bracketed ? "[" : "";
    const char* close = hp.bracketed ? "]" : "";
    bformat(out.url, "http://%s%.*s%s:%u", open, static_cast<int>(hp.host.size()), hp.host.data(), close,
            static_cast<unsigned>(port));
    return true;
}
