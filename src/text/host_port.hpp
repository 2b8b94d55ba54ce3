// host[:port] as URLs, origins and Host headers write it, and port numbers:
// read the same way wherever one turns up.
#pragma once
#include <cstdint>
#include <string_view>

struct host_port {
    std::string_view host;   // an IPv6 literal without its brackets
    std::string_view port;   // what follows the ':', unchecked; empty without one
    bool bracketed = false;  // the host was written in brackets (IPv6)
    bool has_port = false;   // a ':' followed the host
};

// A host in brackets ends at its ']', which must end the text or be followed
// by ':'; any other host ends at the first ':'. False for a '[' without its
// ']' or a ']' followed by anything else.
bool split_host_port(std::string_view authority, host_port& out);

// One or more decimal digits and nothing else, from `lowest` to `highest`
// (at most 65535). `out` is left alone when false.
bool parse_port(std::string_view digits, unsigned lowest, unsigned highest, uint16_t& out);
