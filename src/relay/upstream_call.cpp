#include "relay/upstream_call.hpp"

#include "relay/attempts.hpp"

#include "text/ascii.hpp"
#include "text/buf.hpp"

namespace {

const mask_keys no_keys{};

struct exchange_state {
    const upstream_call& call;
    body_sink sink;
    void* ctx;
    upstream_outcome& out;
    const mask_keys& masks;
    key_masker masker{&masks};
    bool refused = false;  // the head was turned down: out.error says why
    body_verdict verdict = body_verdict::more;
};

bool pass_masked(void* p, std::string_view bytes) {
    auto* st = static_cast<exchange_state*>(p);
    st->verdict = st->sink(st->ctx, bytes.data(), bytes.size());
    return st->verdict == body_verdict::more;
}

bool on_head(void* p, const upstream_head& head) {
    auto* st = static_cast<exchange_state*>(p);
    st->out.status = head.status;
    st->out.asked_wait_ms = asked_wait_ms(head.retry_after, head.retry_after_ms, std::chrono::system_clock::now());
    st->refused = answer_refused(head, st->call.proxy, st->masks, st->out.error);
    return !st->refused;
}

body_verdict on_body(void* p, const char* data, size_t len) {
    auto* st = static_cast<exchange_state*>(p);
    if (!st->out.received_body) {
        st->out.received_body = true;
        st->out.first_byte_at = std::chrono::steady_clock::now();
    }
    // The sink sees only masked bytes; held ones wait for the next block.
    st->verdict = body_verdict::more;
    if (!mask_feed(st->masker, {data, len}, pass_masked, st) && st->verdict == body_verdict::more)
        st->verdict = body_verdict::stop;  // no memory to mask with: nothing unmasked goes on
    return st->verdict;
}

probe_result on_probe(void* p) {
    auto* st = static_cast<exchange_state*>(p);
    return st->call.probe ? st->call.probe(st->call.probe_ctx) : probe_result::later;
}

bool via_proxy(const upstream_proxy* proxy) { return proxy && proxy->enabled(); }

}  // namespace

bool answer_refused(const upstream_head& head, const upstream_proxy* proxy, const mask_keys& masks, error_text& err) {
    // A 407 can only come from the proxy: it must not pass for the upstream's
    // answer when the request went to the proxy as a plain HTTP request.
    if (head.status == 407 && via_proxy(proxy)) {
        set_error(err, "upstream request failed: proxy %s asks for credentials (407)", proxy->url);
        return true;
    }
    if (head.status != 0 && (head.status < 200 || head.status > 599)) {
        set_error(err, "upstream answered with status %lu", head.status);
        return true;
    }
    // We send no Accept-Encoding, so a coded body could only be relayed as
    // unreadable bytes.
    std::string_view coding = head.content_encoding;
    if (head.content_encoding_cut) {
        set_error(err, "upstream answered with a Content-Encoding too long to quote, which was not asked for");
        return true;
    }
    if (!coding.empty() && !ascii_istarts_with(coding, "identity")) {
        buf words;  // the upstream's own words: masked whole, then cut
        put_masked(words, coding, masks);
        set_error(err, "upstream answered with Content-Encoding %.*s, which was not asked for",
                  static_cast<int>(words.len < 48 ? words.len : 48), words.view().data());
        return true;
    }
    return false;
}

std::span<const std::string_view> sendable_body(std::span<const std::string_view> body, buf& joined,
                                                std::string_view& one) {
    size_t total = 0;
    for (std::string_view piece : body) total += piece.size();
    // A small body goes out joined, in the same send as the request head; a
    // large one from its pieces as they are.
    if (body.size() <= 1 || total > upstream_joined_body_limit) return body;
    for (std::string_view piece : body) buf_put(joined, piece);
    if (joined.failed) return {};
    one = joined.view();
    return {&one, 1};
}

void call_upstream(const upstream_call& call, body_sink sink, void* ctx, upstream_outcome& out) {
    std::span<const std::string_view> body = call.body;
    exchange_state st{call, sink, ctx, out, call.masks ? *call.masks : no_keys};
    upstream_handler handler;
    handler.ctx = &st;
    handler.head = on_head;
    handler.body = on_body;
    handler.caller = call.caller;
    handler.probe = on_probe;
    upstream_result got;
    upstream_exchange(*call.client, call.header_lines, body, handler, got);
    if (!st.refused && got.status) out.status = got.status;
    if (st.refused) return;
    if (got.caller_gone) {
        out.caller_gone = out.stopped = true;
        out.error = {};
        return;
    }
    if (got.stopped) {
        out.stopped = true;
        return;
    }
    // The answer ended (or broke off): what the mask held back goes on.
    if (!mask_end(st.masker, pass_masked, &st) && st.verdict == body_verdict::stop) out.stopped = true;
    if (!got.failed) return;
    out.unsent = got.unsent;
    buf detail;  // the system's words may quote what the upstream sent
    put_masked(detail, got.detail, st.masks);
    if (via_proxy(call.proxy))
        set_error(out.error, "upstream request failed via proxy %s: %s", call.proxy->url, detail.view().data());
    else
        set_error(out.error, "upstream request failed: %s", detail.view().data());
}
