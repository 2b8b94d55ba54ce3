#include "dialects/local_model/local_request.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "relay/rewrite.hpp"
#include "text/json_read.hpp"
#include "text/json_scan.hpp"
#include "text/span.hpp"

namespace {

// ---- Request ----------------------------------------------------------------

// The media type of base64 image data, from the first bytes it encodes.
std::string_view image_type(std::string_view raw) {
    unsigned char bytes[12];
    size_t n = 0;
    unsigned acc = 0;
    int bits = 0;
    for (size_t i = 0; i < raw.size() && n < sizeof bytes; ++i) {
        char c = raw[i];
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '\\' && i + 1 < raw.size() && raw[i + 1] == '/') v = 63, ++i;  // "/" as JSON may write it
        else break;
        acc = (acc << 6 | static_cast<unsigned>(v)) & 0xffffff;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes[n++] = static_cast<unsigned char>(acc >> bits);
        }
    }
    auto starts = [&](std::string_view magic, size_t at = 0) {
        return n >= at + magic.size() && std::string_view(reinterpret_cast<char*>(bytes) + at, magic.size()) == magic;
    };
    if (starts("\x89PNG")) return "png";
    if (starts("\xff\xd8\xff")) return "jpeg";
    if (starts("GIF8")) return "gif";
    if (starts("RIFF") && starts("WEBP", 8)) return "webp";
    return "png";
}

bool holds_elements(json_value list) {
    json_array_cursor c = json_walk_array(list);
    json_value first;
    return json_next(c, first);
}

// Every tool-call id the converted request sends, decoded as the upstream
// reads them: an upstream ties each result to its call by id, so no two
// calls of one request may share one. Open addressing over the ids' bytes,
// so a request of many calls costs one short look-up per call.
struct id_set {
    struct entry {
        uint64_t hash;
        uint32_t at, len;  // the id's bytes in `text`
    };
    buf text;
    buf entries;      // entry records
    buf slots;        // uint32_t: an entry's index + 1, or 0 for a free slot
    size_t mask = 0;  // slot count - 1, a power of two less one; 0 before the first id
    bool failed = false;
};

uint64_t id_hash(std::string_view id) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : id) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return h;
}

size_t id_count(const id_set& set) { return set.entries.len / sizeof(id_set::entry); }

// Rebuilds the slots at twice the size; false when memory ran out.
bool id_grow(id_set& set) {
    size_t count = set.mask ? (set.mask + 1) * 2 : 64;
    buf slots;
    if (!buf_reserve(slots, count * sizeof(uint32_t))) return false;
    std::memset(slots.data, 0, count * sizeof(uint32_t));
    buf_commit(slots, count * sizeof(uint32_t));
    auto* slot = reinterpret_cast<uint32_t*>(slots.data);
    const auto* all = reinterpret_cast<const id_set::entry*>(set.entries.data);
    for (size_t e = 0; e < id_count(set); ++e) {
        size_t i = all[e].hash & (count - 1);
        while (slot[i]) i = (i + 1) & (count - 1);
        slot[i] = static_cast<uint32_t>(e + 1);
    }
    set.slots = std::move(slots);
    set.mask = count - 1;
    return true;
}

// Adds `id` unless it is there already: true when it was added. An id whose
// look-up runs past max_probe slots (ids made to collide) counts as taken:
// its call then goes up with a generated id, which costs the caller nothing
// (results are tied by the caller's own spelling), so no body can make the
// look-ups slow. Once memory ran out every id counts as new and `failed`
// says so.
constexpr size_t max_probe = 64;
bool id_add(id_set& set, std::string_view id) {
    if (set.failed) return true;
    if ((id_count(set) + 1) * 2 > set.mask + 1 && !id_grow(set)) return set.failed = true;
    uint64_t h = id_hash(id);
    auto* slot = reinterpret_cast<uint32_t*>(set.slots.data);
    const auto* all = reinterpret_cast<const id_set::entry*>(set.entries.data);
    size_t i = h & set.mask;
    for (size_t probes = 0; slot[i]; i = (i + 1) & set.mask) {
        const id_set::entry& e = all[slot[i] - 1];
        if (e.hash == h && sub_span(set.text.view(), e.at, e.len) == id) return false;
        if (++probes == max_probe) return false;
    }
    id_set::entry added{h, static_cast<uint32_t>(set.text.len), static_cast<uint32_t>(id.size())};
    buf_put(set.text, id);
    buf_put(set.entries, &added, sizeof added);
    if (set.text.failed || set.entries.failed) return set.failed = true;
    slot[i] = static_cast<uint32_t>(id_count(set));
    return true;
}

// A call of the latest assistant message that carried tool calls, waiting
// for its result. It goes upstream with the caller's own id, or, when the
// caller gave none or one already sent for another call of the request,
// with a generated "call_<number>".
struct open_call {
    std::string_view id;  // the caller's, raw; empty when it gave none
    unsigned number;      // of the generated id
    bool generated;
    std::string_view name;  // raw
    bool answered;
};
constexpr size_t max_open_calls = 64;

// The call's id as it goes upstream, as JSON string content.
void put_call_id(buf& out, const open_call& call) {
    if (call.generated) {
        buf_put(out, "call_");
        buf_put_int(out, call.number);
    } else {
        buf_put(out, call.id);  // the caller's own, so its results find their call
    }
}

// Whether a result's tool_call_id (decoded) names the call: by the caller's
// id when it gave one, else by the id generated for it.
bool names_call(const open_call& call, std::string_view given) {
    if (!call.id.empty()) return json_key_is(call.id, given);
    char generated[24];
    size_t n = bformat(generated, "call_%u", call.number);
    return given == std::string_view(generated, n);
}

struct request_reader {
    buf& out;
    full_request& result;
    open_call calls[max_open_calls];
    size_t call_count = 0;
    unsigned next_id = 0;
    id_set ids;
    buf scratch;
    buf name_scratch;
    unsigned messages_put = 0;  // the persona's included

    // Opens the next element of "messages": a comma before all but the first.
    void open_message() { buf_put(out, messages_put++ ? ",{" : "{"); }

    bool fail(const char* field, const char* expected) {
        set_error(result.error, "%s: expected %s", field, expected);
        return false;
    }

    // A fresh generated id, one no call of the request has yet.
    unsigned generate_id() {
        for (;;) {
            char text[24];
            size_t n = bformat(text, "call_%u", next_id);
            unsigned number = next_id++;
            if (id_add(ids, {text, n})) return number;
        }
    }

    // The first unanswered call among `among` (every call when null), with
    // the result's tool_name when `by_name`; call_count when there is none.
    size_t first_open(const bool* among, bool by_name) const {
        for (size_t k = 0; k < call_count; ++k)
            if ((!among || among[k]) && !calls[k].answered &&
                (!by_name || json_key_is(calls[k].name, name_scratch.view())))
                return k;
        return call_count;
    }

    // The message's tool_call_id: the call whose id the caller gave; when
    // several calls share that id, the first of them still unanswered (with
    // its tool_name when it has one), as the dialect ties results in order;
    // without a match, the first unanswered call with its tool_name, else the
    // first unanswered call, else the latest one (with that name when there
    // is one). A result for shared id whose calls all have theirs answers
    // no call we could tell: refused, naming the id.
    bool tool_call_id(json_value given_id, json_value tool_name, const char* field) {
        if (call_count == 0) {
            set_error(result.error, "%s: a tool result with no tool call before it", field);
            return false;
        }
        bool named = tool_name.is(json_kind::string);
        name_scratch.len = 0;
        if (named) json_decode(json_raw(tool_name), name_scratch);
        bool named_by_id[max_open_calls] = {};
        size_t matches = 0, pick = call_count;
        if (given_id.is(json_kind::string)) {
            scratch.len = 0;
            json_decode(json_raw(given_id), scratch);
            for (size_t k = 0; k < call_count; ++k) {
                named_by_id[k] = names_call(calls[k], scratch.view());
                if (named_by_id[k] && matches++ == 0) pick = k;
            }
        }
        if (matches > 1) {
            pick = named ? first_open(named_by_id, true) : call_count;
            if (pick == call_count) pick = first_open(named_by_id, false);
            if (pick == call_count) {
                char id[64];
                json_put_error_name(id, sizeof id, json_raw(given_id));
                set_error(result.error,
                          "%s: %zu tool calls have the id \"%s\" and each has its result: which one this answers "
                          "cannot be told",
                          field, matches, id);
                return false;
            }
        } else if (matches == 0) {
            if (named) pick = first_open(nullptr, true);
            if (pick == call_count) pick = first_open(nullptr, false);
            for (size_t k = call_count; named && pick == call_count && k-- > 0;)
                if (json_key_is(calls[k].name, name_scratch.view())) pick = k;
            if (pick == call_count) pick = call_count - 1;
        }
        calls[pick].answered = true;
        buf_put(out, ",\"tool_call_id\":\"");
        put_call_id(out, calls[pick]);
        buf_put(out, "\"");
        return true;
    }

    bool images(json_value list, std::string_view content_raw, const char* field) {
        buf_put(out, ",\"content\":[");
        bool first = true;
        if (!content_raw.empty()) {
            buf_put(out, "{\"type\":\"text\",\"text\":\"");
            buf_put(out, content_raw);
            buf_put(out, "\"}");
            first = false;
        }
        json_array_cursor c = json_walk_array(list);
        json_value image;
        for (unsigned k = 0; json_next(c, image); ++k) {
            if (!image.is(json_kind::string)) {
                char where[64];
                bformat(where, "%s%simages[%u]", field, *field ? "." : "", k);
                return fail(where, "a string");
            }
            std::string_view data = json_raw(image);
            buf_put(out, first ? "{\"type\":\"image_url\",\"image_url\":{\"url\":\""
                               : ",{\"type\":\"image_url\",\"image_url\":{\"url\":\"");
            first = false;
            if (!data.starts_with("data:")) {  // a client that sends a data URL already keeps it
                buf_put(out, "data:image/");
                buf_put(out, image_type(data));
                buf_put(out, ";base64,");
            }
            buf_put(out, data);  // the one copy of the image data
            buf_put(out, "\"}}");
        }
        buf_put(out, "]");
        return true;
    }

    // ,"content": the text alone, or with the images as content parts.
    bool put_content(std::string_view text_raw, json_value image_list, const char* field) {
        if (holds_elements(image_list)) return images(image_list, text_raw, field);
        buf_put(out, ",\"content\":\"");
        buf_put(out, text_raw);
        buf_put(out, "\"");
        return true;
    }

    bool tool_calls(json_value list, const char* field) {
        call_count = 0;
        buf_put(out, ",\"tool_calls\":[");
        json_array_cursor c = json_walk_array(list);
        json_value call;
        for (unsigned k = 0; json_next(c, call); ++k) {
            char where[64];
            bformat(where, "%s.tool_calls[%u]", field, k);
            if (k == max_open_calls) {
                set_error(result.error, "%s: more than %zu tool calls in one message", where, max_open_calls);
                return false;
            }
            static constexpr std::string_view call_names[] = {"function", "id"};
            json_value found[2];
            json_get_members(call, call_names, found, 2);
            json_value function = found[0], id = found[1];
            if (!call.is(json_kind::object) || !function.is(json_kind::object))
                return fail(where, "an object with a \"function\" object");
            if (id.given() && !id.is(json_kind::string)) {  // an empty one counts as none
                bformat(where, "%s.tool_calls[%u].id", field, k);
                return fail(where, "a string");
            }
            json_value name = json_get(function, "name");
            json_value arguments = json_get(function, "arguments");
            if (!name.is(json_kind::string)) {
                bformat(where, "%s.tool_calls[%u].function.name", field, k);
                return fail(where, "a string");
            }
            open_call opened{json_raw(id), 0, true, json_raw(name), false};
            if (!opened.id.empty()) {
                scratch.len = 0;
                json_decode(opened.id, scratch);
                opened.generated = !id_add(ids, scratch.view());  // taken by an earlier call: a fresh one
            }
            if (opened.generated) opened.number = generate_id();
            buf_put(out, k ? ",{\"id\":\"" : "{\"id\":\"");
            put_call_id(out, opened);
            buf_put(out, "\",\"type\":\"function\",\"function\":{\"name\":");
            buf_put(out, name.text);
            buf_put(out, ",\"arguments\":");
            if (arguments.is(json_kind::string)) {
                buf_put(out, arguments.text);  // already the text the upstream wants
            } else if (arguments.is(json_kind::object)) {
                buf_put(out, "\"");
                json_escape(out, arguments.text);
                buf_put(out, "\"");
            } else if (!arguments.given()) {
                buf_put(out, "\"{}\"");
            } else {
                bformat(where, "%s.tool_calls[%u].function.arguments", field, k);
                return fail(where, "an object");
            }
            buf_put(out, "}}");
            calls[call_count++] = opened;
        }
        buf_put(out, "]");
        return true;
    }

    bool message(json_value m, unsigned index) {
        char field[32];
        char where[64];
        bformat(field, "messages[%u]", index);
        if (!m.is(json_kind::object)) return fail(field, "an object");
        static constexpr std::string_view names[] = {"role",      "content",     "images", "tool_calls",
                                                     "tool_name", "tool_call_id"};
        json_value found[std::size(names)];
        json_get_members(m, names, found, std::size(names));
        auto [role, content, image_list, call_list, tool_name, call_id] = found;
        if (!role.is(json_kind::string)) return bformat(where, "%s.role", field), fail(where, "a string");
        if (content.given() && !content.is(json_kind::string))
            return bformat(where, "%s.content", field), fail(where, "a string");
        if (image_list.given() && !image_list.is(json_kind::array))
            return bformat(where, "%s.images", field), fail(where, "an array");
        if (call_list.given() && !call_list.is(json_kind::array))
            return bformat(where, "%s.tool_calls", field), fail(where, "an array");
        if (tool_name.given() && !tool_name.is(json_kind::string))
            return bformat(where, "%s.tool_name", field), fail(where, "a string");
        if (call_id.given() && !call_id.is(json_kind::string))
            return bformat(where, "%s.tool_call_id", field), fail(where, "a string");

        open_message();
        buf_put(out, "\"role\":");
        buf_put(out, role.text);
        if (json_equals(role, "tool") && !tool_call_id(call_id, tool_name, field)) return false;
        if (!put_content(json_raw(content), image_list, field)) return false;  // empty text when missing or null
        if (holds_elements(call_list) && !tool_calls(call_list, field)) return false;
        buf_put(out, "}");
        return true;
    }
};

// A sampling field: the value from options, else the top-level one.
struct sampling_field {
    std::string_view option;  // name in options
    int top;                  // index in top_names, or -1
    const char* out;          // name upstream
    bool stop_list;           // a string or an array of strings, not a number
    bool count;               // a whole number of tokens
};
// The members of both bodies; each reads its own (a chat's prompt, or a
// generate's messages, is ignored as any unknown member is).
constexpr std::string_view top_names[] = {"model",  "messages", "stream",      "tools", "tool_choice",
                                          "format", "options",  "temperature", "top_p", "max_output_tokens",
                                          "keep_alive", "prompt", "system", "images", "suffix",
                                          "raw",        "template", "context"};
enum {
    top_model, top_messages, top_stream, top_tools, top_tool_choice, top_format, top_options,
    top_keep_alive = 10, top_prompt, top_system, top_images, top_suffix, top_raw, top_template, top_context
};
constexpr sampling_field sampling_fields[] = {
    {"temperature", 7, "temperature", false, false},
    {"top_p", 8, "top_p", false, false},
    {"seed", -1, "seed", false, false},
    {"stop", -1, "stop", true, false},
    {"num_predict", 9, "max_tokens", false, true},
    {"frequency_penalty", -1, "frequency_penalty", false, false},
    {"presence_penalty", -1, "presence_penalty", false, false},
};
constexpr size_t sampling_count = std::size(sampling_fields);

bool valid_stop(json_value v) {
    if (v.is(json_kind::string)) return true;
    if (!v.is(json_kind::array)) return false;
    json_array_cursor c = json_walk_array(v);
    json_value e;
    while (json_next(c, e))
        if (!e.is(json_kind::string)) return false;
    return true;
}

// A count is a positive whole number; a negative one (-1, -2) is the
// dialect's "no limit" and is dropped later. What it must be, or null.
const char* sampling_fault(const sampling_field& f, json_value v) {
    if (f.stop_list) return valid_stop(v) ? nullptr : "a string or an array of strings";
    if (!v.is(json_kind::number)) return "a number";
    if (!f.count) return nullptr;
    std::string_view digits = v.text;
    if (digits.starts_with("-")) drop_prefix(digits, 1);
    long long n = json_uint_at(digits, 0, digits.size());
    return n > 0 ? nullptr : "a positive whole number";
}

// keep_alive 0 (the number, or a duration of zero such as "0", "0s", "0m")
// asks for the model to be unloaded.
bool keeps_alive_zero(json_value v) {
    std::string_view t = v.is(json_kind::string) ? json_raw(v) : v.is(json_kind::number) ? v.text : std::string_view{};
    if (t.starts_with("-")) drop_prefix(t, 1);
    size_t digits = 0;
    while (!t.empty() && (t.front() == '0' || t.front() == '.')) {
        digits += t.front() == '0';
        drop_prefix(t, 1);
    }
    if (digits == 0) return false;
    if (v.is(json_kind::number)) return t.empty() || t.front() == 'e' || t.front() == 'E';
    return t.empty() || t == "s" || t == "m" || t == "h" || t == "ms" || t == "us" || t == "ns";
}

// What a generate body holds besides a chat's: every member's kind, and the
// ones no chat-completions upstream can honour refused by name.
bool check_generate(request_reader& reader, const json_value* top) {
    for (int k : {top_prompt, top_system, top_suffix, top_template})
        if (top[k].given() && !top[k].is(json_kind::string)) return reader.fail(top_names[k].data(), "a string");
    if (top[top_images].given() && !top[top_images].is(json_kind::array)) return reader.fail("images", "an array");
    if (top[top_raw].given() && !top[top_raw].is(json_kind::boolean)) return reader.fail("raw", "true or false");
    if (top[top_context].given() && !top[top_context].is(json_kind::array))
        return reader.fail("context", "an array");
    auto refuse = [&](const char* why) {
        set_error(reader.result.error, "%s", why);
        return false;
    };
    if (!json_raw(top[top_suffix]).empty())
        return refuse("suffix: not supported: the upstream's chat completions cannot fill in the middle");
    if (!json_raw(top[top_template]).empty())
        return refuse("template: not supported: the upstream applies its own prompt template");
    if (top[top_raw].text == "true")
        return refuse("raw: not supported: the upstream applies its own prompt template to every prompt");
    if (holds_elements(top[top_context]))
        return refuse("context: not supported: the shim's replies carry no context to continue from");
    return true;
}

// A generate's messages: its own system text after the shim's, then the
// prompt as the user's message.
bool put_generate_messages(request_reader& reader, const json_value* top) {
    buf& out = reader.out;
    std::string_view system = json_raw(top[top_system]);
    if (!system.empty()) {
        reader.open_message();
        buf_put(out, "\"role\":\"system\",\"content\":\"");
        buf_put(out, system);
        buf_put(out, "\"}");
    }
    reader.open_message();
    buf_put(out, "\"role\":\"user\"");
    if (!reader.put_content(json_raw(top[top_prompt]), top[top_images], "")) return false;
    buf_put(out, "}");
    return true;
}

}  // namespace

// ---- Request ----------------------------------------------------------------

full_request convert_full_request(std::string_view body, std::string_view model, buf& out, local_shape shape,
                                  const persona_text& persona) {
    full_request result;
    json_doc doc = json_read(body);
    if (!doc.ok()) {
        if (doc.error.path[0])
            set_error(result.error, "invalid JSON in %s at byte %zu: %s", doc.error.path, doc.error.at, doc.error.what);
        else
            set_error(result.error, "invalid JSON at byte %zu: %s", doc.error.at, doc.error.what);
        return result;
    }
    json_value root = doc.root;
    request_reader reader{out, result};
    if (!root.is(json_kind::object)) return reader.fail("the body", "a JSON object"), result;

    json_value top[std::size(top_names)];
    json_get_members(root, top_names, top, std::size(top_names));
    json_value given_model = top[top_model], messages = top[top_messages], stream = top[top_stream],
               tools = top[top_tools], tool_choice = top[top_tool_choice], format = top[top_format],
               options = top[top_options];
    if (given_model.given() && !given_model.is(json_kind::string)) return reader.fail("model", "a string"), result;
    if (messages.given() && !messages.is(json_kind::array)) return reader.fail("messages", "an array"), result;
    if (stream.given() && !stream.is(json_kind::boolean)) return reader.fail("stream", "true or false"), result;
    if (tools.given() && !tools.is(json_kind::array)) return reader.fail("tools", "an array"), result;
    json_array_cursor tool_list = json_walk_array(tools);
    json_value tool;
    for (unsigned k = 0; json_next(tool_list, tool); ++k) {
        char where[32];
        if (!tool.is(json_kind::object)) return bformat(where, "tools[%u]", k), reader.fail(where, "an object"), result;
    }
    if (options.given() && !options.is(json_kind::object)) return reader.fail("options", "an object"), result;
    bool json_format = json_equals(format, "json");
    if (format.given() && !json_format && !json_equals(format, "") && !format.is(json_kind::object))
        return reader.fail("format", "\"json\" or a JSON schema object"), result;
    bool generate = shape == local_shape::generate;
    if (generate && !check_generate(reader, top)) return result;

    std::string_view option_names[sampling_count];
    for (size_t k = 0; k < sampling_count; ++k) option_names[k] = sampling_fields[k].option;
    json_value from_options[sampling_count];
    json_get_members(options, option_names, from_options, sampling_count);
    json_value sampling[sampling_count];
    for (size_t k = 0; k < sampling_count; ++k) {
        const sampling_field& f = sampling_fields[k];
        json_value from_top = f.top >= 0 ? top[f.top] : json_value{};
        char where[48];
        const char* fault = from_options[k].given() ? sampling_fault(f, from_options[k]) : nullptr;
        if (fault) {
            bformat(where, "options.%.*s", static_cast<int>(f.option.size()), f.option.data());
            return reader.fail(where, fault), result;
        }
        fault = from_top.given() ? sampling_fault(f, from_top) : nullptr;
        if (fault) return reader.fail(top_names[f.top].data(), fault), result;
        sampling[k] = from_options[k].given() ? from_options[k] : from_top;
        // A negative length means "no limit" to the dialect: leave the upstream's own.
        if (f.option == "num_predict" && sampling[k].text.starts_with("-")) sampling[k] = {};
    }

    result.stream = !stream.is(json_kind::boolean) || stream.text == "true";
    if (generate ? json_raw(top[top_prompt]).empty() : !holds_elements(messages)) {
        result.load = true;
        result.unload = keeps_alive_zero(top[top_keep_alive]);
        result.ok = true;
        return result;
    }
    // Room for all of it at once, so a body of large images is not copied as the text grows.
    buf_reserve(out, body.size() + persona.lead.size() + 1024);
    buf_put(out, "{\"model\":\"");
    json_escape(out, model);
    buf_put(out, "\",");
    if (persona.none()) {
        buf_put(out, "\"messages\":[");
    } else {
        buf_put(out, persona.lead);
        buf_put(out, "\"}");
        reader.messages_put = 1;
    }
    if (generate) {
        if (!put_generate_messages(reader, top)) return result;
    } else {
        json_array_cursor c = json_walk_array(messages);
        json_value m;
        for (unsigned index = 0; json_next(c, m); ++index)
            if (!reader.message(m, index)) return result;
    }
    buf_put(out, "]");
    buf_put(out, result.stream ? ",\"stream\":true,\"stream_options\":{\"include_usage\":true}" : ",\"stream\":false");
    if (tools.given() && !generate) {
        buf_put(out, ",\"tools\":");
        buf_put(out, tools.text);
    }
    if (tool_choice.given() && !generate) {
        buf_put(out, ",\"tool_choice\":");
        buf_put(out, tool_choice.text);
    }
    if (json_format) {
        buf_put(out, ",\"response_format\":{\"type\":\"json_object\"}");
    } else if (format.is(json_kind::object)) {
        buf_put(out, ",\"response_format\":{\"type\":\"json_schema\",\"json_schema\":{\"name\":\"response\",\"schema\":");
        buf_put(out, format.text);
        buf_put(out, "}}");
    }
    for (size_t k = 0; k < sampling_count; ++k) {
        if (!sampling[k].given()) continue;
        buf_put(out, ",\"");
        buf_put(out, sampling_fields[k].out);
        buf_put(out, "\":");
        buf_put(out, sampling[k].text);
    }
    buf_put(out, "}");
    if (reader.ids.failed) out.failed = true;
    result.ok = !out.failed;
    if (out.failed) set_error(result.error, "out of memory");
    return result;
}
