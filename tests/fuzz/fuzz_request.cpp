// Request reading and routing over arbitrary bytes: the header block parser,
// the Host/Origin guard, the route choice, and the chunked body decoder fed
// the same bytes whole and in arbitrary pieces.
//
// Input layout: byte 0 = number of cut points (mod 8), then two bytes per
// cut point (positions, taken modulo the payload size); the rest is the
// payload as a client would send it.
#include <algorithm>
#include <string>
#include <vector>

#include "front/guard.hpp"
#include "front/request.hpp"
#include "front/routes.hpp"
#include "fuzz_check.hpp"
#include "text/ascii.hpp"

namespace {

struct feed_result {
    chunk_status status = chunk_status::more;
    size_t consumed = 0;  // payload bytes that belonged to the body, when done
    std::string body;
    uint64_t total = 0;
};

// Feeds `in` in the pieces given by the sorted cut points, as read_request
// does with what each receive brings.
feed_result feed_in_pieces(std::string_view in, const std::vector<size_t>& cuts) {
    feed_result r;
    chunk_decoder d;
    buf body;
    size_t start = 0;
    std::vector<size_t> ends(cuts);
    ends.push_back(in.size());
    for (size_t end : ends) {
        if (end > in.size()) end = in.size();
        if (end < start) continue;
        std::string_view piece = in.substr(start, end - start);
        size_t used = piece.size() + 1;  // must be overwritten on more/done
        r.status = chunk_feed(d, piece, body, used);
        if (r.status == chunk_status::bad || r.status == chunk_status::too_large) break;
        FUZZ_CHECK(used <= piece.size());
        if (r.status == chunk_status::done) {
            r.consumed = start + used;
            break;
        }
        FUZZ_CHECK(used == piece.size());  // a decoder that wants more took every byte
        start = end;
    }
    check_buf(body);
    r.body.assign(body.view());
    r.total = d.total;
    FUZZ_CHECK(d.total == body.len);
    FUZZ_CHECK(d.total <= max_body_bytes);
    return r;
}

void check_chunks_split_independent(std::string_view in, const std::vector<size_t>& cuts) {
    feed_result whole = feed_in_pieces(in, {});
    feed_result split = feed_in_pieces(in, cuts);
    FUZZ_CHECK(whole.status == split.status);
    FUZZ_CHECK(whole.body == split.body);
    if (whole.status == chunk_status::done) FUZZ_CHECK(whole.consumed == split.consumed);
    // Byte by byte is the most extreme split a slow client can make.
    if (in.size() <= 512) {
        std::vector<size_t> every;
        for (size_t i = 1; i < in.size(); ++i) every.push_back(i);
        feed_result bytes = feed_in_pieces(in, every);
        FUZZ_CHECK(bytes.status == whole.status);
        FUZZ_CHECK(bytes.body == whole.body);
        if (whole.status == chunk_status::done) FUZZ_CHECK(bytes.consumed == whole.consumed);
    }
}

// Any bytes, framed as chunks at the cut points, decode back to themselves.
void check_chunk_round_trip(std::string_view data, const std::vector<size_t>& cuts) {
    std::string framed;
    size_t start = 0;
    std::vector<size_t> ends(cuts);
    ends.push_back(data.size());
    for (size_t end : ends) {
        if (end > data.size()) end = data.size();
        if (end <= start) continue;
        char size_line[24];
        int n = std::snprintf(size_line, sizeof size_line, "%zX;ext=1\r\n", end - start);
        framed.append(size_line, static_cast<size_t>(n));
        framed.append(data.substr(start, end - start));
        framed.append("\r\n");
        start = end;
    }
    framed.append("0\r\nTrailer: x\r\n\r\n");
    size_t framed_len = framed.size();
    framed.append("GET / HTTP/1.1\r\n");  // a pipelined request after the body is not consumed
    feed_result r = feed_in_pieces(framed, cuts);
    FUZZ_CHECK(r.status == chunk_status::done);
    FUZZ_CHECK(r.consumed == framed_len);
    FUZZ_CHECK(r.body == data);
}

void check_head(std::string_view bytes) {
    http_request req;
    buf_put(req.raw, bytes);
    if (req.raw.failed) return;
    std::string_view head = req.raw.view();
    request_head& h = req.head;
    request_fault f;
    int n = parse_request_head(head, 0, h, f);
    if (n == parse_partial) {
        FUZZ_CHECK(head.find("\r\n\r\n") == std::string_view::npos && head.size() <= max_header_bytes);
        return;
    }
    if (n == parse_fault) {
        FUZZ_CHECK(f.status == 400 || f.status == 413 || f.status == 431 || f.status == 501 || f.status == 505);
        FUZZ_CHECK(f.message && *f.message);
        return;
    }
    FUZZ_CHECK(static_cast<size_t>(n) <= head.size() && head.substr(0, n).ends_with("\r\n\r\n"));
    head = head.substr(0, static_cast<size_t>(n));
    for (text_span s : {h.request_line, h.method, h.target, h.version, h.host, h.origin, h.content_type})
        FUZZ_CHECK(static_cast<size_t>(s.at) + s.len <= head.size());
    std::string_view method = h.method.in(head);
    std::string_view target = h.target.in(head);
    FUZZ_CHECK(!method.empty() && !target.empty());
    FUZZ_CHECK(h.has_host || h.host.len == 0);
    FUZZ_CHECK(!(h.chunked && h.has_length));
    FUZZ_CHECK(h.content_length <= max_body_bytes);
    for (char c : target) FUZZ_CHECK(static_cast<unsigned char>(c) > 0x20 && c != 0x7f);

    request_fault g;
    if (!caller_allowed(req, origin_list{}, g)) {
        FUZZ_CHECK(g.status == 403);
        FUZZ_CHECK(h.has_host || h.has_origin);
    } else if (h.has_host) {
        FUZZ_CHECK(is_loopback_authority(h.host.in(head)));
    }

    route_choice c = choose_route(h.request_line.in(head), target);
    FUZZ_CHECK(!c.local_dialect || c.where == route::chat);
    if (c.where == route::chat)
        FUZZ_CHECK(target.find("/api/chat") != std::string_view::npos ||
                   target.find("/v1/chat/completions") != std::string_view::npos);
    if (c.where == route::health || c.where == route::model_list || c.where == route::local_model_list)
        FUZZ_CHECK(method == "GET" || method == "HEAD");
    // HEAD takes the route GET would, and a target some route serves
    // answers a page's preflight.
    if (method == "HEAD") {
        std::string as_get = "GET" + std::string(h.request_line.in(head).substr(4));
        FUZZ_CHECK(choose_route(as_get, target).where == c.where);
    }
    if (c.where != route::not_found && c.where != route::local_unsupported) FUZZ_CHECK(!c.page_method.empty());

    // The most open setting echoes any origin it accepts: whatever the
    // request holds, the echo stays whole header lines of our own.
    static const origin_list any_origin = [] {
        origin_list l;
        std::string_view bad;
        parse_origin_list("*", l, bad);
        return l;
    }();
    admission a;
    admit_request(req, c, any_origin, a);
    std::string_view lines = a.lines.view();
    FUZZ_CHECK(lines.empty() || (h.has_origin && lines.ends_with("\r\n")));
    for (size_t at = 0; at < lines.size();) {
        size_t eol = lines.find("\r\n", at);
        FUZZ_CHECK(eol != std::string_view::npos);
        std::string_view line = lines.substr(at, eol - at);
        FUZZ_CHECK(line.starts_with("Access-Control-") || line == "Vary: Origin");
        for (char ch : line) FUZZ_CHECK(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f);
        at = eol + 2;
    }
    if (a.fault.status == 0 && !a.preflight && c.where == route::chat) {
        FUZZ_CHECK(method == "POST");
        FUZZ_CHECK(!h.has_origin || declares_json(h.content_type.in(head)));
    }

    // With an access key only the health probe and preflights pass without
    // the one bearer line that carries it.
    admission locked;
    admit_request(req, c, any_origin, locked, "fuzz-key");
    if (locked.fault.status == 0 && !locked.preflight && c.where != route::health) {
        std::string_view given = h.authorization.in(head);
        FUZZ_CHECK(h.authorization_count == 1 && given.size() > 7 && ascii_trim_blanks(given.substr(7)) == "fuzz-key");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t ncuts = data[0] % 8;
    size_t header = 1 + 2 * ncuts;
    if (size < header) return 0;
    exact_copy input(data + header, size - header);
    std::string_view payload = input.view();

    std::vector<size_t> cuts;
    for (size_t i = 0; i < ncuts; ++i) {
        size_t v = static_cast<size_t>(data[1 + 2 * i]) | static_cast<size_t>(data[2 + 2 * i]) << 8;
        cuts.push_back(payload.empty() ? 0 : v % payload.size());
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    // The header block ends at the first empty line, as the parser finds it.
    check_head(payload);
    size_t end = payload.find("\r\n\r\n");
    std::string_view body = end != std::string_view::npos ? payload.substr(end + 4) : payload;
    check_chunks_split_independent(body, cuts);
    check_chunk_round_trip(payload, cuts);
    return 0;
}
