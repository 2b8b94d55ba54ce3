// The ini-file reading the shim needs where the system has no profile API:
// "[section]" headers and "key = value" lines, names matched ignoring case,
// values trimmed of blanks and of one pair of surrounding double quotes,
// lines beginning with ";" or "#" ignored.
#pragma once
#include <cstddef>
#include <string_view>

// Finds `key` in `section` of the ini text; copies its value into `out` (cut
// to fit, terminated) and returns its length, or 0 when it is missing or empty.
size_t ini_find_value(std::string_view text, std::string_view section, std::string_view key, char* out,
                      size_t cap);
