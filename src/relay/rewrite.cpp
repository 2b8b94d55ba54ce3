#include "relay/rewrite.hpp"

#include <utility>

#include "text/json_scan.hpp"

namespace {

bool holds_non_ws(std::string_view s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return true;
    return false;
}

// One replacement of the input span [from, to).
struct splice {
    size_t from;
    size_t to;
    std::string_view pieces[2];
};

void add_piece(rewritten_body& out, std::string_view piece) {
    if (piece.empty()) return;  // an empty piece would only cost a turn of the sender's loop
    out.piece[out.count++] = piece;
    out.size += piece.size();
}

// The edits that cut the members `a` and `b` (either may be missing) out of
// the checked object `body`, which keeps at least one other member: each
// with the comma after it, or, when no kept member follows, with the comma
// before the first of them. Returns the number of edits written.
size_t drop_members(std::string_view body, const json_member& a, const json_member& b, splice* out) {
    const json_member* drop[2];
    size_t n = 0;
    if (a.found) drop[n++] = &a;
    if (b.found) drop[n++] = &b;
    if (n == 2 && drop[0]->key_pos > drop[1]->key_pos) std::swap(drop[0], drop[1]);
    size_t last_end = 0;  // where the last of them stops, when nothing follows it
    for (size_t i = 0; i < n; ++i) {
        size_t after = json_skip_ws(body, drop[i]->value_end);
        bool comma = after < body.size() && body[after] == ',';
        out[i] = {drop[i]->key_pos, comma ? json_skip_ws(body, after + 1) : drop[i]->value_end, {}};
        if (!comma) last_end = drop[i]->value_end;
    }
    if (last_end) {
        // The run of dropped members that ends the object takes the comma
        // before it instead, so no comma is left before the closing brace.
        size_t first = n - 1;
        if (first > 0 && out[first - 1].to == out[first].from) --first;
        size_t comma = out[first].from;
        while (comma > 0 && json_is_ws(body[comma - 1])) --comma;
        if (comma > 0 && body[comma - 1] == ',') --comma;
        out[first] = {comma, last_end, {}};
        n = first + 1;
    }
    return n;
}

void refuse_repeated(std::string_view key, body_refusal& out) {
    out.repeated = key;
    set_error(out.words, "the request body holds the key \"%.*s\" more than once", static_cast<int>(key.size()),
              key.data());
}

}  // namespace

std::string_view system_text_escaped() { return built_in_persona().escaped; }

int detect_stream_flag(std::string_view body) { return find_chat_members(body).streaming(body) ? 1 : 0; }

chat_members find_chat_members(std::string_view body) {
    static constexpr std::string_view keys[] = {"stream", "messages", "model", "models", "fallbacks"};
    json_member found[5];
    json_fault fault = json_top_members_checked(body, keys, found, 5);
    chat_members m{found[0], found[1], found[2], found[3], found[4], {}, fault};
    if (fault && fault.at < body.size()) m.fault_byte = static_cast<unsigned char>(body[fault.at]);
    for (size_t k = 0; k < 3 && m.repeated.empty(); ++k)
        if (found[k].repeated) m.repeated = keys[k];
    return m;
}

bool refuse_chat_body(const chat_members& found, body_refusal& out) {
    if (found.fault) {
        const char* what = json_fault_text(found.fault.kind);
        size_t at = found.fault.at;
        // The byte itself helps the caller find it, when it can be shown as it is.
        if (found.fault.kind == json_fault_kind::unexpected && found.fault_byte > 0x20 && found.fault_byte < 0x7f &&
            found.fault_byte != '"' && found.fault_byte != '\'' && found.fault_byte != '\\')
            set_error(out.words, "the request body is not one JSON object: %s '%c' at byte %zu", what,
                      found.fault_byte, at);
        else
            set_error(out.words, "the request body is not one JSON object: %s at byte %zu", what, at);
        return true;
    }
    if (found.repeated.empty()) return false;
    refuse_repeated(found.repeated, out);
    return true;
}

int rebuild_pieces(std::string_view body, std::string_view model, rewritten_body& out, const persona_text& persona) {
    out.count = 0;
    out.size = 0;
    out.model_member.clear();
    out.refused = {};
    chat_members found = find_chat_members(body);
    if (refuse_chat_body(found, out.refused)) return 0;
    if (found.models.repeated || found.fallbacks.repeated) {
        refuse_repeated(found.models.repeated ? "models" : "fallbacks", out.refused);
        return 0;
    }
    int stream = found.streaming(body) ? 1 : 0;
    const json_member& messages = found.messages;
    const json_member& model_member = found.model;
    if (!messages.found) {
        // Not a chat we can put the system message in: an upstream that took
        // it (a "prompt", say) would bill the caller's model without it.
        set_error(out.refused.words, "messages is required");
        return 0;
    }
    if (body[messages.value_pos] != '[') {
        // An upstream that took such "messages" for a chat would take it
        // with the caller's model and without the system message.
        set_error(out.refused.words, "the request body's \"messages\" is not an array");
        return 0;
    }

    splice edits[4];
    size_t count = 0;

    // The model: the top-level member's value, whatever it held; a body
    // without one gets one as its first member, since the upstream needs it.
    // Either way the new text is one piece, quotes and all.
    buf& text = out.model_member;
    if (model_member.found) {
        buf_put(text, "\"");
        json_escape(text, model);
        buf_put(text, "\"");
        edits[count++] = {model_member.value_pos, model_member.value_end, {text.view(), {}}};
    } else {
        size_t brace = json_skip_ws(body, 0) + 1;
        buf_put(text, "\"model\":\"");
        json_escape(text, model);
        buf_put(text, "\",");
        edits[count++] = {brace, brace, {text.view(), {}}};
    }
    if (text.failed) out.failed = true;

    // The messages: the key, whatever lay up to the "[", and the "[" become
    // "messages":[ followed by the system message and, when the caller's
    // array holds anything, a comma before the caller's own elements.
    // Without a persona they stay as the caller sent them.
    if (!persona.none()) {
        size_t open = messages.value_pos;
        std::string_view inner = sub_span(body, open + 1, messages.value_end - open - 2);
        std::string_view after_system = holds_non_ws(inner) ? "\"}," : "\"}";
        edits[count++] = {messages.key_pos, open + 1, {persona.lead, after_system}};
    }

    count += drop_members(body, found.models, found.fallbacks, edits + count);

    // In body order; an insertion before a drop that starts at the same byte.
    for (size_t i = 1; i < count; ++i)
        for (size_t j = i; j > 0 && (edits[j].from < edits[j - 1].from ||
                                     (edits[j].from == edits[j - 1].from && edits[j].to < edits[j - 1].to));
             --j)
            std::swap(edits[j], edits[j - 1]);

    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        add_piece(out, sub_span(body, at, edits[i].from - at));
        for (std::string_view piece : edits[i].pieces) add_piece(out, piece);
        at = edits[i].to;
    }
    add_piece(out, tail_span(body, at));
    return stream;
}

void join_pieces(const rewritten_body& body, buf& out) {
    if (!buf_reserve(out, body.size)) return;
    for (size_t i = 0; i < body.count; ++i) buf_put(out, body.piece[i]);
}

int rebuild_request(std::string_view body, std::string_view model, buf& out, body_refusal* refused,
                    const persona_text& persona) {
    rewritten_body pieces;
    int stream = rebuild_pieces(body, model, pieces, persona);
    if (refused) *refused = pieces.refused;
    if (pieces.failed) out.failed = true;
    join_pieces(pieces, out);
    return stream;
}
