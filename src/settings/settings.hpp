// The process-wide settings and everything worked out from them. Built once
// by start-up (load_settings) before the first connection is accepted and
// only read after that, so connection threads share them without locks.
#pragma once
#include <cstddef>
#include <string_view>

#include "platform/upstream.hpp"
#include "settings/origins.hpp"
#include "settings/persona.hpp"
#include "text/bounded.hpp"
#include "text/key_mask.hpp"

// The longest value each setting may have. Start-up refuses a longer one
// rather than cutting it: a cut key or model would go upstream and come back
// as a puzzling 401 or 404. Identity providers' bearer tokens run to a few
// KiB, and inference-profile names to a couple of hundred bytes.
inline constexpr size_t url_room = 511;
inline constexpr size_t key_room = 8192;
inline constexpr size_t model_room = 256;
inline constexpr size_t access_key_room = 256;

extern char CFG_URL[url_room + 1];
extern char CFG_KEY[key_room + 1];
extern char CFG_MODEL[model_room + 1];
// The fallback upstream's URL, key and model; an empty URL: none.
extern char CFG_FALLBACK_URL[url_room + 1];
extern char CFG_FALLBACK_KEY[key_room + 1];
extern char CFG_FALLBACK_MODEL[model_room + 1];
// The embeddings upstream: its model (empty: embeddings are not served), its
// URL and key (empty: worked out from the chat URL, the chat key).
extern char CFG_EMBED_MODEL[model_room + 1];
extern char CFG_EMBED_URL[url_room + 1];
extern char CFG_EMBED_KEY[key_room + 1];

struct log_output;

// What the shim reports its model can do besides completion ("capabilities").
enum model_capability : unsigned { capability_tools = 1, capability_vision = 2, capability_thinking = 4 };

struct shim_settings {
    // Where chat requests go, split from CFG_URL.
    upstream_target target;
    // When not empty, every chat request fails with this text (an unusable
    // URL or key): reported per request, as a caller would expect to see it.
    error_text upstream_error;
    // The header lines of every upstream request, each ending in CR LF:
    // the key's line and two short ones.
    char upstream_headers[key_room + 128] = {};
    size_t upstream_headers_len = 0;
    // CFG_MODEL as it was built; it never changes after that.
    std::string_view model_name;
    // Keep a copy of the last rewritten request body (ZELK_SHIM_DEBUG).
    bool debug_copy = false;
    // Browser origins let in besides pages on loopback ("origins").
    origin_list origins;
    // Every upstream call goes through this proxy when it is set.
    upstream_proxy proxy;
    // Where each request's line goes; null when the log is off.
    const log_output* request_log = nullptr;
    // The upstream transport, opened once at start-up after the settings.
    upstream_client* upstream = nullptr;
    // Another CA bundle for the upstream's TLS (CURL_CA_BUNDLE, else
    // SSL_CERT_FILE); empty: the system's store.
    char ca_bundle[512] = {};
    // The local-model dialect converted in full rather than relayed
    // ("local_dialect" = full; relay by default).
    bool local_full = false;
    // When not empty, every request but the health probe and preflights
    // must carry "Authorization: Bearer <access_key>" ("access_key"); it
    // keeps other accounts of the machine from spending the key.
    char access_key[access_key_room + 1] = {};
    // What the local-model dialect's discovery reports about the upstream
    // model, which the shim cannot learn from it ("context_length",
    // "capabilities").
    unsigned context_length = 128000;
    unsigned model_capabilities = capability_tools;
    // The system message in front of every chat's messages ("persona": the
    // text of a file, or none); the built-in one when unset.
    persona_text persona = built_in_persona();
    // How long the upstream may take to accept a connection, and stay silent
    // once it has ("connect_timeout", "idle_timeout"), for the transport.
    int connect_timeout_ms = upstream_connect_timeout_default_ms;
    int idle_timeout_ms = upstream_silence_timeout_default_ms;

    // How many times a turn whose upstream stumbled before answering is
    // tried again ("retries"; 0: never).
    unsigned retries = 2;

    // The fallback upstream ("fallback_url", "fallback_key",
    // "fallback_model"): where a turn goes when the primary stumbles.
    bool has_fallback = false;
    upstream_target fallback_target;
    char fallback_headers[key_room + 128] = {};
    size_t fallback_headers_len = 0;
    std::string_view fallback_model_name;  // the model setting unless set
    upstream_client* fallback_upstream = nullptr;  // opened at start-up, as `upstream`

    // Every key the shim holds, masked in all the upstream says to callers.
    mask_keys masks;
    // The embeddings upstream, as a record of this same shape (its target,
    // header lines, transport, failure text and model; the same proxy,
    // limits and masks), so the shared exchange takes it as it takes the
    // chat's. Null when no embedding model is configured.
    const shim_settings* embed = nullptr;

    std::string_view model() const { return model_name; }
    std::string_view key() const { return CFG_KEY; }
    std::string_view header_lines() const { return {upstream_headers, upstream_headers_len}; }
    std::string_view fallback_header_lines() const { return {fallback_headers, fallback_headers_len}; }
};

// Works out the upstream's fields (target, header lines or the error every
// chat request gets, the model) from CFG_URL, CFG_KEY and CFG_MODEL.
void derive_upstream_settings(shim_settings& out);

// The same for the fallback upstream, from CFG_FALLBACK_URL, CFG_FALLBACK_KEY
// and CFG_FALLBACK_MODEL; false when its URL is set and cannot be used.
bool derive_fallback_settings(shim_settings& out);
// The embedding model's URL from the chat URL: a final "/chat/completions"
// of its path (before any query) replaced by "/embeddings". False when the
// path does not end so.
bool derive_embed_url(std::string_view chat_url, char (&out)[url_room + 1]);
// With CFG_EMBED_MODEL set, fills `embed` from `chat` and the embed settings
// (a URL worked out when none is given, the chat key when none is given),
// adds the embed key to both records' masks and points chat.embed at it.
// False with `err` set when the URL cannot be worked out.
bool derive_embed_settings(shim_settings& chat, shim_settings& embed, error_text& err);
