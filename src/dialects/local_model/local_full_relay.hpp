// /api/chat when the local-model dialect is spoken in full (the
// local_dialect setting "full"): the caller's request read as JSON and
// converted with every field's meaning kept, and the upstream's answer
// turned into the dialect's own replies: newline-delimited objects for a
// stream, one object for a buffered request.
#pragma once
#include "http/connection.hpp"
#include "relay/passthrough.hpp"
#include "settings/settings.hpp"

void relay_local_full(client_conn& client, const chat_request& request, const shim_settings& settings);
