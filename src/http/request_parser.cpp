#include "http/request_parser.hpp"

#include "text/ascii.hpp"

namespace {

bool fault_with(request_fault& f, int status, const char* message) {
    f.status = status;
    f.message = message;
    return false;
}

text_span span_of(std::string_view whole, std::string_view part) {
    return {static_cast<uint32_t>(part.data() - whole.data()), static_cast<uint32_t>(part.size())};
}

bool parse_request_line(std::string_view head, std::string_view line, request_head& out, request_fault& f) {
    size_t sp1 = line.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return fault_with(f, 400, "malformed request line");
    std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = line.substr(sp2 + 1);
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    bool well_formed_version = version.size() == 8 && version.substr(0, 5) == "HTTP/" && digit(version[5]) &&
                               version[6] == '.' && digit(version[7]);
    if (!http_is_token(method) || target.empty() || !well_formed_version)
        return fault_with(f, 400, "malformed request line");
    for (char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return fault_with(f, 400, "malformed request line");
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return fault_with(f, 505, "HTTP version not supported");
    out.request_line = span_of(head, line);
    out.method = span_of(head, method);
    out.target = span_of(head, target);
    out.version = span_of(head, version);
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

bool parse_head(std::string_view head, request_head& out, request_fault& f) {
    out = request_head{};
    size_t eol = head.find("\r\n");
    if (eol == std::string_view::npos) return fault_with(f, 400, "malformed request line");
    if (!parse_request_line(head, head.substr(0, eol), out, f)) return false;

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
        if (colon == std::string_view::npos || !http_is_token(line.substr(0, colon)))
            return fault_with(f, 400, "malformed header line");
        std::string_view name = line.substr(0, colon);
        std::string_view value = ascii_trim_blanks(line.substr(colon + 1));
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
            out.host = span_of(head, value);
        } else if (ascii_iequals(name, "Expect")) {
            out.expects_continue = ascii_iequals(value, "100-continue");
        } else if (ascii_iequals(name, "Origin")) {
            if (out.has_origin) return fault_with(f, 400, "more than one Origin header");
            out.has_origin = true;
            out.origin = span_of(head, value);
        } else if (ascii_iequals(name, "Content-Type")) {
            out.has_content_type = true;
            out.content_type = span_of(head, value);
        } else if (ascii_iequals(name, "Authorization")) {
            ++out.authorization_count;
            out.authorization = span_of(head, value);
        } else if (ascii_iequals(name, "Access-Control-Request-Method")) {
            out.ac_request_method = span_of(head, value);
        } else if (ascii_iequals(name, "Access-Control-Request-Headers")) {
            out.ac_request_headers = span_of(head, value);
        } else if (ascii_iequals(name, "Access-Control-Request-Private-Network")) {
            out.ac_private_network = ascii_iequals(value, "true");
        }
    }
    // Both framings at once is how requests get smuggled past proxies; refuse it.
    if (out.chunked && out.has_length) return fault_with(f, 400, "both Content-Length and Transfer-Encoding");
    return true;
}

}  // namespace

int parse_request_head(std::string_view bytes, size_t searched, request_head& out, request_fault& fault) {
    size_t end = bytes.find("\r\n\r\n", searched >= 3 ? searched - 3 : 0);
    if (end == std::string_view::npos) {
        if (bytes.size() > max_header_bytes) return fault_with(fault, 431, "request header block too large"), parse_fault;
        return parse_partial;
    }
    size_t len = end + 4;
    if (len > max_header_bytes) return fault_with(fault, 431, "request header block too large"), parse_fault;
    if (!parse_head(bytes.substr(0, len), out, fault)) return parse_fault;
    return static_cast<int>(len);
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

