#include "settings/settings.hpp"

#include <cstring>

#include "settings/upstream_url.hpp"

char CFG_URL[url_room + 1] = "https://api.openai.com/v1/chat/completions";
char CFG_KEY[key_room + 1] = "";
char CFG_MODEL[model_room + 1] = "auto";

void derive_upstream_settings(shim_settings& out) {
    out.model_name = CFG_MODEL;
    mask_keys_add(out.masks, CFG_KEY);
    if (!split_upstream_url(CFG_URL, out.target, out.upstream_error)) return;
    // A line break in the key would smuggle extra header lines upstream.
    if (std::strpbrk(CFG_KEY, "\r\n")) {
        set_error(out.upstream_error, "bad ZELK_SHIM_KEY: it holds a line break");
        return;
    }
    out.upstream_headers_len =
        bformat(out.upstream_headers,
                "Content-Type: application/json\r\nAuthorization: Bearer %s\r\nAccept: text/event-stream\r\n", CFG_KEY);
}
