#include "text/ini_text.hpp"
#include "text/ascii.hpp"
#include "text/span.hpp"

#include <cstring>

namespace {

// A line's carriage return goes with its trailing blanks.
std::string_view trim(std::string_view s) { return ascii_trim(s, " \t", " \t\r"); }

}  // namespace

size_t ini_find_value(std::string_view text, std::string_view section, std::string_view key, char* out,
                      size_t cap) {
    if (cap == 0) return 0;
    out[0] = '\0';
    bool in_section = false;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : tail_span(text, nl + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            in_section = close != std::string_view::npos && ascii_iequals(trim(sub_span(line, 1, close - 1)), section);
            continue;
        }
        if (!in_section) continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || !ascii_iequals(trim(line.substr(0, eq)), key)) continue;
        std::string_view value = trim(tail_span(line, eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = sub_span(value, 1, value.size() - 2);
        size_t n = value.size() < cap - 1 ? value.size() : cap - 1;
        std::memcpy(out, value.data(), n);
        out[n] = '\0';
        return n;
    }
    return 0;
}
