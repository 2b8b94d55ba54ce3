#include "relay/relay_steps.hpp"

#include <atomic>
#include <chrono>

#include "http/reply.hpp"
#include "platform/host.hpp"
#include "relay/attempts.hpp"

namespace {

// An error document worth trying again is far shorter than this; a longer
// answer goes on as it comes, and is not tried again.
constexpr size_t held_answer_max = 64 * 1024;

bool may_be_tried_again(unsigned long status) {
    return status == 429 || status == 502 || status == 503 || status == 529;
}

// Between the exchange and the dialect's sink: the masked answer of a status
// that may be tried again is held back until it is known whether it is, so
// the caller never sees an attempt that is not the last.
struct holding_sink {
    body_sink sink;
    void* ctx;
    const upstream_outcome& got;
    buf held;
    bool passed = false;  // some of this answer went on to the sink
};

body_verdict pass_held(holding_sink& h) {
    h.passed = h.passed || h.held.len > 0;
    std::string_view rest = h.held.view();
    body_verdict said = body_verdict::more;
    while (!rest.empty() && said == body_verdict::more) {
        size_t n = rest.size() < upstream_block_size ? rest.size() : upstream_block_size;
        said = h.sink(h.ctx, rest.data(), n);
        rest.remove_prefix(n);
    }
    h.held.clear();
    return said;
}

body_verdict hold_block(void* p, const char* data, size_t len) {
    auto* h = static_cast<holding_sink*>(p);
    if (!h->passed && may_be_tried_again(h->got.status)) {
        if (len <= held_answer_max - h->held.len) {
            buf_put(h->held, data, len);
            return h->held.failed ? body_verdict::stop : body_verdict::more;
        }
        body_verdict said = pass_held(*h);
        h->passed = true;
        if (said != body_verdict::more) return said;
    }
    h->passed = true;
    return h->sink(h->ctx, data, len);
}

// After the primary stumbled, turns start at the fallback until then
// (steady clock, in ms): one word shared by every connection, and wrong at
// worst for one turn.
std::atomic<long long> fallback_until_ms{0};
constexpr long long fallback_first_ms = 30 * 1000;

long long steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void exchange(const shim_settings& settings, std::span<const std::string_view> body, client_conn& client,
              probe_result (*probe)(void*), body_sink sink, void* ctx, upstream_outcome& got, request_trace* trace,
              const body_remake* remake) {
    if (settings.upstream_error.empty() && settings.upstream)
        attempt_upstream(settings, body, client, probe, sink, ctx, got, remake);
    if (!trace) return;
    trace->upstream_status = got.status;
    trace->upstream_first_byte = got.first_byte_at;
    trace->attempts = got.attempts;
    if (got.attempts) trace->upstream = got.at_fallback ? "fallback" : "primary";
}

namespace {

// One upstream's side of the turn: its client, its header lines and the
// body as it goes there (joined once, when small).
struct upstream_side {
    buf joined;
    std::string_view one;
    std::span<const std::string_view> body;
    bool ready = false;
};

bool prepare_side(upstream_side& side, std::span<const std::string_view> body) {
    side.body = sendable_body(body, side.joined, side.one);
    side.ready = !side.joined.failed;
    return side.ready;
}

// Points the call at the fallback, its body made for its model the first
// time it is needed; false when that body cannot be made.
bool aim_at_fallback(const shim_settings& settings, std::span<const std::string_view> body, const body_remake* remake,
                     upstream_side& side, upstream_call& call) {
    call.client = settings.fallback_upstream;
    call.header_lines = settings.fallback_header_lines();
    if (!side.ready) {
        if (remake && remake->make && settings.fallback_model_name != settings.model()) {
            body = remake->make(remake->ctx, settings.fallback_model_name);
            if (body.empty()) return false;
        }
        if (!prepare_side(side, body)) return false;
    }
    call.body = side.body;
    return true;
}

}  // namespace

void attempt_upstream(const shim_settings& settings, std::span<const std::string_view> body, client_conn& client,
                      probe_result (*probe)(void*), body_sink sink, void* ctx, upstream_outcome& got,
                      const body_remake* remake) {
    bool fallback = settings.has_fallback && settings.fallback_upstream;
    bool at_fallback = fallback && steady_ms() < fallback_until_ms.load(std::memory_order_relaxed);
    upstream_side primary_side, fallback_side;
    upstream_call call;
    call.proxy = &settings.proxy;
    call.masks = &settings.masks;
    call.caller = &client.socket;
    call.probe = probe;
    call.probe_ctx = ctx;
    auto aim_at_primary = [&] {
        call.client = settings.upstream;
        call.header_lines = settings.header_lines();
        if (!primary_side.ready && !prepare_side(primary_side, body)) return false;
        call.body = primary_side.body;
        return true;
    };
    if (!(at_fallback ? aim_at_fallback(settings, body, remake, fallback_side, call) : aim_at_primary())) {
        set_error(got.error, "upstream request failed: out of memory");
        return;
    }
    attempt_count count;
    for (;;) {
        got = upstream_outcome{};
        holding_sink held{sink, ctx, got};
        call_upstream(call, hold_block, &held, got);
        ++count.made;
        attempt_facts facts;
        facts.status = got.status;
        facts.failed = !got.error.empty();
        facts.unsent = got.unsent;
        facts.reached_caller = held.passed || got.stopped || got.caller_gone;
        facts.asked_ms = got.asked_wait_ms;
        facts.quota = got.status == 429 && quota_spent(held.held.view());
        long long wait = retry_wait(facts, count, settings.retries, attempt_jitter());
        if (wait < 0) {
            got.attempts = count.made;
            got.quota_spent = facts.quota;
            got.at_fallback = at_fallback;
            if (held.held.len && pass_held(held) != body_verdict::more) got.stopped = true;
            return;
        }
        if (got.status >= 500) ++count.overloaded;
        if (fallback && !at_fallback) {
            // The primary stumbled: the fallback is another upstream, with no
            // reason to wait for it, and the next turns go there first.
            fallback_until_ms.store(steady_ms() + fallback_first_ms, std::memory_order_relaxed);
            at_fallback = true;
            if (!aim_at_fallback(settings, body, remake, fallback_side, call)) {
                got = upstream_outcome{};
                set_error(got.error, "upstream request failed: out of memory");
                got.attempts = count.made;
                return;
            }
            continue;
        }
        count.waited_ms += wait;
        // The caller may leave meanwhile: then nobody is left to try for.
        if (sock_wait_watching(client.socket, static_cast<int>(wait), probe, ctx)) {
            got = upstream_outcome{};
            got.caller_gone = got.stopped = true;
            got.attempts = count.made;
            got.at_fallback = at_fallback;
            return;
        }
    }
}

std::string_view attempt_lines(std::string_view extra_lines, const upstream_outcome& got, buf& room) {
    bool failed = !got.error.empty() || got.status >= 400;
    // A client's own retries on top of ours would multiply them; and no
    // retry mends a spent quota.
    bool no_retry = failed && (got.attempts > 1 || got.quota_spent);
    bool wait = got.error.empty() && (got.status == 429 || got.status == 503) && got.asked_wait_ms >= 0;
    if (!no_retry && !wait) return extra_lines;
    buf_put(room, extra_lines);
    if (no_retry) buf_put(room, "x-should-retry: false\r\n");
    if (wait) {
        // In seconds, rounded up: our own words for the upstream's wait.
        buf_put(room, "Retry-After: ");
        buf_put_int(room, (got.asked_wait_ms + 999) / 1000);
        buf_put(room, "\r\n");
    }
    return room.failed ? extra_lines : room.view();
}

body_verdict collect_block(void* ctx, const char* data, size_t len) {
    auto* c = static_cast<collector*>(ctx);
    if (len > collected_answer_max - c->answer.len) {
        c->too_large = true;
        return body_verdict::stop;  // no answer, and no connection worth keeping
    }
    buf_put(c->answer, data, len);
    return c->answer.failed ? body_verdict::stop : body_verdict::more;
}

probe_result probe_with_continue(client_conn& client) {
    return send_continue(client) ? probe_result::sent : probe_result::later;
}

probe_result probe_buffered(void* ctx) { return probe_with_continue(static_cast<collector*>(ctx)->client); }

error_text collected_problem(const shim_settings& settings, const collector& collected, const upstream_outcome& got) {
    error_text problem = settings.upstream_error;
    if (problem.empty() && collected.too_large) set_error(problem, "upstream response too large");
    if (problem.empty() && collected.answer.failed) set_error(problem, "upstream response too large to hold");
    if (problem.empty() && !got.error.empty()) problem = got.error;
    if (problem.empty() && collected.answer.len == 0)
        set_error(problem, "empty upstream response (status %lu)", got.status);
    return problem;
}

void note_usage(request_trace* trace, token_usage used) {
    if (!trace) return;
    trace->prompt_tokens = used.prompt;
    trace->completion_tokens = used.completion;
}

void note_error(request_trace* trace, const char* text) {
    if (trace) set_error(trace->error, "%s", text);
}

void write_debug_copy(std::span<const std::string_view> body) {
    buf joined;
    for (std::string_view piece : body) buf_put(joined, piece);
    if (joined.failed) return;
    char path[512];
    debug_copy_path(path, sizeof path);
    error_text ignored;  // a copy that cannot be written is skipped
    replace_file_atomically(path, joined.view(), ignored);
}
