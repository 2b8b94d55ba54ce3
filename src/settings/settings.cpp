#include "settings/settings.hpp"

#include <cstring>

#include "settings/upstream_url.hpp"

char CFG_URL[url_room + 1] = "https://api.openai.com/v1/chat/completions";
char CFG_KEY[key_room + 1] = "";
char CFG_MODEL[model_room + 1] = "auto";
char CFG_FALLBACK_URL[url_room + 1] = "";
char CFG_FALLBACK_KEY[key_room + 1] = "";
char CFG_FALLBACK_MODEL[model_room + 1] = "";

namespace {

size_t format_header_lines(char (&out)[key_room + 128], const char* key) {
    return bformat(out, "Content-Type: application/json\r\nAuthorization: Bearer %s\r\nAccept: text/event-stream\r\n",
                   key);
}

}  // namespace

void derive_upstream_settings(shim_settings& out) {
    out.model_name = CFG_MODEL;
    mask_keys_add(out.masks, CFG_KEY);
    if (!split_upstream_url(CFG_URL, out.target, out.upstream_error)) return;
    // A line break in the key would smuggle extra header lines upstream.
    if (std::strpbrk(CFG_KEY, "\r\n")) {
        set_error(out.upstream_error, "bad ZELK_SHIM_KEY: it holds a line break");
        return;
    }
    out.upstream_headers_len = format_header_lines(out.upstream_headers, CFG_KEY);
}

bool derive_fallback_settings(shim_settings& out) {
    if (!CFG_FALLBACK_URL[0]) return true;
    error_text err;
    if (!split_upstream_url(CFG_FALLBACK_URL, out.fallback_target, err)) return false;
    mask_keys_add(out.masks, CFG_FALLBACK_KEY);
    out.fallback_model_name = CFG_FALLBACK_MODEL[0] ? std::string_view(CFG_FALLBACK_MODEL) : out.model_name;
    out.fallback_headers_len = format_header_lines(out.fallback_headers, CFG_FALLBACK_KEY);
    out.has_fallback = true;
    return true;
}
