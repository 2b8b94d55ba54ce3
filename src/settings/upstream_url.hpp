// Splitting the configured upstream URL into what the HTTP client needs.
#pragma once
#include <string_view>

#include "platform/upstream.hpp"
#include "text/bounded.hpp"

inline constexpr const char* default_upstream_path = "/v1/chat/completions";

// "http[s]://host[:port][/path]", the scheme in any case; an IPv6 host in
// brackets. False with an error text when the URL cannot be used.
bool split_upstream_url(std::string_view url, upstream_target& out, error_text& err);
