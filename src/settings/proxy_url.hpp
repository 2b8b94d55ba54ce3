// Reading the proxy setting into what the HTTP client needs.
#pragma once
#include <string_view>

#include "platform/upstream.hpp"
#include "text/bounded.hpp"

// "http://[user:password@]host:port[/]", the scheme in any case, an IPv6 host
// in brackets, user and password percent-decoded. An empty text is no proxy.
// False with an error text when the value cannot be used; the text never
// repeats the value, since it may hold the password.
bool parse_proxy_url(std::string_view text, upstream_proxy& out, error_text& err);
