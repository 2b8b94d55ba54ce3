#include "text/host_port.hpp"

#include "text/span.hpp"

bool split_host_port(std::string_view authority, host_port& out) {
    out = host_port{};
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        out.bracketed = true;
        out.host = sub_span(authority, 1, close - 1);
        rest = tail_span(authority, close + 1);
        if (!rest.empty() && rest.front() != ':') return false;
    } else {
        size_t colon = authority.find(':');
        out.host = authority.substr(0, colon);
        if (colon != std::string_view::npos) rest = tail_span(authority, colon);
    }
    if (!rest.empty()) {
        out.has_port = true;
        out.port = tail_span(rest, 1);
    }
    return true;
}

bool parse_port(std::string_view digits, unsigned lowest, unsigned highest, uint16_t& out) {
    if (digits.empty()) return false;
    unsigned v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > highest) return false;  // also keeps a long run of digits from overflowing
    }
    if (v < lowest) return false;
    out = static_cast<uint16_t>(v);
    return true;
}
