#include "front/request.hpp"
#include "text/ascii.hpp"

#include <chrono>

#include "front/guard.hpp"

namespace {

std::string_view trim_ows(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool fault_with(request_fault& f, int status, const char* message) {
    f.status = status;
    f.message = message;
    return false;
}

// A token character of RFC 9110, for methods and header names.
bool is_tchar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool all_tchars(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!is_tchar(c)) return false;
    return true;
}

bool parse_request_line(std::string_view line, request_head& out, request_fault& f) {
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return fault_with(f, 400, "malformed request line");
    out.method = line.substr(0, sp1);
    out.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    if (!all_tchars(out.method) || out.target.empty() || version.size() != 8 || version.substr(0, 5) != "HTTP/")
        return fault_with(f, 400, "malformed request line");
    for (char c : out.target)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return fault_with(f, 400, "malformed request line");
    return true;
}

// A plain non-negative decimal number; anything else is refused rather than
// guessed at, since a wrong body length would split or merge requests.
bool parse_length(std::string_view v, uint64_t& out, request_fault& f) {
    if (v.empty()) return fault_with(f, 400, "bad Content-Length");
    uint64_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') return fault_with(f, 400, "bad Content-Length");
        if (n > max_body_bytes) return fault_with(f, 413, "request body too large");
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > max_body_bytes) return fault_with(f, 413, "request body too large");
    out = n;
    return true;
}

}  // namespace

bool parse_head(std::string_view head, request_head& out, request_fault& f) {
    out = request_head{};
    size_t eol = head.find("\r\n");
    if (eol == std::string_view::npos) return fault_with(f, 400, "malformed request line");
    out.request_line = head.substr(0, eol);
    if (!parse_request_line(out.request_line, out, f)) return false;

    size_t pos = eol + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string_view::npos) end = head.size();
        std::string_view line = head.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty()) break;  // the empty line that ends the block
        size_t colon = line.find(':');
        // A folded continuation line or a line without a name is refused, as
        // recipients disagree on what it means.
        if (colon == std::string_view::npos || !all_tchars(line.substr(0, colon)))
            return fault_with(f, 400, "malformed header line");
        std::string_view name = line.substr(0, colon);
        std::string_view value = trim_ows(line.substr(colon + 1));
        for (char c : value)
            if (c == '\0' || c == '\r' || c == '\n') return fault_with(f, 400, "malformed header line");
        if (ascii_iequals(name, "Content-Length")) {
            uint64_t n = 0;
            if (!parse_length(value, n, f)) return false;
            if (out.has_length && n != out.content_length) return fault_with(f, 400, "conflicting Content-Length");
            out.has_length = true;
            out.content_length = n;
        } else if (ascii_iequals(name, "Transfer-Encoding")) {
            if (out.chunked || !ascii_iequals(value, "chunked")) return fault_with(f, 501, "unsupported Transfer-Encoding");
            out.chunked = true;
        } else if (ascii_iequals(name, "Host")) {
            if (out.has_host) return fault_with(f, 400, "more than one Host header");
            out.has_host = true;
            out.host = value;
        } else if (ascii_iequals(name, "Expect")) {
            out.expects_continue = ascii_iequals(value, "100-continue");
        } else if (ascii_iequals(name, "Origin")) {
            if (out.has_origin) return fault_with(f, 400, "more than one Origin header");
            out.has_origin = true;
            out.origin = value;
        }
    }
    // Both framings at once is how requests get smuggled past proxies; refuse it.
    if (out.chunked && out.has_length) return fault_with(f, 400, "both Content-Length and Transfer-Encoding");
    return true;
}

chunk_status chunk_feed(chunk_decoder& d, std::string_view in, buf& body, size_t& used) {
    using phase = chunk_decoder::phase;
    size_t i = 0;
    while (i < in.size() && d.at != phase::done) {
        char c = in[i];
        switch (d.at) {
            case phase::size: {
                int digit = (c >= '0' && c <= '9') ? c - '0'
                            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                     : -1;
                if (digit >= 0) {
                    if (++d.size_digits > 16) return chunk_status::bad;
                    d.remaining = d.remaining * 16 + static_cast<uint64_t>(digit);
                    if (d.remaining > max_body_bytes) return chunk_status::too_large;
                    ++i;
                    break;
                }
                if (d.size_digits == 0) return chunk_status::bad;
                if (c == ';' || c == ' ' || c == '\t') {
                    d.at = phase::extension;
                } else if (c == '\r') {
                    d.at = phase::size_lf;
                } else {
                    return chunk_status::bad;
                }
                ++i;
                break;
            }
            case phase::extension:  // chunk extensions carry nothing we use
                if (c == '\r') d.at = phase::size_lf;
                else if (c == '\n') return chunk_status::bad;
                ++i;
                break;
            case phase::size_lf:
                if (c != '\n') return chunk_status::bad;
                ++i;
                d.size_digits = 0;
                if (d.remaining == 0) {
                    d.at = phase::trailer_start;
                } else {
                    if (d.total + d.remaining > max_body_bytes) return chunk_status::too_large;
                    d.at = phase::data;
                }
                break;
            case phase::data: {
                size_t take = in.size() - i;
                if (take > d.remaining) take = static_cast<size_t>(d.remaining);
                buf_put(body, in.data() + i, take);
                i += take;
                d.remaining -= take;
                d.total += take;
                if (d.remaining == 0) d.at = phase::data_cr;
                break;
            }
            case phase::data_cr:
                if (c != '\r') return chunk_status::bad;
                d.at = phase::data_lf;
                ++i;
                break;
            case phase::data_lf:
                if (c != '\n') return chunk_status::bad;
                d.at = phase::size;
                ++i;
                break;
            case phase::trailer_start:  // after the last chunk: trailer lines, then an empty line
                if (c == '\r') d.at = phase::final_lf;
                else d.at = phase::trailer_line;
                ++i;
                break;
            case phase::trailer_line:
                if (c == '\r') d.at = phase::trailer_lf;
                ++i;
                break;
            case phase::trailer_lf:
                if (c != '\n') return chunk_status::bad;
                d.at = phase::trailer_start;
                ++i;
                break;
            case phase::final_lf:
                if (c != '\n') return chunk_status::bad;
                d.at = phase::done;
                ++i;
                break;
            case phase::done:
                break;
        }
    }
    used = i;
    return d.at == phase::done ? chunk_status::done : chunk_status::more;
}

read_outcome read_request(const socket_handle& client, http_request& req) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(request_deadline_ms);
    read_outcome out;
    char block[8192];
    size_t searched = 0;  // bytes of `raw` already searched for the header end
    chunk_decoder chunks;
    bool body_done = false;

    auto fail = [&](int status, const char* message) {
        out.fault = {status, message};
        return out;
    };

    while (!body_done) {
        // A declared body is received straight into its place in `raw`, in
        // reads as large as what is still to come (up to 1 MiB).
        char* dst = block;
        size_t room = sizeof block;
        bool into_raw = req.header_len != 0 && !req.head.chunked;
        if (into_raw) {
            uint64_t to_come = req.head.content_length - (req.raw.len - req.header_len);
            room = to_come < (1u << 20) ? static_cast<size_t>(to_come) : (1u << 20);
            if (!buf_reserve(req.raw, room)) return fail(500, "out of memory");
            dst = req.raw.data + req.raw.len;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        recv_result r = left > 0 ? sock_recv_within(client, dst, room, static_cast<int>(left))
                                 : recv_result{recv_status::timed_out, 0};
        if (r.status == recv_status::timed_out && clock::now() < deadline) continue;  // woke early
        if (r.status != recv_status::data) {
            if (req.raw.len == 0) {
                out.silent = true;
                return out;
            }
            if (r.status == recv_status::timed_out) return fail(408, "request not complete within 30 seconds");
            return fail(400, "connection closed before the request was complete");
        }

        std::string_view fresh(dst, r.count);  // body bytes that came in this pass
        if (req.header_len == 0) {
            buf_put(req.raw, fresh);
            if (req.raw.failed) return fail(500, "out of memory");
            std::string_view text = req.raw.view();
            size_t end = text.find("\r\n\r\n", searched >= 3 ? searched - 3 : 0);
            searched = text.size();
            if (end == std::string_view::npos) {
                if (text.size() > max_header_bytes) return fail(431, "request header block too large");
                continue;
            }
            req.header_len = end + 4;
            if (req.header_len > max_header_bytes) return fail(431, "request header block too large");
            if (!parse_head(text.substr(0, req.header_len), req.head, out.fault)) return out;
            if (!caller_allowed(req.head, out.fault)) return out;
            // Room for the whole declared body at once (it is capped above),
            // so it is never copied as it grows; pages the body never reaches
            // are never touched. This may move `raw`: spans are taken after.
            if (!req.head.chunked && !buf_reserve(req.raw, static_cast<size_t>(req.head.content_length)))
                return fail(500, "out of memory");
            fresh = req.raw.view().substr(req.header_len);
            // Clients such as curl hold back a large body until told to go on;
            // without this they would wait a second before every upload.
            bool body_pending = req.head.chunked ? fresh.empty() : fresh.size() < req.head.content_length;
            if (req.head.expects_continue && body_pending) sock_send_all(client, "HTTP/1.1 100 Continue\r\n\r\n");
        } else if (into_raw) {
            buf_commit(req.raw, r.count);
        }

        if (req.head.chunked) {
            // The chunked framing is decoded as it arrives and never kept.
            size_t used = 0;
            chunk_status st = chunk_feed(chunks, fresh, req.decoded, used);
            if (req.decoded.failed) return fail(500, "out of memory");
            if (st == chunk_status::bad) return fail(400, "malformed chunked body");
            if (st == chunk_status::too_large) return fail(413, "request body too large");
            body_done = st == chunk_status::done;
        } else {
            body_done = req.raw.len - req.header_len >= req.head.content_length;
        }
    }

    // `raw` stops growing here, so spans into it stay valid from now on.
    std::string_view text = req.raw.view();
    request_fault ignored;
    parse_head(text.substr(0, req.header_len), req.head, ignored);
    if (req.head.chunked) {
        req.body = req.decoded.view();
    } else {
        // Bytes past the declared length (a pipelined request) are not ours.
        req.body = text.substr(req.header_len, static_cast<size_t>(req.head.content_length));
    }
    return out;
}
