// The upstream client on top of libcurl. Upstream connections stay warm in a
// small pool of idle easy handles (each keeps its live connection between
// transfers), and one process-wide share object keeps DNS answers and TLS
// sessions, so a chat turn after the first skips the connect and the
// handshake. Connections themselves are not put in the share: libcurl does
// not support one connection cache used by concurrent threads.
#include <curl/curl.h>

#include <cstring>
#include <mutex>

#include "platform/host.hpp"
#include "platform/upstream.hpp"

namespace {

CURLSH* g_share = nullptr;
std::mutex g_share_locks[CURL_LOCK_DATA_LAST];
const char* g_ca_bundle = nullptr;

void share_lock(CURL*, curl_lock_data data, curl_lock_access, void*) { g_share_locks[data].lock(); }
void share_unlock(CURL*, curl_lock_data data, void*) { g_share_locks[data].unlock(); }

// Idle handles beyond this are closed: enough for a burst of concurrent
// chat turns, small enough that an idle shim holds little.
constexpr size_t max_idle_handles = 32;

struct easy_pool {
    std::mutex lock;
    CURL* idle[max_idle_handles] = {};
    size_t count = 0;
};
easy_pool g_pool;

CURL* take_easy() {
    {
        std::lock_guard<std::mutex> hold(g_pool.lock);
        if (g_pool.count) return g_pool.idle[--g_pool.count];
    }
    return curl_easy_init();
}

void give_back_easy(CURL* h) {
    curl_easy_reset(h);  // drops the options, keeps the live connection
    {
        std::lock_guard<std::mutex> hold(g_pool.lock);
        if (g_pool.count < max_idle_handles) {
            g_pool.idle[g_pool.count++] = h;
            return;
        }
    }
    curl_easy_cleanup(h);
}

// One request's handle, back to the pool when the request is done.
struct pooled_easy {
    CURL* h = take_easy();
    pooled_easy() = default;
    pooled_easy(const pooled_easy&) = delete;
    pooled_easy& operator=(const pooled_easy&) = delete;
    ~pooled_easy() {
        if (h) give_back_easy(h);
    }
};

struct header_list {
    curl_slist* list = nullptr;
    bool add(const char* line) {
        curl_slist* grown = curl_slist_append(list, line);
        if (!grown) return false;
        list = grown;
        return true;
    }
    ~header_list() { curl_slist_free_all(list); }
};

struct transfer {
    CURL* easy;
    body_sink sink;
    void* ctx;
    upstream_outcome* out;
};

size_t on_body(char* data, size_t, size_t n, void* p) {
    auto* t = static_cast<transfer*>(p);
    if (n == 0) return 0;
    if (!t->out->received_body) {
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        t->out->status = static_cast<unsigned long>(status);
    }
    t->out->received_body = true;
    if (!t->sink(t->ctx, data, n)) {
        t->out->stopped = true;
        return CURL_WRITEFUNC_ERROR;
    }
    return n;
}

}  // namespace

const char* const upstream_trust_help =
    "  CURL_CA_BUNDLE, SSL_CERT_FILE  another CA bundle for the upstream's TLS\n"
    "                     (else the system's certificate store)\n";

bool upstream_startup(error_text& err) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        set_error(err, "curl_global_init failed");
        return false;
    }
    g_share = curl_share_init();
    if (!g_share) {
        set_error(err, "curl_share_init failed");
        return false;
    }
    curl_share_setopt(g_share, CURLSHOPT_LOCKFUNC, share_lock);
    curl_share_setopt(g_share, CURLSHOPT_UNLOCKFUNC, share_unlock);
    curl_share_setopt(g_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(g_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    // The conventional variables for another trust store; without them the
    // system's certificate store is used.
    const char* bundle = env_value("CURL_CA_BUNDLE");
    if (!bundle || !*bundle) bundle = env_value("SSL_CERT_FILE");
    g_ca_bundle = bundle && *bundle ? bundle : nullptr;
    return true;
}

void call_upstream(const upstream_call& call, body_sink sink, void* ctx, upstream_outcome& out) {
    const upstream_target& target = *call.target;
    std::string_view header_lines = call.header_lines;
    std::string_view body = call.body;
    pooled_easy easy;
    if (!easy.h) {
        set_error(out.error, "upstream request failed: curl_easy_init (%d)", 0);
        return;
    }
    CURL* h = easy.h;

    char url[1024];
    bool v6 = std::strchr(target.host, ':') != nullptr;
    bformat(url, "%s://%s%s%s:%u%s", target.secure ? "https" : "http", v6 ? "[" : "", target.host, v6 ? "]" : "",
            static_cast<unsigned>(target.port), target.path);

    header_list headers;
    char line[768];
    while (!header_lines.empty()) {
        size_t end = header_lines.find("\r\n");
        std::string_view one = header_lines.substr(0, end);
        header_lines = end == std::string_view::npos ? std::string_view{} : header_lines.substr(end + 2);
        if (one.empty()) continue;
        bformat(line, "%.*s", static_cast<int>(one.size()), one.data());
        if (!headers.add(line)) {
            set_error(out.error, "upstream request failed: out of memory (%d)", CURLE_OUT_OF_MEMORY);
            return;
        }
    }
    // Only our three lines: no "Expect: 100-continue" round trip for large bodies.
    if (!headers.add("Expect:")) {
        set_error(out.error, "upstream request failed: out of memory (%d)", CURLE_OUT_OF_MEMORY);
        return;
    }

    transfer t{h, sink, ctx, &out};
    char curl_message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_SHARE, g_share);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
    curl_easy_setopt(h, CURLOPT_USERAGENT, "zelk-shim/1.0");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(upstream_block_size));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, curl_message);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    // 30 s to connect; a transfer that keeps moving has no limit, one that is
    // silent for 600 s has failed.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 600L);
    if (g_ca_bundle) curl_easy_setopt(h, CURLOPT_CAINFO, g_ca_bundle);

    CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    out.status = static_cast<unsigned long>(status);
    if (rc != CURLE_OK && !out.stopped) {
        const char* words = curl_message[0] ? curl_message : curl_easy_strerror(rc);
        set_error(out.error, "upstream request failed: %s (%d)", words, static_cast<int>(rc));
    }
}
