// Who gets in. The listener is on loopback, but any web page the user opens
// can still send requests to it, and with DNS rebinding read the answers.
// A Host that is not a loopback name, or a web Origin that is not on
// loopback, is refused before anything else happens.
#pragma once
#include <string_view>

#include "front/request.hpp"

// "localhost", "127.0.0.1" or "[::1]", with or without a port, any case.
bool is_loopback_authority(std::string_view authority);

// False with a 403 fault when the Host or the Origin names a foreign site.
bool caller_allowed(const http_request& req, request_fault& fault);
