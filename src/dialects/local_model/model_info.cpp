#include "dialects/local_model/model_info.hpp"

#include <cstdint>

#include "http/reply.hpp"
#include "dialects/local_model/local_lines.hpp"
#include "settings/version.hpp"
#include "text/json_read.hpp"
#include "text/json_scan.hpp"

namespace {

constexpr int64_t ns_per_day = 86400ll * 1000 * 1000 * 1000;

void put_time(buf& body, int64_t utc_ns) {
    char t[32];
    size_t n = format_utc(t, utc_ns);
    buf_put(body, t, n);
}

// {"parent_model":"","format":...}: the fields every entry's readers take.
void put_details(buf& body) {
    buf_put(body, "{\"parent_model\":\"\",\"format\":\"gguf\",\"family\":\"zelk\",\"families\":[\"zelk\"],"
                  "\"parameter_size\":\"\",\"quantization_level\":\"\"}");
}

// "name", "model", "size", "digest" and "details" of an entry in the
// local-model lists (tags and ps); `middle` goes between the name and the
// size, for the tags' modified_at.
void put_entry_start(buf& body, std::string_view model, std::string_view middle_key, int64_t middle_ns) {
    buf_put(body, "{\"name\":\"");
    put_tagged_name(body, model);
    buf_put(body, "\",\"model\":\"");
    put_tagged_name(body, model);
    if (!middle_key.empty()) {
        buf_put(body, "\",\"");
        buf_put(body, middle_key);
        buf_put(body, "\":\"");
        put_time(body, middle_ns);
    }
    buf_put(body, "\",\"size\":0,\"digest\":\"");
    put_model_digest(body, model);
    buf_put(body, "\",\"details\":");
    put_details(body);
}

// The embedding model, when one is configured, is listed beside the chat model.
void put_model_list(buf& body, const shim_settings& settings, bool with_local_models, int64_t now) {
    buf_put(body, "{\"object\":\"list\",\"data\":[{\"id\":\"");
    json_escape(body, settings.model());
    buf_put(body, "\",\"object\":\"model\",\"owned_by\":\"zelk\"}");
    if (settings.embed) {
        buf_put(body, ",{\"id\":\"");
        json_escape(body, settings.embed->model());
        buf_put(body, "\",\"object\":\"model\",\"owned_by\":\"zelk\"}");
    }
    buf_put(body, "]");
    if (with_local_models) {
        buf_put(body, ",\"models\":[");
        put_entry_start(body, settings.model(), "modified_at", now);
        buf_put(body, "}");
        if (settings.embed) {
            buf_put(body, ",");
            put_entry_start(body, settings.embed->model(), "modified_at", now);
            buf_put(body, "}");
        }
        buf_put(body, "]");
    }
    buf_put(body, "}");
}

// The configured model, loaded for as long as the shim runs: it expires a
// year from now, which clients show as staying loaded.
void put_ps_body(buf& body, const shim_settings& settings, int64_t now) {
    buf_put(body, "{\"models\":[");
    for (int k = 0; k < (settings.embed ? 2 : 1); ++k) {
        if (k) buf_put(body, ",");
        put_entry_start(body, k ? settings.embed->model() : settings.model(), {}, 0);
        buf_put(body, ",\"expires_at\":\"");
        put_time(body, now + 365 * ns_per_day);
        buf_put(body, "\",\"size_vram\":0,\"context_length\":");
        buf_put_int(body, settings.context_length);
        buf_put(body, "}");
    }
    buf_put(body, "]}");
}

// True when a show request names the embedding model, tagged or not.
bool names_embed_model(json_value name, const shim_settings& settings) {
    if (!settings.embed) return false;
    std::string_view model = settings.embed->model();
    if (json_equals(name, model)) return true;
    buf tagged;
    put_tagged_name(tagged, model);
    buf decoded;
    json_decode(tagged.view(), decoded);
    return !decoded.failed && json_equals(name, decoded.view());
}

void put_capabilities(buf& body, unsigned capabilities) {
    buf_put(body, "[\"completion\"");
    if (capabilities & capability_tools) buf_put(body, ",\"tools\"");
    if (capabilities & capability_vision) buf_put(body, ",\"vision\"");
    if (capabilities & capability_thinking) buf_put(body, ",\"thinking\"");
    buf_put(body, "]");
}

// Any model name is answered for (every request goes to the configured
// model), but the request must name one, as the dialect's own server wants.
int put_show_reply(buf& body, std::string_view request_body, const shim_settings& settings, int64_t now) {
    json_doc doc = json_read(request_body);
    if (!doc.ok() || !doc.root.is(json_kind::object)) {
        put_plain_error_body(body, "the body must be a JSON object naming the model");
        return 400;
    }
    json_value name = json_get(doc.root, "model");
    if (!name.given()) name = json_get(doc.root, "name");  // what older clients send
    if (!name.is(json_kind::string) || json_raw(name).empty()) {
        put_plain_error_body(body, name.given() ? "model: expected a string" : "model is required");
        return 400;
    }
    bool embedding = names_embed_model(name, settings);
    std::string_view model = embedding ? settings.embed->model() : settings.model();
    buf_put(body, "{\"license\":\"\",\"modelfile\":\"FROM ");
    put_tagged_name(body, model);
    buf_put(body, "\\n\",\"parameters\":\"num_ctx ");
    buf_put_int(body, settings.context_length);
    buf_put(body, "\",\"template\":\"{{ .Prompt }}\",\"system\":\"\",\"details\":");
    put_details(body);
    buf_put(body, ",\"model_info\":{\"general.architecture\":\"zelk\",\"general.basename\":\"");
    json_escape(body, model);
    buf_put(body, "\",\"general.parameter_count\":0,\"zelk.context_length\":");
    buf_put_int(body, settings.context_length);
    buf_put(body, "},\"capabilities\":");
    if (embedding)
        buf_put(body, "[\"embedding\"]");
    else
        put_capabilities(body, settings.model_capabilities);
    buf_put(body, ",\"modified_at\":\"");
    put_time(body, now);
    buf_put(body, "\"}");
    return 200;
}

}  // namespace

void put_tagged_name(buf& out, std::string_view model) {
    json_escape(out, model);
    size_t slash = model.rfind('/');
    size_t last = model.rfind(':');
    bool tagged = last != std::string_view::npos && (slash == std::string_view::npos || last > slash);
    if (!tagged) buf_put(out, ":latest");
}

// Four lanes of FNV-1a over the name, each finished by a 64-bit mixer so the
// digits spread like a hash's: not a cryptographic digest, only a stable one.
void put_model_digest(buf& out, std::string_view model) {
    static constexpr char hex[] = "0123456789abcdef";
    char digits[64];
    for (unsigned lane = 0; lane < 4; ++lane) {
        uint64_t h = 0xcbf29ce484222325ull ^ (0x9e3779b97f4a7c15ull * (lane + 1));
        for (char c : model) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        h ^= h >> 30;
        h *= 0xbf58476d1ce4e5b9ull;
        h ^= h >> 27;
        h *= 0x94d049bb133111ebull;
        h ^= h >> 31;
        for (unsigned k = 0; k < 16; ++k) digits[lane * 16 + k] = hex[(h >> (60 - 4 * k)) & 0xf];
    }
    buf_put(out, digits, sizeof digits);
}

int answer_model_query(model_query query, std::string_view request_body, const shim_settings& settings, buf& body) {
    int64_t now = system_local_clock().utc_ns();
    switch (query) {
        case model_query::list: put_model_list(body, settings, false, now); return 200;
        case model_query::tags: put_model_list(body, settings, true, now); return 200;
        case model_query::version:
            buf_put(body, "{\"version\":\"");
            json_escape(body, shim_version);
            buf_put(body, "\"}");
            return 200;
        case model_query::show: return put_show_reply(body, request_body, settings, now);
        case model_query::ps: put_ps_body(body, settings, now); return 200;
        case model_query::unsupported:
            put_plain_error_body(body, "zelk-shim relays chat and generate to one upstream model and keeps no model "
                                       "store: embeddings, pull, push, create, copy, delete and blobs are not served");
            return 404;
    }
    return 404;
}
