// The process entry: settings, the loopback listener, then the accept loop
// for the rest of the process's life.
#include <cstdio>
#include <cstring>

#include "platform/host.hpp"
#include "platform/net.hpp"
#include "platform/upstream.hpp"
#include "startup/listener.hpp"
#include "settings/version.hpp"
#include "startup/load_settings.hpp"

namespace {


constexpr const char* help_text =
    "usage: zelk-shim [--port N | -p N] [--help] [--version]\n"
    "\n"
    "Relays chat requests from local clients on 127.0.0.1 to one upstream\n"
    "chat-completions service, with a fixed system message and model.\n"
    "\n"
    "options:\n"
    "  --port N, -p N     loopback port to listen on (default 8080; 0 lets the\n"
    "                     system choose); taken ports are skipped, up to 20\n"
    "  --help             print this text and exit\n"
    "  --version          print the version and exit\n"
    "\n"
    "settings (later sources win when they give a non-empty value):\n"
    "  zelk_shim.ini beside the executable, section [shim]: url, key, model,\n"
    "                     origins, proxy, local_dialect, access_key, log,\n"
    "                     context_length, capabilities, retries, fallback_url,\n"
    "                     fallback_key, fallback_model\n"
    "  ZELK_SHIM_URL      upstream chat-completions URL (http:// or https://)\n"
    "  ZELK_SHIM_KEY      bearer key sent to the upstream\n"
    "  ZELK_SHIM_MODEL    model name sent to the upstream (default auto)\n"
    "  ZELK_SHIM_EMBED_MODEL (ini: embed_model) the embedding model sent upstream\n"
    "                     for /v1/embeddings, /api/embed and /api/embeddings\n"
    "                     (default none: embeddings are not served)\n"
    "  ZELK_SHIM_EMBED_URL (ini: embed_url) the upstream embeddings URL (default:\n"
    "                     the chat URL with /chat/completions as /embeddings)\n"
    "  ZELK_SHIM_EMBED_KEY (ini: embed_key) its bearer key (default: the chat key)\n"
    "  GARVO_SHIM_PORT    port, overriding --port\n"
    "  ZELK_SHIM_DEBUG    when non-empty, keep a copy of the last rewritten request\n"
    "  ZELK_SHIM_ORIGINS  browser origins let in besides pages on loopback, comma-\n"
    "                     separated: https://app.example, chrome-extension://*,\n"
    "                     null, or * (any web page: unsafe)\n"
    "  ZELK_SHIM_PROXY    (ini: proxy) http://[user:password@]host:port, the HTTP\n"
    "                     proxy for every upstream call (a CONNECT tunnel for\n"
    "                     https); the environment's *_proxy variables never count\n"
    "  ZELK_SHIM_LOCAL_DIALECT (ini: local_dialect) relay (default) or full\n"
    "  ZELK_SHIM_ACCESS_KEY (ini: access_key) when set, every request but the\n"
    "                     health probe must carry Authorization: Bearer <it>:\n"
    "                     chat-completions SDKs pass it as their apiKey,\n"
    "                     local-model libraries as a custom header\n"
    "                     Authorization: Bearer <it>, curl with -H\n"
    "  ZELK_SHIM_CONTEXT_LENGTH (ini: context_length) the upstream model's context\n"
    "                     length in tokens, as local-model clients are told it\n"
    "                     (default 128000)\n"
    "  ZELK_SHIM_CAPABILITIES (ini: capabilities) what local-model clients are told\n"
    "                     the model does besides completion: a comma list of\n"
    "                     tools, vision, thinking (default tools)\n"
    "  ZELK_SHIM_CONNECT_TIMEOUT (ini: connect_timeout) seconds to wait for the\n"
    "                     connection to the upstream, 1 to 300 (default 10)\n"
    "  ZELK_SHIM_IDLE_TIMEOUT (ini: idle_timeout) seconds the upstream may stay\n"
    "                     silent, before its answer and between its bytes, 1 to\n"
    "                     3600 (default 600)\n"
    "  ZELK_SHIM_PERSONA  (ini: persona) a UTF-8 text file (a relative path is\n"
    "                     beside the executable) whose text is the system message\n"
    "                     in front of every chat, or none for no system message\n"
    "                     (default: the built-in persona)\n"
    "  ZELK_SHIM_RETRIES  (ini: retries) how often a turn is tried again when the\n"
    "                     upstream could not be reached, is rate limited (429) or\n"
    "                     overloaded (502, 503, 529), before any answer: 0 to 5\n"
    "                     (default 2; 0: never)\n"
    "  ZELK_SHIM_FALLBACK_URL, ZELK_SHIM_FALLBACK_KEY, ZELK_SHIM_FALLBACK_MODEL\n"
    "                     (ini: fallback_url, fallback_key, fallback_model) another\n"
    "                     upstream, its key and model (default: the model setting):\n"
    "                     a turn goes there when the first stumbles, and turns\n"
    "                     start there for 30 s after that; unset: none\n"
    "  ZELK_SHIM_LOG      (ini: log) request log: 1 or stderr, or a file to append\n"
    "                     to; empty or 0 is off. One line per request, e.g.\n"
    "                     time=2026-12-09T13:05:12.345Z method=POST\n"
    "                     path=\"/v1/chat/completions\" route=chat\n"
    "                     dialect=chat-completions mode=stream status=200\n"
    "                     upstream_status=200 upstream=primary attempts=1\n"
    "                     bytes_in=231 bytes_out=5120\n"
    "                     first_byte_ms=210 total_ms=1532 prompt_tokens=57\n"
    "                     completion_tokens=412 error=\"\"\n";

// Start-up failed after its line was written.
int stop_startup(int status) {
    std::fflush(stderr);
    hold_failure_on_screen();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(help_text, stdout);
            std::fputs(upstream_trust_help, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zelk-shim %s (commit %s)\n", shim_version, shim_commit);
            return 0;
        }
    }

    // main never returns once it listens: connection threads read these
    // until the process ends.
    loaded_settings loaded;
    startup_error problem;
    if (!load_settings(argc, argv, loaded, problem)) {
        std::fprintf(stderr, "zelk-shim: %s\n", problem.line);
        return stop_startup(2);
    }
    shim_settings& settings = loaded.shim;

    error_text err;
    upstream_config upstream;
    upstream.target = settings.target;
    upstream.proxy = settings.proxy;
    upstream.ca_bundle = settings.ca_bundle;
    upstream.connect_timeout_ms = settings.connect_timeout_ms;
    upstream.silence_timeout_ms = settings.idle_timeout_ms;
    static upstream_client_ptr client;  // used by every connection thread until the process ends
    if (net_startup(err)) client = upstream_client_open(upstream, err);
    if (!client) {
        std::fprintf(stderr, "zelk-shim: %s\n", err.s);
        return stop_startup(1);
    }
    settings.upstream = client.get();
    static upstream_client_ptr fallback;  // the same for the fallback upstream, when there is one
    if (settings.has_fallback) {
        upstream.target = settings.fallback_target;
        fallback = upstream_client_open(upstream, err);
        if (!fallback) {
            std::fprintf(stderr, "zelk-shim: %s\n", err.s);
            return stop_startup(1);
        }
        settings.fallback_upstream = fallback.get();
    }
    // The embeddings upstream keeps its own warm connection.
    static upstream_client_ptr embed_client;
    if (settings.embed) {
        upstream.target = loaded.embed.target;
        embed_client = upstream_client_open(upstream, err);
        if (!embed_client) {
            std::fprintf(stderr, "zelk-shim: %s\n", err.s);
            return stop_startup(1);
        }
        loaded.embed.upstream = embed_client.get();
    }

    socket_handle listener;
    listener_result bound = open_listener(loaded.port, listener);
    if (!bound.ok) {
        std::fprintf(stderr, "zelk-shim: listen failed %d\n", bound.error_code);
        return stop_startup(1);
    }
    std::fprintf(stderr, "zelk-shim: listening on 127.0.0.1:%d -> %s (model=%s)%s%s\n", bound.port, CFG_URL, CFG_MODEL,
                 settings.proxy.enabled() ? " via proxy " : "", settings.proxy.url);
    // Without a key every chat request would fail upstream with 401: say at
    // once where it goes.
    if (!CFG_KEY[0])
        std::fprintf(stderr, "zelk-shim: no key configured: put key = <your key> under [shim] in %s, or set ZELK_SHIM_KEY\n",
                     loaded.ini_path);
    std::fflush(stderr);
    // The first chat turn should not wait for the upstream's handshakes.
    if (settings.upstream_error.empty()) upstream_warm_up(*client);
    if (fallback) upstream_warm_up(*fallback);
    if (embed_client && loaded.embed.upstream_error.empty()) upstream_warm_up(*embed_client);
    accept_loop(listener, settings);
}
