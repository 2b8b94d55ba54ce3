#include "dialects/local_model/local_lines.hpp"

#include <chrono>

#include "http/reply.hpp"
#include "relay/upstream_error.hpp"
#include "text/json_read.hpp"
#include "text/json_scan.hpp"
#include "text/span.hpp"

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
            buf_put(out, sub_span(t, run, i - run));
            run = i + 1;
        }
    }
    buf_put(out, tail_span(t, run));
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

// Where a line's text goes, the one difference between the two endpoints'
// lines: a chat's in its message object, a generate's at the top.
struct line_shape {
    std::string_view open;   // after created_at's value, up to the text
    std::string_view close;  // what ends the message after its last member
};
constexpr line_shape shapes[] = {
    {"\",\"message\":{\"role\":\"assistant\",\"content\":\"", "}"},  // chat
    {"\",\"response\":\"", ""},                                        // generate
};
const line_shape& shape_of(local_shape s) { return shapes[s == local_shape::generate]; }

// {"model":"M","created_at":"T","message":{"role":"assistant","content":"
// (or ..."response":")
void put_head(buf& b, std::string_view model, const local_clock& clock, local_shape shape) {
    char now[32];
    size_t n = format_utc(now, clock.utc_ns());
    buf_put(b, "{\"model\":\"");
    json_escape(b, model);
    buf_put(b, "\",\"created_at\":\"");
    buf_put(b, now, n);
    buf_put(b, shape_of(shape).open);
}

// Ends the text (or, after `]`, the tool calls) and the message; `tail`
// follows: the line's "done" and what comes with it.
void put_close(buf& b, std::string_view end, local_shape shape, std::string_view tail) {
    buf_put(b, end);
    buf_put(b, shape_of(shape).close);
    buf_put(b, tail);
}

// Appends {"id":"I","function":{"index":K,"name":"N","arguments":{...}}} for
// the call at position K among the message's calls, whose arguments (raw JSON
// string content) must decode to an object; false when they do not. The id
// is the upstream's, when it gave one: callers tie their results to it.
bool put_tool_call(buf& out, size_t index, std::string_view id_raw, std::string_view name_raw,
                   std::string_view arguments_raw, buf& scratch) {
    scratch.len = 0;
    json_decode(arguments_raw, scratch);
    std::string_view text = scratch.view();
    if (json_skip_ws(text, 0) == text.size()) text = "{}";  // no arguments at all
    json_doc args = json_read(text);
    if (!args.ok() || !args.root.is(json_kind::object)) return false;
    if (!id_raw.empty()) {
        buf_put(out, "{\"id\":\"");
        buf_put(out, id_raw);
        buf_put(out, "\",\"function\":{\"index\":");
    } else {
        buf_put(out, "{\"function\":{\"index\":");
    }
    buf_put_int(out, static_cast<long long>(index));
    buf_put(out, ",\"name\":\"");
    buf_put(out, name_raw);
    buf_put(out, "\",\"arguments\":");
    put_compact(out, args.root.text);
    buf_put(out, "}}");
    return true;
}


// A member of the upstream's answer given with another kind than the one
// read, named by its path: "choices[0].delta that is not an object".
void put_kind_error(buf& out, std::string_view where, const char* member, const char* expected) {
    char text[160];
    size_t n = bformat(text, "the upstream's %.*s holds %s that is not %s", static_cast<int>(where.size()),
                       where.data(), member, expected);
    buf_put(out, text, n);
}

// Which members of the first choice are what they must be; `message` names
// "delta" (events) or "message" (collected answers). Null or missing counts
// as absent. Returns false with the error text in `error` otherwise.
struct choice_parts {
    json_value message;  // an object, or missing
    json_value content, thinking, tool_calls, finish_reason;
};
bool read_choice(json_value choices, std::string_view where, const char* message_name, choice_parts& out,
                 buf& error) {
    out = {};
    if (!choices.given()) return true;
    if (!choices.is(json_kind::array)) return put_kind_error(error, where, "choices", "an array"), false;
    json_array_cursor list = json_walk_array(choices);
    json_value choice;
    if (!json_next(list, choice)) return true;
    if (!choice.is(json_kind::object)) return put_kind_error(error, where, "choices[0]", "an object"), false;
    const std::string_view choice_names[] = {message_name, "finish_reason"};
    json_value parts[2];
    json_get_members(choice, choice_names, parts, 2);
    char member[48];
    if (parts[0].given() && !parts[0].is(json_kind::object)) {
        bformat(member, "choices[0].%s", message_name);
        return put_kind_error(error, where, member, "an object"), false;
    }
    if (parts[1].is(json_kind::string)) out.finish_reason = parts[1];  // any other kind: no reason given
    if (!parts[0].is(json_kind::object)) return true;
    out.message = parts[0];
    static constexpr std::string_view names[] = {"content", "reasoning_content", "reasoning", "tool_calls"};
    json_value found[4];
    json_get_members(parts[0], names, found, 4);
    if (found[0].given() && !found[0].is(json_kind::string)) {
        bformat(member, "choices[0].%s.content", message_name);
        return put_kind_error(error, where, member, "a string"), false;
    }
    if (found[3].given() && !found[3].is(json_kind::array)) {
        bformat(member, "choices[0].%s.tool_calls", message_name);
        return put_kind_error(error, where, member, "an array"), false;
    }
    out.content = found[0];
    out.thinking = found[1].is(json_kind::string) ? found[1] : found[2];  // reasoning of another shape: skipped
    out.tool_calls = found[3];
    return true;
}

// One tool call of a message or one fragment of a streamed call: its id,
// name and arguments as raw string content, each checked for its kind.
struct call_parts {
    json_value index;
    std::string_view id, name, arguments;
};
bool read_call(json_value call, std::string_view where, const char* list, size_t k, call_parts& out, buf& error) {
    out = {};
    char member[96];
    if (!call.is(json_kind::object)) {
        bformat(member, "%s[%zu]", list, k);
        return put_kind_error(error, where, member, "an object"), false;
    }
    static constexpr std::string_view names[] = {"index", "id", "function"};
    json_value found[3];
    json_get_members(call, names, found, 3);
    out.index = found[0];
    if (found[1].given() && !found[1].is(json_kind::string)) {
        bformat(member, "%s[%zu].id", list, k);
        return put_kind_error(error, where, member, "a string"), false;
    }
    out.id = json_raw(found[1]);
    if (!found[2].given()) return true;
    if (!found[2].is(json_kind::object)) {
        bformat(member, "%s[%zu].function", list, k);
        return put_kind_error(error, where, member, "an object"), false;
    }
    static constexpr std::string_view function_names[] = {"name", "arguments"};
    json_value function[2];
    json_get_members(found[2], function_names, function, 2);
    for (int f = 0; f < 2; ++f) {
        if (function[f].given() && !function[f].is(json_kind::string)) {
            bformat(member, "%s[%zu].function.%s", list, k, f ? "arguments" : "name");
            return put_kind_error(error, where, member, "a string"), false;
        }
    }
    out.name = json_raw(function[0]);
    out.arguments = json_raw(function[1]);
    return true;
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
    put_head(s.line, s.model, s.clock, s.shape);
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
    put_upstream_words(words, event);
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
        if (!put_tool_call(s.line, s.calls_sent++, c.id.view(), c.name.view(), c.arguments.view(), s.scratch)) {
            fail(s, "the upstream's tool call arguments are not a JSON object");
            return false;
        }
        c.id.clear();
        c.name.clear();
        c.arguments.clear();
        c.used = false;
    }
    put_close(s.line, "]", s.shape, ",\"done\":false}\n");
    send(s);
    return true;
}

void send_final(full_stream& s) {
    if (calls_waiting(s) && !send_calls(s)) return;
    int64_t end = s.clock.steady_ns();
    start_line(s);
    put_close(s.line, "\"", s.shape, ",\"done\":true,\"done_reason\":\"");
    buf_put(s.line, s.cut_by_length ? "length" : "stop");
    put_counts(s.line, measure(s.timing, s.first_event_ns, end), s.prompt_tokens, s.completion_tokens);
    buf_put(s.line, "\n");
    send(s);
    s.finished = true;
    s.done = true;
}

// The error line for a member of an event of the wrong kind.
bool fail_shape(full_stream& s, buf& error) {
    fail(s, error.view());
    return false;
}

// Gathers one fragment of a tool call; false after an error line.
bool gather_call(full_stream& s, json_value fragment, size_t position) {
    call_parts part;
    buf error;
    if (!read_call(fragment, "event", "choices[0].delta.tool_calls", position, part, error))
        return fail_shape(s, error);
    long long at = part.index.given() ? json_uint(part.index) : static_cast<long long>(position);
    if (at < 0 || at >= static_cast<long long>(max_stream_tool_calls)) {
        fail(s, "the upstream sent a tool call index out of range");
        return false;
    }
    stream_tool_call& call = s.calls[at];
    call.used = true;
    // Names count with the arguments: an upstream repeating a name in every
    // fragment must not grow it without bound either.
    s.argument_bytes += part.arguments.size() + part.name.size() + part.id.size();
    if (s.argument_bytes > max_tool_argument_bytes) {
        fail(s, "the upstream's tool call arguments are larger than 16 MiB");
        return false;
    }
    if (call.id.len == 0) buf_put(call.id, part.id);  // the first fragment carries it; later ones may repeat it
    buf_put(call.name, part.name);
    buf_put(call.arguments, part.arguments);
    return true;
}

bool on_event(void* ctx, std::string_view data) {
    full_stream& s = *static_cast<full_stream*>(ctx);
    if (data == "[DONE]") {
        // A stream whose events never held a choice answered nothing: an
        // error, not an empty reply that looks like one.
        if (!s.choice_seen) {
            fail(s, "the upstream's stream ended without any choice");
            return false;
        }
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
    if (event[1].is(json_kind::object)) {  // counts of another kind are no counts
        long long p = json_uint(json_get(event[1], "prompt_tokens"));
        long long c = json_uint(json_get(event[1], "completion_tokens"));
        if (p >= 0) s.prompt_tokens = p;
        if (c >= 0) s.completion_tokens = c;
        s.usage_reported |= p >= 0 || c >= 0;
    }
    choice_parts choice;
    buf error;
    if (!read_choice(event[2], "event", "delta", choice, error)) return fail_shape(s, error);
    if (!choice.message.given() && !choice.finish_reason.given()) return true;  // no choice in this event
    s.choice_seen = true;
    std::string_view content = json_raw(choice.content);
    std::string_view thinking = json_raw(choice.thinking);
    if (!content.empty() || !thinking.empty()) {
        start_line(s);
        buf_put(s.line, content);
        if (!thinking.empty()) {
            buf_put(s.line, "\",\"thinking\":\"");
            buf_put(s.line, thinking);
        }
        put_close(s.line, "\"", s.shape, ",\"done\":false}\n");
        send(s);
    }
    json_array_cursor fragments = json_walk_array(choice.tool_calls);
    json_value fragment;
    for (size_t k = 0; json_next(fragments, fragment); ++k)
        if (!gather_call(s, fragment, k)) return false;
    if (json_equals(choice.finish_reason, "length")) s.cut_by_length = true;
    if (choice.finish_reason.given() && calls_waiting(s) && !send_calls(s)) return false;
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

void full_stream_start(full_stream& s, std::string_view model, const local_timing& timing,
                       const local_clock& clock, line_sink sink, void* ctx, local_shape shape) {
    s.shape = shape;
    s.model = model;
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
                             const local_timing& timing, const local_clock& clock, buf& body,
                             local_shape shape) {
    buf scratch;
    if (upstream_status >= 400) {
        buf words;
        put_upstream_words(words, answer);
        put_plain_error_body(body, {}, words.view());
        return {static_cast<int>(upstream_status), false};
    }
    int64_t end = clock.steady_ns();
    json_doc doc = json_read(answer);
    if (!doc.ok() || !doc.root.is(json_kind::object)) {
        put_plain_error_body(body, "the upstream's answer is not a JSON object");
        return {502, false};
    }
    static constexpr std::string_view top_names[] = {"choices", "usage"};
    json_value top[2];
    json_get_members(doc.root, top_names, top, 2);
    choice_parts choice;
    buf error;
    if (!read_choice(top[0], "answer", "message", choice, error)) {
        put_plain_error_body(body, error.view());
        return {502, false};
    }
    // Without a message there is no answer to give, and an empty reply
    // would pass for one.
    if (!choice.message.given()) {
        put_plain_error_body(body, "the upstream's answer holds no choice with a message");
        return {502, false};
    }
    buf calls;
    json_array_cursor list = json_walk_array(choice.tool_calls);
    json_value call;
    for (size_t k = 0; json_next(list, call); ++k) {
        call_parts part;
        if (!read_call(call, "answer", "choices[0].message.tool_calls", k, part, error)) {
            put_plain_error_body(body, error.view());
            return {502, false};
        }
        if (calls.len) buf_put(calls, ",");
        if (!put_tool_call(calls, k, part.id, part.name, part.arguments, scratch)) {
            put_plain_error_body(body, "the upstream's tool call arguments are not a JSON object");
            return {502, false};
        }
    }
    json_value usage = top[1];  // counts of another kind are no counts
    long long prompt_tokens = json_uint(json_get(usage, "prompt_tokens"));
    long long completion_tokens = json_uint(json_get(usage, "completion_tokens"));
    std::string_view thinking = json_raw(choice.thinking);

    put_head(body, model, clock, shape);
    buf_put(body, json_raw(choice.content));
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
    put_close(body, {}, shape, ",\"done\":true,\"done_reason\":\"");
    buf_put(body, json_equals(choice.finish_reason, "length") ? "length" : "stop");
    put_counts(body, measure(timing, timing.first_byte_ns, end), prompt_tokens < 0 ? 0 : prompt_tokens,
               completion_tokens < 0 ? 0 : completion_tokens);
    return {200, true};
}

void build_load_reply(buf& body, std::string_view model, const local_clock& clock, local_shape shape, bool unload) {
    put_head(body, model, clock, shape);
    put_close(body, "\"", shape, ",\"done\":true,\"done_reason\":\"");
    buf_put(body, unload ? "unload\"}" : "load\"}");
}
