// Sub-spans at positions computed from received bytes. std::string_view's
// substr throws past the end, and the core builds without exceptions, so a
// throw is an abort: these clamp instead. A position past the end gives an
// empty span at the end; a length past the end stops at the end.
#pragma once
#include <cstddef>
#include <string_view>

// Up to `n` bytes of `s` from `pos`.
constexpr std::string_view sub_span(std::string_view s, size_t pos, size_t n = std::string_view::npos) {
    if (pos > s.size()) pos = s.size();
    size_t room = s.size() - pos;
    return {s.data() + pos, n < room ? n : room};
}

// The bytes of `s` from `pos` to its end.
constexpr std::string_view tail_span(std::string_view s, size_t pos) { return sub_span(s, pos); }

// Drops up to `n` bytes from the front of `s`.
constexpr void drop_prefix(std::string_view& s, size_t n) { s = tail_span(s, n); }
