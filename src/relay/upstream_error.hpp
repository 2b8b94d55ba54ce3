// Reading the upstream's own words out of its error document.
#pragma once
#include <string_view>

#include "text/json_scan.hpp"

// "error"."message", or "error" itself when it is a string; JSON string
// content as written.
json_raw_string upstream_error_message(std::string_view doc);
