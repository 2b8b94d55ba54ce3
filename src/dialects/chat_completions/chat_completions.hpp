// The chat-completions dialect (POST /v1/chat/completions): the caller's body
// rewritten (the persona first, the configured model) and sent on, and the
// upstream's answer passed back as it came, streamed or whole.
#pragma once
#include "http/connection.hpp"
#include "relay/passthrough.hpp"
#include "settings/settings.hpp"

void relay_chat_completions(client_conn& client, const chat_request& request, const shim_settings& settings);
