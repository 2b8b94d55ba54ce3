// Parsing one request as it arrives: the header block, then the body as its
// Content-Length or chunked framing declares it. Pure: bytes in, an answer
// out; no socket, clock or policy here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/buf.hpp"

// Limits that keep one client from holding unbounded memory.
inline constexpr size_t max_header_bytes = 64 * 1024;
inline constexpr uint64_t max_body_bytes = 32ull * 1024 * 1024;

// Where a piece of the header block lies: offsets, not pointers, so they
// stay true when the bytes move to a larger buffer.
struct text_span {
    uint32_t at = 0;
    uint32_t len = 0;
    std::string_view in(std::string_view bytes) const { return bytes.substr(at, len); }
};

// The parts of a header block the shim acts on.
struct request_head {
    text_span request_line;
    text_span method;
    text_span target;
    text_span version;
    bool has_host = false;
    text_span host;
    bool has_origin = false;
    text_span origin;
    bool has_content_type = false;
    text_span content_type;
    // Checked against the access key when one is set; never logged, never
    // sent upstream. More than one such line matches no key.
    int authorization_count = 0;
    text_span authorization;
    text_span ac_request_method;   // Access-Control-Request-Method, of a preflight
    text_span ac_request_headers;  // Access-Control-Request-Headers, of a preflight
    bool ac_private_network = false;  // Access-Control-Request-Private-Network: true
    bool has_length = false;
    uint64_t content_length = 0;
    bool chunked = false;
    bool expects_continue = false;  // "Expect: 100-continue": the client waits before sending its body
};

// Why a request cannot be served: a status and words for the error body.
struct request_fault {
    int status = 0;
    const char* message = "";
};

inline constexpr int parse_partial = -2;
inline constexpr int parse_fault = -1;

// Parses the header block at the start of `bytes`: returns its length (up
// to and including the empty line) once complete, parse_partial while it is
// not, or parse_fault with `fault` set. `searched` is how many bytes an
// earlier call already looked at, so a head arriving in pieces is scanned
// once.
int parse_request_head(std::string_view bytes, size_t searched, request_head& out, request_fault& fault);

// Decodes a chunked body as it arrives, in any split, into a plain body.
struct chunk_decoder {
    enum class phase { size, extension, size_lf, data, data_cr, data_lf, trailer_start, trailer_line, trailer_lf,
                       final_lf, done };
    phase at = phase::size;
    uint64_t remaining = 0;  // data bytes left in the current chunk
    size_t size_digits = 0;
    uint64_t total = 0;      // decoded bytes so far
};

enum class chunk_status { more, done, bad, too_large };

// Feeds `in`; decoded bytes are appended to `body`. `used` tells how many
// bytes of `in` belonged to the body (the rest follow the last chunk).
chunk_status chunk_feed(chunk_decoder& d, std::string_view in, buf& body, size_t& used);
