#include "relay/local_lines.hpp"

#include <chrono>

#include "http/reply.hpp"
#include "relay/key_mask.hpp"
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
    put_masked_string(out, scratch.view(), key);
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
