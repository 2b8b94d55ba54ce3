#include "relay/local_full.hpp"

#include <chrono>
#include <iterator>

#include "http/reply.hpp"
#include "relay/key_mask.hpp"
#include "relay/rewrite.hpp"
#include "relay/upstream_error.hpp"
#include "text/json_read.hpp"
#include "text/json_scan.hpp"

namespace {

// Appends a checked JSON text without the white space between its tokens:
// a reply line must not hold a line feed.
void put_compact(buf& out, std::string_view t) {
    size_t run = 0;
    bool in_string = false;
    for (size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (json_is_ws(c)) {
            buf_put(out, t.substr(run, i - run));
            run = i + 1;
        }
    }
    buf_put(out, t.substr(run));
}

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
    json_cursor c = json_walk(list);
    json_value first;
    return json_next(c, first);
}

// A call of the latest assistant message that carried tool calls, waiting
// for its result.
struct open_call {
    unsigned id;
    std::string_view name;  // raw
    bool answered;
};
constexpr size_t max_open_calls = 64;

struct request_reader {
    buf& out;
    full_request& result;
    open_call calls[max_open_calls];
    size_t call_count = 0;
    unsigned next_id = 0;
    buf scratch;

    bool fail(const char* field, const char* expected) {
        set_error(result.error, "%s: expected %s", field, expected);
        return false;
    }

    // The message's tool_call_id: the first unanswered call with its
    // tool_name, else the first unanswered call, else the latest one (with
    // that name when there is one).
    bool tool_call_id(json_value tool_name, const char* field) {
        if (call_count == 0) {
            set_error(result.error, "%s: a tool result with no tool call before it", field);
            return false;
        }
        bool named = tool_name.is(json_kind::string);
        if (named) {
            scratch.len = 0;
            json_decode(json_raw(tool_name), scratch);
        }
        auto fits = [&](size_t k, bool open_only, bool by_name) {
            return (!open_only || !calls[k].answered) && (!by_name || json_key_is(calls[k].name, scratch.view()));
        };
        size_t pick = call_count;
        for (size_t k = 0; named && pick == call_count && k < call_count; ++k) pick = fits(k, true, true) ? k : pick;
        for (size_t k = 0; pick == call_count && k < call_count; ++k) pick = fits(k, true, false) ? k : pick;
        for (size_t k = call_count; named && pick == call_count && k-- > 0;) pick = fits(k, false, true) ? k : pick;
        if (pick == call_count) pick = call_count - 1;
        calls[pick].answered = true;
        buf_put(out, ",\"tool_call_id\":\"call_");
        buf_put_int(out, calls[pick].id);
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
        json_cursor c = json_walk(list);
        json_value image;
        for (unsigned k = 0; json_next(c, image); ++k) {
            if (!image.is(json_kind::string)) {
                char where[64];
                bformat(where, "%s.images[%u]", field, k);
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

    bool tool_calls(json_value list, const char* field) {
        call_count = 0;
        buf_put(out, ",\"tool_calls\":[");
        json_cursor c = json_walk(list);
        json_value call;
        for (unsigned k = 0; json_next(c, call); ++k) {
            char where[64];
            bformat(where, "%s.tool_calls[%u]", field, k);
            if (k == max_open_calls) {
                set_error(result.error, "%s: more than %zu tool calls in one message", where, max_open_calls);
                return false;
            }
            json_value function = json_get(call, "function");
            if (!call.is(json_kind::object) || !function.is(json_kind::object))
                return fail(where, "an object with a \"function\" object");
            json_value name = json_get(function, "name");
            json_value arguments = json_get(function, "arguments");
            if (!name.is(json_kind::string)) {
                bformat(where, "%s.tool_calls[%u].function.name", field, k);
                return fail(where, "a string");
            }
            buf_put(out, k ? ",{\"id\":\"call_" : "{\"id\":\"call_");
            buf_put_int(out, next_id);
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
            calls[call_count++] = {next_id++, json_raw(name), false};
        }
        buf_put(out, "]");
        return true;
    }

    bool message(json_value m, unsigned index) {
        char field[32];
        char where[64];
        bformat(field, "messages[%u]", index);
        if (!m.is(json_kind::object)) return fail(field, "an object");
        static constexpr std::string_view names[] = {"role", "content", "images", "tool_calls", "tool_name"};
        json_value found[std::size(names)];
        json_get_members(m, names, found, std::size(names));
        auto [role, content, image_list, call_list, tool_name] = found;
        if (!role.is(json_kind::string)) return bformat(where, "%s.role", field), fail(where, "a string");
        if (content.given() && !content.is(json_kind::string))
            return bformat(where, "%s.content", field), fail(where, "a string");
        if (image_list.given() && !image_list.is(json_kind::array))
            return bformat(where, "%s.images", field), fail(where, "an array");
        if (call_list.given() && !call_list.is(json_kind::array))
            return bformat(where, "%s.tool_calls", field), fail(where, "an array");
        if (tool_name.given() && !tool_name.is(json_kind::string))
            return bformat(where, "%s.tool_name", field), fail(where, "a string");

        buf_put(out, ",{\"role\":");
        buf_put(out, role.text);
        if (json_equals(role, "tool") && !tool_call_id(tool_name, field)) return false;
        std::string_view text = json_raw(content);  // empty when missing or null
        if (holds_elements(image_list)) {
            if (!images(image_list, text, field)) return false;
        } else {
            buf_put(out, ",\"content\":\"");
            buf_put(out, text);
            buf_put(out, "\"");
        }
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
};
constexpr std::string_view top_names[] = {"model",  "messages",    "stream", "tools",       "tool_choice",
                                          "format", "options",     "temperature", "top_p", "max_output_tokens"};
enum { top_model, top_messages, top_stream, top_tools, top_tool_choice, top_format, top_options };
constexpr sampling_field sampling_fields[] = {
    {"temperature", 7, "temperature", false},
    {"top_p", 8, "top_p", false},
    {"seed", -1, "seed", false},
    {"stop", -1, "stop", true},
    {"num_predict", 9, "max_tokens", false},
    {"frequency_penalty", -1, "frequency_penalty", false},
    {"presence_penalty", -1, "presence_penalty", false},
};
constexpr size_t sampling_count = std::size(sampling_fields);

bool valid_sampling(const sampling_field& f, json_value v) {
    if (!f.stop_list) return v.is(json_kind::number);
    if (v.is(json_kind::string)) return true;
    if (!v.is(json_kind::array)) return false;
    json_cursor c = json_walk(v);
    json_value e;
    while (json_next(c, e))
        if (!e.is(json_kind::string)) return false;
    return true;
}

// ---- Replies ----------------------------------------------------------------

struct durations {
    int64_t total, load, prompt, eval;
};

durations measure(const local_timing& t, int64_t first, int64_t end) {
    int64_t start = t.started_ns ? t.started_ns : end;
    int64_t head = t.head_ns ? t.head_ns : start;
    if (!first) first = end;
    auto since = [](int64_t from, int64_t to) { return to > from ? to - from : 0; };
    return {since(start, end), since(start, head), since(head, first), since(first, end)};
}

// Everything after done_reason's value, the counts among the durations in
// the order the dialect's own server writes them.
void put_counts(buf& b, const durations& d, long long prompt_tokens, long long completion_tokens) {
    buf_put(b, "\",\"total_duration\":");
    buf_put_int(b, d.total);
    buf_put(b, ",\"load_duration\":");
    buf_put_int(b, d.load);
    buf_put(b, ",\"prompt_eval_count\":");
    buf_put_int(b, prompt_tokens);
    buf_put(b, ",\"prompt_eval_duration\":");
    buf_put_int(b, d.prompt);
    buf_put(b, ",\"eval_count\":");
    buf_put_int(b, completion_tokens);
    buf_put(b, ",\"eval_duration\":");
    buf_put_int(b, d.eval);
    buf_put(b, "}");
}

// {"model":"M","created_at":"T","message":{"role":"assistant","content":"
void put_head(buf& b, std::string_view model, const local_clock& clock) {
    char now[32];
    size_t n = format_utc(now, clock.utc_ns());
    buf_put(b, "{\"model\":\"");
    json_escape(b, model);
    buf_put(b, "\",\"created_at\":\"");
    buf_put(b, now, n);
    buf_put(b, "\",\"message\":{\"role\":\"assistant\",\"content\":\"");
}

// The reasoning text of a delta or message, from either name upstreams use.
std::string_view thinking_of(json_value message) {
    json_value r = json_get(message, "reasoning_content");
    if (!r.is(json_kind::string)) r = json_get(message, "reasoning");
    return json_raw(r);
}

// Appends {"function":{"name":"N","arguments":{...}}} for a call whose
// arguments (raw JSON string content) must decode to an object; false when
// they do not.
bool put_tool_call(buf& out, std::string_view name_raw, std::string_view arguments_raw, buf& scratch) {
    scratch.len = 0;
    json_decode(arguments_raw, scratch);
    std::string_view text = scratch.view();
    if (json_skip_ws(text, 0) == text.size()) text = "{}";  // no arguments at all
    json_doc args = json_read(text);
    if (!args.ok() || !args.root.is(json_kind::object)) return false;
    buf_put(out, "{\"function\":{\"name\":\"");
    buf_put(out, name_raw);
    buf_put(out, "\",\"arguments\":");
    put_compact(out, args.root.text);
    buf_put(out, "}}");
    return true;
}

// The upstream's own words about a failure (its error document or event),
// valid JSON string content with the key masked.
void put_masked_words(buf& out, std::string_view doc, std::string_view key, buf& scratch) {
    scratch.len = 0;
    put_upstream_words(scratch, doc);
    put_masked(out, scratch.view(), key);
}

// ---- Stream -----------------------------------------------------------------

void send(full_stream& s) {
    if (s.line.failed) {
        s.finished = true;  // nothing whole can be sent any more
        return;
    }
    s.sink(s.sink_ctx, s.line.view());
}

void start_line(full_stream& s) {
    s.line.len = 0;
    put_head(s.line, s.model, s.clock);
}

void fail(full_stream& s, std::string_view text) {
    s.line.len = 0;
    put_plain_error_body(s.line, {}, text);  // `text` is JSON string content already
    buf_put(s.line, "\n");
    send(s);
    s.finished = true;
    set_error(s.error, "%.*s", static_cast<int>(text.size()), text.data());
}

void fail_with_upstream_words(full_stream& s, std::string_view event) {
    buf words;
    put_masked_words(words, event, s.key, s.scratch);
    fail(s, words.view());
}

bool calls_waiting(const full_stream& s) {
    for (const stream_tool_call& c : s.calls)
        if (c.used) return true;
    return false;
}

// The gathered tool calls as one line; false (after the error line) when
// arguments do not parse.
bool send_calls(full_stream& s) {
    start_line(s);
    buf_put(s.line, "\",\"tool_calls\":[");
    bool first = true;
    for (stream_tool_call& c : s.calls) {
        if (!c.used) continue;
        if (!first) buf_put(s.line, ",");
        first = false;
        if (!put_tool_call(s.line, c.name.view(), c.arguments.view(), s.scratch)) {
            fail(s, "the upstream's tool call arguments are not a JSON object");
            return false;
        }
        c.name.clear();
        c.arguments.clear();
        c.used = false;
    }
    buf_put(s.line, "]},\"done\":false}\n");
    send(s);
    return true;
}

void send_final(full_stream& s) {
    if (calls_waiting(s) && !send_calls(s)) return;
    int64_t end = s.clock.steady_ns();
    start_line(s);
    buf_put(s.line, "\"},\"done\":true,\"done_reason\":\"");
    buf_put(s.line, s.cut_by_length ? "length" : "stop");
    put_counts(s.line, measure(s.timing, s.first_event_ns, end), s.prompt_tokens, s.completion_tokens);
    buf_put(s.line, "\n");
    send(s);
    s.finished = true;
    s.done = true;
}

// Gathers one fragment of a tool call; false after an error line.
bool gather_call(full_stream& s, json_value fragment, size_t position) {
    json_value index = json_get(fragment, "index");
    long long at = index.given() ? json_uint(index) : static_cast<long long>(position);
    if (at < 0 || at >= static_cast<long long>(max_stream_tool_calls)) {
        fail(s, "the upstream sent a tool call index out of range");
        return false;
    }
    stream_tool_call& call = s.calls[at];
    call.used = true;
    json_value function = json_get(fragment, "function");
    std::string_view name = json_raw(json_get(function, "name"));
    std::string_view arguments = json_raw(json_get(function, "arguments"));
    s.argument_bytes += arguments.size();
    if (s.argument_bytes > max_tool_argument_bytes) {
        fail(s, "the upstream's tool call arguments are larger than 16 MiB");
        return false;
    }
    buf_put(call.name, name);
    buf_put(call.arguments, arguments);
    return true;
}

bool on_event(void* ctx, std::string_view data) {
    full_stream& s = *static_cast<full_stream*>(ctx);
    if (data == "[DONE]") {
        send_final(s);
        return false;
    }
    if (!s.first_event_ns) s.first_event_ns = s.clock.steady_ns();
    json_doc doc = json_read(data);
    if (!doc.ok() || !doc.root.is(json_kind::object)) {
        fail(s, "the upstream sent an event that is not a JSON object");
        return false;
    }
    static constexpr std::string_view event_names[] = {"error", "usage", "choices"};
    json_value event[3];
    json_get_members(doc.root, event_names, event, 3);
    if (event[0].given()) {
        fail_with_upstream_words(s, data);
        return false;
    }
    if (event[1].is(json_kind::object)) {
        long long p = json_uint(json_get(event[1], "prompt_tokens"));
        long long c = json_uint(json_get(event[1], "completion_tokens"));
        if (p >= 0) s.prompt_tokens = p;
        if (c >= 0) s.completion_tokens = c;
        s.usage_reported |= p >= 0 || c >= 0;
    }
    json_cursor choices = json_walk(event[2]);
    json_value choice;
    if (!json_next(choices, choice) || !choice.is(json_kind::object)) return true;
    static constexpr std::string_view choice_names[] = {"delta", "finish_reason"};
    json_value parts[2];
    json_get_members(choice, choice_names, parts, 2);
    static constexpr std::string_view delta_names[] = {"content", "reasoning_content", "reasoning", "tool_calls"};
    json_value delta[4];
    json_get_members(parts[0], delta_names, delta, 4);
    std::string_view content = json_raw(delta[0]);
    std::string_view thinking = json_raw(delta[1].is(json_kind::string) ? delta[1] : delta[2]);
    if (!content.empty() || !thinking.empty()) {
        start_line(s);
        buf_put(s.line, content);
        if (!thinking.empty()) {
            buf_put(s.line, "\",\"thinking\":\"");
            buf_put(s.line, thinking);
        }
        buf_put(s.line, "\"},\"done\":false}\n");
        send(s);
    }
    json_cursor fragments = json_walk(delta[3]);
    json_value fragment;
    for (size_t k = 0; json_next(fragments, fragment); ++k)
        if (fragment.is(json_kind::object) && !gather_call(s, fragment, k)) return false;
    json_value finish = parts[1];
    if (json_equals(finish, "length")) s.cut_by_length = true;
    if (finish.given() && calls_waiting(s) && !send_calls(s)) return false;
    return !s.finished;
}

// ---- Time -------------------------------------------------------------------

int64_t steady_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t utc_now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// ---- Request ----------------------------------------------------------------

full_request convert_full_request(std::string_view body, std::string_view model, buf& out) {
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
    request_reader reader{out, result, {}, 0, 0, {}};
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
    if (options.given() && !options.is(json_kind::object)) return reader.fail("options", "an object"), result;
    bool json_format = json_equals(format, "json");
    if (format.given() && !json_format && !json_equals(format, "") && !format.is(json_kind::object))
        return reader.fail("format", "\"json\" or a JSON schema object"), result;

    std::string_view option_names[sampling_count];
    for (size_t k = 0; k < sampling_count; ++k) option_names[k] = sampling_fields[k].option;
    json_value from_options[sampling_count];
    json_get_members(options, option_names, from_options, sampling_count);
    json_value sampling[sampling_count];
    for (size_t k = 0; k < sampling_count; ++k) {
        const sampling_field& f = sampling_fields[k];
        json_value from_top = f.top >= 0 ? top[f.top] : json_value{};
        char where[48];
        if (from_options[k].given() && !valid_sampling(f, from_options[k])) {
            bformat(where, "options.%.*s", static_cast<int>(f.option.size()), f.option.data());
            return reader.fail(where, f.stop_list ? "a string or an array of strings" : "a number"), result;
        }
        if (from_top.given() && !valid_sampling(f, from_top))
            return reader.fail(top_names[f.top].data(), "a number"), result;
        sampling[k] = from_options[k].given() ? from_options[k] : from_top;
        // A negative length means "no limit" to the dialect: leave the upstream's own.
        if (f.option == "num_predict" && sampling[k].text.starts_with("-")) sampling[k] = {};
    }

    result.stream = !stream.is(json_kind::boolean) || stream.text == "true";
    // Room for all of it at once, so a body of large images is not copied as the text grows.
    buf_reserve(out, body.size() + system_text_escaped().size() + 1024);
    buf_put(out, "{\"model\":\"");
    json_escape(out, model);
    buf_put(out, "\",\"messages\":[{\"role\":\"system\",\"content\":\"");
    buf_put(out, system_text_escaped());
    buf_put(out, "\"}");
    json_cursor c = json_walk(messages);
    json_value m;
    for (unsigned index = 0; json_next(c, m); ++index)
        if (!reader.message(m, index)) return result;
    buf_put(out, "]");
    buf_put(out, result.stream ? ",\"stream\":true,\"stream_options\":{\"include_usage\":true}" : ",\"stream\":false");
    if (tools.given()) {
        buf_put(out, ",\"tools\":");
        buf_put(out, tools.text);
    }
    if (tool_choice.given()) {
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
    result.ok = !out.failed;
    if (out.failed) set_error(result.error, "out of memory");
    return result;
}

// ---- Time -------------------------------------------------------------------

local_clock system_local_clock() { return {steady_now, utc_now}; }

size_t format_utc(char (&out)[32], int64_t utc_ns) {
    using namespace std::chrono;
    sys_time<microseconds> t{floor<microseconds>(nanoseconds(utc_ns))};
    auto day = floor<days>(t);
    year_month_day date{day};
    hh_mm_ss clock{t - day};
    return bformat(out, "%04d-%02u-%02uT%02d:%02d:%02d.%06lldZ", static_cast<int>(date.year()),
                   static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                   static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                   static_cast<int>(clock.seconds().count()), static_cast<long long>(clock.subseconds().count()));
}

// ---- Stream -----------------------------------------------------------------

void full_stream_start(full_stream& s, std::string_view model, std::string_view key, const local_timing& timing,
                       const local_clock& clock, line_sink sink, void* ctx) {
    s.model = model;
    s.key = key;
    s.timing = timing;
    s.clock = clock;
    s.sink = sink;
    s.sink_ctx = ctx;
}

bool full_stream_feed(full_stream& s, std::string_view block) {
    if (s.finished) return false;
    event_status status = event_feed(s.events, block, on_event, &s);
    if (status == event_status::too_large && !s.finished)
        fail(s, "the upstream sent an event larger than 4 MiB");
    return !s.finished;
}

void full_stream_end(full_stream& s) {
    if (!s.finished) fail(s, "the upstream's stream was cut off before its end");
}

// ---- Collected reply --------------------------------------------------------

local_reply build_full_reply(unsigned long upstream_status, std::string_view answer, std::string_view model,
                             std::string_view key, const local_timing& timing, const local_clock& clock, buf& body) {
    buf scratch;
    if (upstream_status >= 400) {
        buf words;
        put_masked_words(words, answer, key, scratch);
        put_plain_error_body(body, {}, words.view());
        return {static_cast<int>(upstream_status), false};
    }
    int64_t end = clock.steady_ns();
    json_doc doc = json_read(answer);
    if (!doc.ok() || !doc.root.is(json_kind::object)) {
        put_plain_error_body(body, "the upstream's answer is not a JSON object");
        return {502, false};
    }
    json_cursor choices = json_walk(json_get(doc.root, "choices"));
    json_value choice;
    if (!json_next(choices, choice)) choice = {};
    json_value message = json_get(choice, "message");
    buf calls;
    json_cursor list = json_walk(json_get(message, "tool_calls"));
    json_value call;
    while (json_next(list, call)) {
        json_value function = json_get(call, "function");
        if (calls.len) buf_put(calls, ",");
        if (!put_tool_call(calls, json_raw(json_get(function, "name")), json_raw(json_get(function, "arguments")),
                           scratch)) {
            put_plain_error_body(body, "the upstream's tool call arguments are not a JSON object");
            return {502, false};
        }
    }
    json_value usage = json_get(doc.root, "usage");
    long long prompt_tokens = json_uint(json_get(usage, "prompt_tokens"));
    long long completion_tokens = json_uint(json_get(usage, "completion_tokens"));
    std::string_view thinking = thinking_of(message);

    put_head(body, model, clock);
    buf_put(body, json_raw(json_get(message, "content")));
    if (!thinking.empty()) {
        buf_put(body, "\",\"thinking\":\"");
        buf_put(body, thinking);
    }
    buf_put(body, "\"");
    if (calls.len) {
        buf_put(body, ",\"tool_calls\":[");
        buf_put(body, calls.view());
        buf_put(body, "]");
    }
    buf_put(body, "},\"done\":true,\"done_reason\":\"");
    buf_put(body, json_equals(json_get(choice, "finish_reason"), "length") ? "length" : "stop");
    put_counts(body, measure(timing, timing.first_byte_ns, end), prompt_tokens < 0 ? 0 : prompt_tokens,
               completion_tokens < 0 ? 0 : completion_tokens);
    return {200, true};
}

// ---- Model information ------------------------------------------------------

void put_model_details(buf& body) {
    buf_put(body, "{\"parent_model\":\"\",\"format\":\"gguf\",\"family\":\"zelk\",\"families\":[\"zelk\"],"
                  "\"parameter_size\":\"\",\"quantization_level\":\"\"}");
}

void put_version_body(buf& body, std::string_view version) {
    buf_put(body, "{\"version\":\"");
    json_escape(body, version);
    buf_put(body, "\"}");
}

void put_show_body(buf& body, std::string_view model, std::string_view modified_at) {
    buf_put(body, "{\"modelfile\":\"\",\"parameters\":\"\",\"template\":\"\",\"details\":");
    put_model_details(body);
    buf_put(body, ",\"model_info\":{\"general.architecture\":\"zelk\",\"general.basename\":\"");
    json_escape(body, model);
    buf_put(body, "\"},\"capabilities\":[\"completion\",\"tools\"],\"modified_at\":\"");
    json_escape(body, modified_at);
    buf_put(body, "\"}");
}
