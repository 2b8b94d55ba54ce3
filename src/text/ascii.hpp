// ASCII comparisons ignoring case, as HTTP names and URL schemes need them
// (never locale-dependent).
#pragma once
#include <string_view>

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool ascii_iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

constexpr bool ascii_istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && ascii_iequals(s.substr(0, prefix.size()), prefix);
}

// Without the bytes of `lead` at its start and those of `trail` at its end.
constexpr std::string_view ascii_trim(std::string_view s, std::string_view lead, std::string_view trail) {
    while (!s.empty() && lead.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
    while (!s.empty() && trail.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
    return s;
}

// Without the blanks (spaces and tabs) at either end, as HTTP field values
// and list elements are read.
constexpr std::string_view ascii_trim_blanks(std::string_view s) { return ascii_trim(s, " \t", " \t"); }

// A token of RFC 9110 (methods, header names): one or more of its characters.
constexpr bool http_is_token(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos) return false;
    }
    return true;
}
