#include "front/cors.hpp"

#include <cstring>

#include "text/ascii.hpp"
#include "text/host_port.hpp"

namespace {

// Longer than any origin a user could mean; the echo must fit its line.
constexpr size_t max_origin_len = 256;
// Browsers cache a preflight at most this long (and Chromium caps it lower).
constexpr std::string_view max_age_line = "Access-Control-Max-Age: 600\r\n";

void put(cors_lines& out, std::string_view s) {
    size_t room = sizeof out.text - out.len;
    size_t n = s.size() < room ? s.size() : room;
    std::memcpy(out.text + out.len, s.data(), n);
    out.len += n;
}

// The headers chat-completions client libraries send from a page: the body
// type, the bearer key and their own "x-" headers.
bool is_safe_request_header(std::string_view name) {
    return ascii_iequals(name, "content-type") || ascii_iequals(name, "authorization") ||
           (name.size() > 2 && ascii_istarts_with(name, "x-"));
}

}  // namespace

bool is_loopback_authority(std::string_view authority) {
    host_port hp;
    uint16_t port;
    if (!split_host_port(authority, hp) || (hp.has_port && !parse_port(hp.port, 0, 65535, port))) return false;
    if (hp.bracketed) return hp.host == "::1";
    return ascii_iequals(hp.host, "localhost") || hp.host == "127.0.0.1";
}

bool is_loopback_origin(std::string_view origin) {
    size_t sep = origin.find("://");
    if (sep == std::string_view::npos) return false;
    std::string_view scheme = origin.substr(0, sep);
    if (!ascii_iequals(scheme, "http") && !ascii_iequals(scheme, "https")) return false;
    std::string_view authority = origin.substr(sep + 3);
    return authority.find('/') == std::string_view::npos && is_loopback_authority(authority);
}

bool origin_allowed(const origin_list& listed, std::string_view origin) {
    if (origin.size() > max_origin_len) return false;
    bool is_null = origin == "null";
    if (!is_null && is_loopback_origin(origin)) return true;
    for (size_t i = 0; i < listed.count; ++i) {
        const origin_entry& e = listed.entries[i];
        std::string_view text = listed.entry_text(e);
        switch (e.kind) {
            case origin_pattern::null_origin:
                if (is_null) return true;
                break;
            case origin_pattern::any:
                if (is_null || is_origin_syntax(origin)) return true;
                break;
            case origin_pattern::exact:
                if (ascii_iequals(origin, text)) return true;
                break;
            case origin_pattern::any_of_scheme:
                if (origin.size() > text.size() + 3 && ascii_istarts_with(origin, text) &&
                    origin.substr(text.size(), 3) == "://" && is_origin_syntax(origin))
                    return true;
                break;
        }
    }
    return false;
}

bool declares_json(std::string_view content_type) {
    constexpr std::string_view json = "application/json";
    if (!ascii_istarts_with(content_type, json)) return false;
    std::string_view rest = ascii_trim_blanks(content_type.substr(json.size()));
    return rest.empty() || rest.front() == ';';
}

void put_reply_cors_lines(cors_lines& out, std::string_view origin) {
    out.len = 0;
    put(out, "Access-Control-Allow-Origin: ");
    put(out, origin);
    put(out, "\r\nVary: Origin\r\n");
}

void put_preflight_lines(cors_lines& out, std::string_view origin, std::string_view method,
                         std::string_view requested_headers, bool private_network) {
    out.len = 0;
    put(out, "Access-Control-Allow-Origin: ");
    put(out, origin);
    put(out, "\r\nAccess-Control-Allow-Methods: ");
    put(out, method);
    put(out, "\r\n");
    constexpr std::string_view allow_headers = "Access-Control-Allow-Headers: ";
    // Room kept for the lines that follow the header list.
    constexpr size_t tail_room = 160;
    size_t list_start = 0;
    while (!requested_headers.empty()) {
        size_t comma = requested_headers.find(',');
        std::string_view name = ascii_trim_blanks(requested_headers.substr(0, comma));
        requested_headers = comma == std::string_view::npos ? std::string_view{} : requested_headers.substr(comma + 1);
        if (!http_is_token(name) || !is_safe_request_header(name)) continue;
        if (out.len + name.size() + allow_headers.size() + 2 + tail_room > sizeof out.text) break;
        if (list_start == 0) {
            put(out, allow_headers);
            list_start = out.len;
        } else {
            put(out, ", ");
        }
        put(out, name);
    }
    if (list_start != 0) put(out, "\r\n");
    put(out, max_age_line);
    if (private_network) put(out, "Access-Control-Allow-Private-Network: true\r\n");
    put(out, "Vary: Origin\r\n");
}
