// A strict JSON reader for the fuzz checks: says whether a text is one JSON
// document, and lists the top-level object's members with their keys
// decoded, as the upstream's parser would see them.
#pragma once
#include <string>
#include <string_view>
#include <vector>

struct strict_member {
    std::string key;           // decoded
    std::string_view key_text; // as written, quotes included
    std::string_view value;    // as written
};

class strict_json {
public:
    // With `control_in_strings`, raw control bytes inside strings are taken
    // (as lenient readers take them: they move no string's end).
    explicit strict_json(std::string_view s, bool control_in_strings = false)
        : s_(s), control_ok_(control_in_strings) {}

    // True when the text is one JSON value (surrounded by white space only);
    // top-level object members land in `members`.
    bool parse(std::vector<strict_member>& members) {
        top_ = &members;
        ws();
        if (!value(0)) return false;
        ws();
        return i_ == s_.size();
    }

    // Where reading stopped: after the string string() decoded.
    size_t pos() const { return i_; }
    // The text nests deeper than this reader follows (its answer says nothing).
    bool too_deep() const { return too_deep_; }

    // Decodes the string whose opening quote is at i_; false when not valid.
    bool string(std::string* out) {
        if (i_ >= s_.size() || s_[i_] != '"') return false;
        ++i_;
        while (i_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return true;
            if (c < 0x20 && !control_ok_) return false;
            if (c != '\\') {
                if (out) out->push_back(static_cast<char>(c));
                continue;
            }
            if (i_ >= s_.size()) return false;
            char e = s_[i_++];
            const char* simple = "\"\\/bfnrt";
            const char* real = "\"\\/\b\f\n\r\t";
            if (const char* at = std::char_traits<char>::find(simple, 8, e)) {
                if (out) out->push_back(real[at - simple]);
                continue;
            }
            if (e != 'u' || i_ + 4 > s_.size()) return false;
            unsigned cp = 0;
            for (int k = 0; k < 4; ++k) {
                char h = s_[i_++];
                int d = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
                if (d < 0) return false;
                cp = cp * 16 + d;
            }
            if (out) {  // lone surrogates kept as their three bytes; enough to compare keys
                if (cp < 0x80) {
                    out->push_back(static_cast<char>(cp));
                } else if (cp < 0x800) {
                    out->push_back(static_cast<char>(0xc0 | (cp >> 6)));
                    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
                } else {
                    out->push_back(static_cast<char>(0xe0 | (cp >> 12)));
                    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
                    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
                }
            }
        }
        return false;
    }

private:
    void ws() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
    }
    bool literal(std::string_view word) {
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    bool digits() {
        size_t from = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
        return i_ > from;
    }
    bool number() {
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        if (i_ < s_.size() && s_[i_] == '0') {
            ++i_;
        } else if (!digits()) {
            return false;
        }
        if (i_ < s_.size() && s_[i_] == '.' && (++i_, !digits())) return false;
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (!digits()) return false;
        }
        return true;
    }
    bool value(int depth) {
        if (depth > 64) too_deep_ = true;
        if (depth > 64 || i_ >= s_.size()) return false;
        char c = s_[i_];
        if (c == '"') return string(nullptr);
        if (c == 't') return literal("true");
        if (c == 'f') return literal("false");
        if (c == 'n') return literal("null");
        if (c == '[') {
            ++i_;
            ws();
            if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
            for (;;) {
                ws();
                if (!value(depth + 1)) return false;
                ws();
                if (i_ < s_.size() && s_[i_] == ',') { ++i_; continue; }
                if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
                return false;
            }
        }
        if (c == '{') {
            ++i_;
            ws();
            if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
            for (;;) {
                ws();
                std::string key;
                size_t key_from = i_;
                if (!string(&key)) return false;
                std::string_view key_text = s_.substr(key_from, i_ - key_from);
                ws();
                if (i_ >= s_.size() || s_[i_] != ':') return false;
                ++i_;
                ws();
                size_t from = i_;
                if (!value(depth + 1)) return false;
                if (depth == 0) top_->push_back({std::move(key), key_text, s_.substr(from, i_ - from)});
                ws();
                if (i_ < s_.size() && s_[i_] == ',') { ++i_; continue; }
                if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
                return false;
            }
        }
        return number();
    }

    std::string_view s_;
    size_t i_ = 0;
    std::vector<strict_member>* top_ = nullptr;
    bool control_ok_ = false;
    bool too_deep_ = false;
};
