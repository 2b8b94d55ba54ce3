// Texts of the HTTP replies the shim assembles itself: status lines, header
// blocks and the JSON error body. Every reply closes its connection, so
// every header block says so.
#pragma once
#include <cstddef>
#include <string_view>

#include "text/buf.hpp"

// The standard reason phrase of a status code ("Not Found"), or "Unknown".
const char* reason_phrase(int status);

// "HTTP/1.1 <status> <reason>\r\nContent-Type: <type>\r\nContent-Length: <n>\r\nConnection: close\r\n\r\n"
// into `out`; returns its length.
size_t format_reply_header(char (&out)[256], int status, const char* reason, std::string_view content_type,
                           size_t body_len);

// {"error":{"message":"<escaped text>","type":"zelk_shim_error"}}
void put_error_body(buf& body, std::string_view message);
