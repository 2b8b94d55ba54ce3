#include "settings/settings.hpp"

#include <cstring>

#include "settings/upstream_url.hpp"

char CFG_URL[url_room + 1] = "https://api.openai.com/v1/chat/completions";
char CFG_KEY[key_room + 1] = "";
char CFG_MODEL[model_room + 1] = "auto";
char CFG_FALLBACK_URL[url_room + 1] = "";
char CFG_FALLBACK_KEY[key_room + 1] = "";
char CFG_FALLBACK_MODEL[model_room + 1] = "";
char CFG_EMBED_MODEL[model_room + 1] = "";
char CFG_EMBED_URL[url_room + 1] = "";
char CFG_EMBED_KEY[key_room + 1] = "";

namespace {

size_t format_header_lines(char (&out)[key_room + 128], const char* key) {
    return bformat(out, "Content-Type: application/json\r\nAuthorization: Bearer %s\r\nAccept: text/event-stream\r\n",
                   key);
}

// The target and header lines (or the error every request gets) for one
// upstream.
void derive_target(const char* url, const char* key, const char* key_setting, shim_settings& out) {
    if (!split_upstream_url(url, out.target, out.upstream_error)) return;
    // A line break in the key would smuggle extra header lines upstream.
    if (std::strpbrk(key, "\r\n")) {
        set_error(out.upstream_error, "bad %s: it holds a line break", key_setting);
        return;
    }
    out.upstream_headers_len = format_header_lines(out.upstream_headers, key);
}

}  // namespace

void derive_upstream_settings(shim_settings& out) {
    out.model_name = CFG_MODEL;
    mask_keys_add(out.masks, CFG_KEY);
    derive_target(CFG_URL, CFG_KEY, "ZELK_SHIM_KEY", out);
}

bool derive_embed_url(std::string_view chat_url, char (&out)[url_room + 1]) {
    constexpr std::string_view chat_tail = "/chat/completions";
    size_t query = chat_url.find('?');
    std::string_view path_end = chat_url.substr(0, query == std::string_view::npos ? chat_url.size() : query);
    std::string_view rest = chat_url.substr(path_end.size());
    // The tail must be the path's, not the authority's.
    size_t scheme = path_end.find("://");
    size_t path_at = scheme == std::string_view::npos ? std::string_view::npos : path_end.find('/', scheme + 3);
    // A URL without a path is taken with the default chat path.
    bool bare = scheme != std::string_view::npos && path_at == std::string_view::npos;
    if (!bare && (path_at == std::string_view::npos || !path_end.ends_with(chat_tail) ||
                  path_end.size() - chat_tail.size() < path_at))
        return false;
    std::string_view base = bare ? path_end : path_end.substr(0, path_end.size() - chat_tail.size());
    std::string_view middle = bare ? "/v1/embeddings" : "/embeddings";
    if (base.size() + middle.size() + rest.size() > url_room) return false;
    bformat(out, "%.*s%.*s%.*s", static_cast<int>(base.size()), base.data(), static_cast<int>(middle.size()),
            middle.data(), static_cast<int>(rest.size()), rest.data());
    return true;
}

bool derive_embed_settings(shim_settings& chat, shim_settings& embed, error_text& err) {
    if (!CFG_EMBED_MODEL[0]) return true;
    if (!CFG_EMBED_URL[0] && !derive_embed_url(CFG_URL, CFG_EMBED_URL)) {
        set_error(err, "ZELK_SHIM_EMBED_URL (ini key embed_url) is needed: the chat URL's path does not end in "
                       "/chat/completions, so the embeddings URL cannot be worked out from it");
        return false;
    }
    const char* key = CFG_EMBED_KEY[0] ? CFG_EMBED_KEY : CFG_KEY;
    mask_keys_add(chat.masks, key);
    embed = chat;
    embed.embed = nullptr;
    embed.target = {};
    embed.upstream_error = {};
    embed.upstream_headers_len = 0;
    embed.upstream = nullptr;
    embed.has_fallback = false;  // the chat fallback serves chats only
    embed.fallback_upstream = nullptr;
    embed.model_name = CFG_EMBED_MODEL;
    derive_target(CFG_EMBED_URL, key, CFG_EMBED_KEY[0] ? "ZELK_SHIM_EMBED_KEY" : "ZELK_SHIM_KEY", embed);
    chat.embed = &embed;
    return true;
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
