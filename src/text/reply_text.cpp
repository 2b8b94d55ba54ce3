#include "text/reply_text.hpp"

#include "text/bounded.hpp"

const char* reason_phrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 413: return "Content Too Large";
        case 415: return "Unsupported Media Type";
        case 422: return "Unprocessable Content";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: return "Unknown";
    }
}

size_t format_reply_header(char (&out)[256], int status, const char* reason, std::string_view content_type,
                           size_t body_len) {
    return bformat(out,
                   "HTTP/1.1 %d %s\r\nContent-Type: %.*s\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                   status, reason, static_cast<int>(content_type.size()), content_type.data(), body_len);
}

void put_error_body(buf& body, std::string_view message) {
    buf_put(body, "{\"error\":{\"message\":\"");
    json_escape(body, message);
    buf_put(body, "\",\"type\":\"zelk_shim_error\"}}");
}
