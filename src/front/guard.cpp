#include "front/guard.hpp"

#include "text/ascii.hpp"

namespace {

bool is_port_suffix(std::string_view rest) {
    if (rest.empty()) return true;
    if (rest.front() != ':' || rest.size() == 1) return false;
    for (char c : rest.substr(1))
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

bool is_loopback_authority(std::string_view authority) {
    std::string_view host;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(0, close + 1);
        rest = authority.substr(close + 1);
    } else {
        size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view{} : authority.substr(colon);
    }
    if (!is_port_suffix(rest)) return false;
    return ascii_iequals(host, "localhost") || host == "127.0.0.1" || host == "[::1]";
}

bool caller_allowed(const http_request& req, request_fault& fault) {
    const request_head& head = req.head;
    if (head.has_host && !is_loopback_authority(req.view(head.host))) {
        fault = {403, "host not allowed: only localhost, 127.0.0.1 and [::1] may be used"};
        return false;
    }
    if (head.has_origin) {
        // Only web origins are checked: "null", file: and the schemes of
        // desktop frameworks belong to local applications.
        std::string_view origin = req.view(head.origin);
        size_t sep = origin.find("://");
        if (sep != std::string_view::npos) {
            std::string_view scheme = origin.substr(0, sep);
            if (ascii_iequals(scheme, "http") || ascii_iequals(scheme, "https")) {
                std::string_view authority = origin.substr(sep + 3);
                authority = authority.substr(0, authority.find('/'));
                if (!is_loopback_authority(authority)) {
                    fault = {403, "origin not allowed: only pages on localhost may call the shim"};
                    return false;
                }
            }
        }
    }
    return true;
}
