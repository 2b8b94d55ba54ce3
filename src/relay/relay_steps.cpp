#include "relay/relay_steps.hpp"

#include "http/reply.hpp"
#include "platform/host.hpp"

void exchange(const shim_settings& settings, std::span<const std::string_view> body, client_conn& client,
              probe_result (*probe)(void*), body_sink sink, void* ctx, upstream_outcome& got, request_trace* trace) {
    upstream_call call;
    call.client = settings.upstream;
    call.proxy = &settings.proxy;
    call.masks = &settings.masks;
    call.header_lines = settings.header_lines();
    call.body = body;
    call.caller = &client.socket;
    call.probe = probe;
    call.probe_ctx = ctx;
    if (settings.upstream_error.empty() && settings.upstream) call_upstream(call, sink, ctx, got);
    if (!trace) return;
    trace->upstream_status = got.status;
    trace->upstream_first_byte = got.first_byte_at;
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
