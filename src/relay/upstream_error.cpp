#include "relay/upstream_error.hpp"

void put_upstream_words(buf& out, std::string_view doc) {
    json_raw_string text = upstream_error_message(doc);
    if (text.ok)
        json_put_string_content(out, text.raw);
    else
        json_escape(out, doc);
}

json_raw_string upstream_error_message(std::string_view doc) {
    json_member error = json_top_member(doc, "error");
    if (!error.found) return {};
    if (doc[error.value_pos] != '{') return json_string_at(doc, error.value_pos);
    json_member message = json_object_member(doc, error.value_pos, "message");
    return message.found ? json_string_at(doc, message.value_pos) : json_raw_string{};
}
