#include "front/guard.hpp"

#include "text/ascii.hpp"

namespace {

constexpr const char* origin_refused = "origin not allowed: only pages on localhost and the origins setting may call the shim";

// True when `authorization` is "Bearer <key>" (the scheme in any case). Every
// byte of the key is compared whatever the first difference, so the time
// taken does not tell a caller how much of a guess was right.
bool bearer_matches(std::string_view authorization, std::string_view key) {
    constexpr std::string_view scheme = "bearer";
    if (authorization.size() <= scheme.size() || !ascii_iequals(authorization.substr(0, scheme.size()), scheme) ||
        authorization[scheme.size()] != ' ')
        return false;
    std::string_view given = ascii_trim_blanks(authorization.substr(scheme.size()));
    unsigned diff = given.size() != key.size();
    for (size_t i = 0; i < key.size(); ++i)
        diff |= static_cast<unsigned char>(key[i]) ^ static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    return diff == 0;
}

}  // namespace

bool caller_allowed(const http_request& req, const origin_list& origins, request_fault& fault) {
    const request_head& head = req.head;
    if (head.has_host && !is_loopback_authority(req.view(head.host))) {
        fault = {403, "host not allowed: only localhost, 127.0.0.1 and [::1] may be used"};
        return false;
    }
    if (head.has_origin) {
        // Only web origins are refused outright: "null", file: and the
        // schemes of desktop frameworks belong to local applications.
        std::string_view origin = req.view(head.origin);
        size_t sep = origin.find("://");
        if (sep != std::string_view::npos) {
            std::string_view scheme = origin.substr(0, sep);
            if ((ascii_iequals(scheme, "http") || ascii_iequals(scheme, "https")) && !origin_allowed(origins, origin)) {
                fault = {403, origin_refused};
                return false;
            }
        }
    }
    return true;
}

void admit_request(const http_request& req, const route_choice& choice, const origin_list& origins, admission& out,
                   std::string_view access_key) {
    const request_head& head = req.head;
    if (!caller_allowed(req, origins, out.fault)) return;
    std::string_view origin = head.has_origin ? req.view(head.origin) : std::string_view{};
    bool allowed = head.has_origin && origin_allowed(origins, origin);
    std::string_view method = req.view(head.method);
    // The embedding paths take the chat paths' rules.
    bool chat = choice.where == route::chat || choice.where == route::embeddings;

    // Every path the shim serves answers a page's preflight with the method
    // it is served under; elsewhere OPTIONS is one more method.
    if (head.has_origin && method == "OPTIONS" && !choice.page_method.empty()) {
        if (!allowed) {
            out.fault = {403, origin_refused};
            return;
        }
        out.preflight = true;
        put_preflight_lines(out.lines, origin, choice.page_method, req.view(head.ac_request_headers),
                            head.ac_private_network);
        return;
    }
    if (allowed) put_reply_cors_lines(out.lines, origin);
    // The health probe tells only that the shim is up; a preflight carries
    // no credentials by design (its page sends them on the request itself).
    if (!access_key.empty() && choice.where != route::health &&
        !(head.authorization_count == 1 && bearer_matches(req.view(head.authorization), access_key))) {
        out.fault = {401, "missing or wrong access key: send the header Authorization: Bearer <access_key setting>"};
        out.route_lines = "WWW-Authenticate: Bearer realm=\"zelk-shim\"\r\n";
        return;
    }
    if (!chat) return;
    // A GET from an <img> tag carries no Origin: only the method tells it
    // from a client that means to chat.
    if (method != "POST") {
        out.fault = {405, "method not allowed: chat paths take POST"};
        out.route_lines = "Allow: POST\r\n";
        return;
    }
    if (head.has_origin && origin == "null" && !allowed) {
        out.fault = {403, "origin null not allowed on chat paths: list null in the origins setting to let it in"};
        return;
    }
    // Forms, beacons and no-cors fetches cannot send this type across
    // origins; a page can only after a preflight it was allowed.
    if (head.has_origin && !(head.has_content_type && declares_json(req.view(head.content_type))))
        out.fault = {415, "unsupported media type: a cross-origin chat request must be Content-Type: application/json"};
}
