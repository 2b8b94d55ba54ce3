#include "dialects/embeddings/embeddings.hpp"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "http/reply.hpp"
#include "relay/relay_steps.hpp"
#include "relay/upstream_error.hpp"
#include "text/json_read.hpp"
#include "text/json_scan.hpp"

namespace {

// ---- Replies ------------------------------------------------------------------

void send_fault(client_conn& client, const chat_request& request, int status, std::string_view text,
                const char* reason = nullptr) {
    buf body;
    if (request.local_dialect)
        put_plain_error_body(body, text);
    else
        put_error_body(body, text);
    if (!body.failed)
        send_reply(client, {status, reason, "application/json", {}, request.extra_lines}, body.view());
    if (request.trace) set_error(request.trace->error, "%.*s", static_cast<int>(text.size()), text.data());
}

void send_json(client_conn& client, const chat_request& request, unsigned long status, std::string_view body) {
    send_reply(client, {static_cast<int>(status), nullptr, "application/json", {}, request.extra_lines}, body);
}

// The one exchange of every embedding path: the answer collected whole (the
// buffered-answer cap applies). False with the caller answered, or gone.
bool fetch(client_conn& client, const chat_request& request, const shim_settings& embed,
           std::span<const std::string_view> body, collector& collected, upstream_outcome& got) {
    if (request.trace) request.trace->mode = "buffered";
    if (embed.debug_copy) write_debug_copy(body);
    exchange(embed, body, client, probe_buffered, collect_block, &collected, got, request.trace);
    if (got.caller_gone) {
        note_error(request.trace, "caller gone");
        return false;
    }
    error_text problem = collected_problem(embed, collected, got);
    if (collected.too_large)
        set_error(problem, "upstream embeddings answer too large: more than the buffered-answer cap of %zu bytes",
                  collected_answer_max);
    if (problem.empty()) return true;
    send_fault(client, request, 502, problem.s, relay_failure_reason);
    return false;
}

// ---- /v1/embeddings -----------------------------------------------------------

void relay_chat_shape(client_conn& client, const chat_request& request, const shim_settings& embed) {
    std::string_view body = request.body;
    json_doc doc = json_read(body);
    if (!doc.ok() || !doc.root.is(json_kind::object))
        return send_fault(client, request, 400, "the body must be one JSON object");
    // The embedding model in place of the caller's, or first when it named none.
    buf model;
    buf_put(model, "\"model\":\"");
    json_escape(model, embed.model());
    buf_put(model, "\"");
    std::string_view pieces[4];
    size_t count = 0;
    json_member given = json_top_member(body, "model");
    if (given.found && given.value_end != json_npos) {
        pieces[count++] = body.substr(0, given.key_pos);
        pieces[count++] = model.view();
        pieces[count++] = body.substr(given.value_end);
    } else {
        size_t brace = static_cast<size_t>(doc.root.text.data() - body.data()) + 1;
        json_object_cursor members = json_walk_object(doc.root);
        std::string_view key;
        json_value value;
        bool empty = !json_next(members, key, value);
        pieces[count++] = body.substr(0, brace);
        pieces[count++] = model.view();
        if (!empty) pieces[count++] = ",";
        pieces[count++] = body.substr(brace);
    }
    if (model.failed) return send_fault(client, request, 502, "out of memory", relay_failure_reason);
    bool base64 = json_equals(json_get(doc.root, "encoding_format"), "base64");

    collector collected{{}, false, client};
    upstream_outcome got;
    if (!fetch(client, request, embed, {pieces, count}, collected, got)) return;
    std::string_view answer = collected.answer.view();
    if (got.status >= 400) return send_json(client, request, got.status, answer);
    note_usage(request.trace, answer_usage(answer));
    // An upstream that ignored "base64" would hand the caller's decoder
    // arrays it reads as zero vectors.
    buf converted;
    if (base64 && embeddings_as_base64(answer, converted)) {
        if (converted.failed) return send_fault(client, request, 502, "out of memory", relay_failure_reason);
        collected.answer.clear();
        return send_json(client, request, got.status, converted.view());
    }
    send_json(client, request, got.status, answer);
}

// ---- /api/embed and /api/embeddings ---------------------------------------------

struct local_embed_body {
    json_value model, input, truncate, dimensions, keep_alive, options;
};

// Empty when the body is of the dialect's shape, else the text of the 400.
const char* check_local_body(const json_doc& doc, embed_shape shape, local_embed_body& b, size_t& inputs) {
    if (!doc.ok() || !doc.root.is(json_kind::object)) return "the body must be a JSON object";
    static constexpr std::string_view names[] = {"model", "input", "truncate", "dimensions", "keep_alive", "options"};
    json_value got[6];
    if (shape == embed_shape::legacy) {
        std::string_view legacy[] = {"model", "prompt", "truncate", "dimensions", "keep_alive", "options"};
        json_get_members(doc.root, legacy, got, 6);
    } else {
        json_get_members(doc.root, names, got, 6);
    }
    b = {got[0], got[1], got[2], got[3], got[4], got[5]};
    if (!b.model.given()) return "model is required";
    if (!b.model.is(json_kind::string)) return "model: expected a string";
    inputs = 0;
    if (b.input.is(json_kind::string)) {
        inputs = json_raw(b.input).empty() ? 0 : 1;
    } else if (shape == embed_shape::legacy) {
        if (b.input.given()) return "prompt: expected a string";
    } else if (b.input.is(json_kind::array)) {
        json_array_cursor each = json_walk_array(b.input);
        json_value item;
        while (json_next(each, item)) {
            if (!item.is(json_kind::string)) return "input: expected a string or an array of strings";
            ++inputs;
        }
    } else if (b.input.given()) {
        return "input: expected a string or an array of strings";
    }
    if (b.truncate.given() && !b.truncate.is(json_kind::boolean)) return "truncate: expected true or false";
    if (b.dimensions.given() && json_uint(b.dimensions) <= 0) return "dimensions: expected a positive whole number";
    if (b.keep_alive.given() && !b.keep_alive.is(json_kind::string) && !b.keep_alive.is(json_kind::number))
        return "keep_alive: expected a duration or a number of seconds";
    if (b.options.given() && !b.options.is(json_kind::object)) return "options: expected an object";
    return nullptr;
}

void relay_local_shape(client_conn& client, const chat_request& request, embed_shape shape,
                       const shim_settings& embed) {
    auto started = std::chrono::steady_clock::now();
    json_doc doc = json_read(request.body);
    local_embed_body b;
    size_t inputs = 0;
    if (const char* bad = check_local_body(doc, shape, b, inputs)) return send_fault(client, request, 400, bad);
    std::string_view model_raw = json_raw(b.model);
    buf reply;
    if (inputs == 0) {  // a load request: nothing to embed, nothing to ask
        if (request.trace) request.trace->mode = "load";
        if (shape == embed_shape::legacy) {
            buf_put(reply, "{\"embedding\":[]}");
        } else {
            buf_put(reply, "{\"model\":\"");
            buf_put(reply, model_raw);
            buf_put(reply, "\",\"embeddings\":[]}");
        }
        if (reply.failed) return send_fault(client, request, 502, "out of memory", relay_failure_reason);
        return send_json(client, request, 200, reply.view());
    }
    buf head;
    buf_put(head, "{\"model\":\"");
    json_escape(head, embed.model());
    buf_put(head, "\",\"input\":");
    buf tail;
    buf_put(tail, ",\"encoding_format\":\"float\"");
    if (b.dimensions.given()) {
        buf_put(tail, ",\"dimensions\":");
        buf_put(tail, b.dimensions.text);
    }
    buf_put(tail, "}");
    if (head.failed || tail.failed) return send_fault(client, request, 502, "out of memory", relay_failure_reason);
    std::string_view pieces[] = {head.view(), b.input.text, tail.view()};

    collector collected{{}, false, client};
    upstream_outcome got;
    if (!fetch(client, request, embed, pieces, collected, got)) return;
    std::string_view answer = collected.answer.view();
    if (got.status >= 400) {
        buf_put(reply, "{\"error\":\"");
        put_upstream_words(reply, answer);
        buf_put(reply, "\"}");
        if (request.trace) set_error(request.trace->error, "upstream refused the request (status %lu)", got.status);
        return send_json(client, request, got.status, reply.view());
    }
    long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count();
    error_text problem;
    token_usage used;
    int failed = build_local_embed_reply(answer, shape, model_raw, inputs, ns, reply, problem, used);
    note_usage(request.trace, used);
    if (failed) return send_fault(client, request, 502, problem.s, relay_failure_reason);
    collected.answer.clear();  // the reply holds the vectors now
    send_json(client, request, 200, reply.view());
}

// ---- base64 -----------------------------------------------------------------------

constexpr char base64_digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// An array whose elements are all numbers, as base64 of their 32-bit floats,
// little-endian. False (nothing written) when an element is not a number.
bool put_floats_base64(json_value array, buf& out) {
    size_t start = out.len;
    unsigned char group[3];
    size_t held = 0;
    auto flush = [&](size_t n) {
        char four[4];
        uint32_t v = (uint32_t(group[0]) << 16) | (uint32_t(n > 1 ? group[1] : 0) << 8) | (n > 2 ? group[2] : 0);
        four[0] = base64_digits[(v >> 18) & 63];
        four[1] = base64_digits[(v >> 12) & 63];
        four[2] = n > 1 ? base64_digits[(v >> 6) & 63] : '=';
        four[3] = n > 2 ? base64_digits[v & 63] : '=';
        buf_put(out, four, 4);
    };
    json_array_cursor each = json_walk_array(array);
    json_value item;
    while (json_next(each, item)) {
        double d = 0;
        std::string_view text = item.text;
        if (!item.is(json_kind::number) ||
            std::from_chars(text.data(), text.data() + text.size(), d).ec != std::errc{}) {
            out.len = start;
            return false;
        }
        float f = static_cast<float>(d);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        for (int k = 0; k < 4; ++k) {
            group[held++] = static_cast<unsigned char>(bits >> (8 * k));
            if (held == 3) flush(3), held = 0;
        }
    }
    if (held) flush(held);
    return true;
}

}  // namespace

bool embeddings_as_base64(std::string_view answer, buf& out) {
    json_doc doc = json_read(answer);
    if (!doc.ok() || !doc.root.is(json_kind::object)) return false;
    json_array_cursor items = json_walk_array(json_get(doc.root, "data"));
    json_value item;
    size_t copied = 0;  // the answer's bytes up to here are in `out`
    bool any = false;
    while (json_next(items, item)) {
        json_value vector = json_get(item, "embedding");
        if (!vector.is(json_kind::array)) continue;
        size_t at = static_cast<size_t>(vector.text.data() - answer.data());
        if (!any && !buf_reserve(out, answer.size())) return out.failed = true, true;
        buf_put(out, answer.substr(copied, at - copied));
        buf_put(out, "\"");
        if (!put_floats_base64(vector, out)) {
            out.len -= 1;  // not numbers: this one stays as it came
            buf_put(out, vector.text);
        } else {
            buf_put(out, "\"");
        }
        copied = at + vector.text.size();
        any = true;
    }
    if (!any) return false;
    buf_put(out, answer.substr(copied));
    return true;
}

int build_local_embed_reply(std::string_view answer, embed_shape shape, std::string_view model_raw, size_t inputs,
                            long long total_ns, buf& out, error_text& problem, token_usage& used) {
    json_doc doc = json_read(answer);
    static constexpr std::string_view top[] = {"data", "usage"};
    json_value found[2];
    if (doc.ok()) json_get_members(doc.root, top, found, 2);
    json_value data = found[0];
    if (found[1].is(json_kind::object))
        used = usage_at(answer, static_cast<size_t>(found[1].text.data() - answer.data()));
    if (!data.is(json_kind::array)) {
        set_error(problem, "upstream embeddings answer holds no data array");
        return 502;
    }
    std::unique_ptr<std::string_view[]> slot(new (std::nothrow) std::string_view[inputs]);
    if (!slot) {
        set_error(problem, "out of memory");
        return 502;
    }
    size_t seen = 0;
    size_t reply_bytes = 128 + model_raw.size();
    // One walk over the items, each vector stepped over once (a cursor per
    // item would step over it twice); the document is checked, and every
    // position is still tested against the array's end.
    size_t pos = static_cast<size_t>(data.text.data() - answer.data()) + 1;
    size_t end = pos + data.text.size() - 2;  // the closing bracket
    auto bad_item = [&](const char* what) {
        set_error(problem, "upstream embeddings answer: data[%zu]%s", seen, what);
        return 502;
    };
    for (;; ++seen) {
        pos = json_skip_ws(answer, pos);
        if (pos >= end) break;
        if (answer[pos] != '{') return bad_item(": expected an object");
        json_value index, vector;
        size_t p = pos + 1;
        for (;;) {
            p = json_skip_ws(answer, p);
            if (p < end && answer[p] == ',') p = json_skip_ws(answer, p + 1);
            if (p >= end) return bad_item(": expected an object");
            if (answer[p] == '}') break;
            size_t key_end = answer[p] == '"' ? json_string_end(answer, p) : json_npos;
            size_t colon = key_end == json_npos ? json_npos : json_skip_ws(answer, key_end);
            if (colon >= end || answer[colon] != ':') return bad_item(": expected an object");
            size_t at = json_skip_ws(answer, colon + 1);
            size_t value_end = at < end ? json_value_end(answer, at) : json_npos;
            if (value_end == json_npos || value_end > end) return bad_item(": expected an object");
            std::string_view key = answer.substr(p + 1, key_end - p - 2);
            std::string_view text = answer.substr(at, value_end - at);
            if (json_key_is(key, "index"))
                index = {text[0] == '-' || (text[0] >= '0' && text[0] <= '9') ? json_kind::number : json_kind::null, text};
            else if (json_key_is(key, "embedding"))
                vector = {text[0] == '[' ? json_kind::array : json_kind::null, text};
            p = value_end;
        }
        pos = p + 1;
        pos = json_skip_ws(answer, pos);
        if (pos < end && answer[pos] == ',') ++pos;
        long long at_index = json_uint(index);
        if (at_index < 0 || static_cast<unsigned long long>(at_index) >= inputs || !slot[at_index].empty()) {
            set_error(problem, "upstream embeddings answer: data[%zu].index is missing, repeated or beyond the %zu inputs",
                      seen, inputs);
            return 502;
        }
        if (!vector.is(json_kind::array)) return bad_item(".embedding: expected an array of numbers");
        slot[at_index] = vector.text;
        reply_bytes += vector.text.size() + 1;
    }
    if (seen != inputs) {
        set_error(problem, "upstream embeddings answer holds %zu embeddings for %zu inputs", seen, inputs);
        return 502;
    }
    if (!buf_reserve(out, reply_bytes)) {
        set_error(problem, "out of memory");
        return 502;
    }
    if (shape == embed_shape::legacy) {
        buf_put(out, "{\"embedding\":");
        buf_put(out, slot[0]);
        buf_put(out, "}");
    } else {
        buf_put(out, "{\"model\":\"");
        buf_put(out, model_raw);
        buf_put(out, "\",\"embeddings\":[");
        for (size_t i = 0; i < inputs; ++i) {
            if (i) buf_put(out, ",");
            buf_put(out, slot[i]);
        }
        buf_put(out, "],\"total_duration\":");
        buf_put_int(out, total_ns);
        buf_put(out, ",\"load_duration\":0,\"prompt_eval_count\":");
        buf_put_int(out, used.prompt < 0 ? 0 : used.prompt);
        buf_put(out, "}");
    }
    if (out.failed) {
        set_error(problem, "out of memory");
        return 502;
    }
    return 0;
}

void relay_embeddings(client_conn& client, const chat_request& request, embed_shape shape, const shim_settings& settings) {
    if (!settings.embed) return;
    if (shape == embed_shape::chat_completions)
        relay_chat_shape(client, request, *settings.embed);
    else
        relay_local_shape(client, request, shape, *settings.embed);
}
