// Reading the upstream's own words out of its error document.
#pragma once
#include <string_view>

#include "text/json_scan.hpp"

// "error"."message", or "error" itself when it is a string; JSON string
// content as written.
json_raw_string upstream_error_message(std::string_view doc);

// The upstream's words about a failure as JSON string content: that message
// when its document has one, else the whole document escaped.
void put_upstream_words(buf& out, std::string_view doc);
