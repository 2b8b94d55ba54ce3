// Reading one request from a local client: the header block, then the body
// as its Content-Length or chunked framing declares it. Nothing is routed
// before the whole request is in.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/net.hpp"
#include "text/buf.hpp"

// Limits that keep one client from holding unbounded memory or a thread for ever.
inline constexpr size_t max_header_bytes = 64 * 1024;
inline constexpr uint64_t max_body_bytes = 32ull * 1024 * 1024;
inline constexpr int request_deadline_ms = 30 * 1000;

// The parts of a header block the shim acts on, as spans over its bytes.
struct request_head {
    std::string_view request_line;
    std::string_view method;
    std::string_view target;
    bool has_host = false;
    std::string_view host;
    bool has_origin = false;
    std::string_view origin;
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

// Parses a complete header block (ending in the empty line). Returns false
// with `fault` set when the block is malformed or declares what we refuse.
bool parse_head(std::string_view head, request_head& out, request_fault& fault);

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

struct http_request {
    buf raw;                // the bytes as received
    size_t header_len = 0;  // just past the empty line that ends the header block
    request_head head;      // spans into `raw`, valid once reading is done
    buf decoded;            // the body of a chunked request
    std::string_view body;  // the plain body, in `raw` or in `decoded`
};

struct read_outcome {
    bool silent = false;  // the client sent nothing at all: no reply
    request_fault fault;  // status 0 when the request is complete and acceptable
};

read_outcome read_request(const socket_handle& client, http_request& req);
