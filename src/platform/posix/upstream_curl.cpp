// The upstream client on top of libcurl. Upstream connections stay warm in a
// small pool of idle easy handles (each keeps its live connection between
// transfers), and one process-wide share object keeps DNS answers and TLS
// sessions, so a chat turn after the first skips the connect and the
// handshake. Connections themselves are not put in the share: libcurl does
// not support one connection cache used by concurrent threads.
//
// A pooled handle also keeps its options: the ones that never change are set
// once when the handle is made, and the URL and header list only when they
// differ from the last request's, so a request costs no option parsing.
#include <curl/curl.h>

#include <poll.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/host.hpp"
#include "platform/thread.hpp"
#include "platform/os_calls.hpp"
#include "platform/upstream.hpp"
#include "text/ascii.hpp"

namespace {

CURLSH* g_share = nullptr;
std::mutex g_share_locks[CURL_LOCK_DATA_LAST];
const char* g_ca_bundle = nullptr;
upstream_proxy g_proxy;  // set once by upstream_startup

void share_lock(CURL*, curl_lock_data data, curl_lock_access, void*) { g_share_locks[data].lock(); }
void share_unlock(CURL*, curl_lock_data data, void*) { g_share_locks[data].unlock(); }

// Idle handles beyond this are closed: enough for a burst of concurrent
// chat turns, small enough that an idle shim holds little.
constexpr size_t max_idle_handles = 32;

struct header_list {
    curl_slist* list = nullptr;
    header_list() = default;
    header_list(const header_list&) = delete;
    header_list& operator=(const header_list&) = delete;
    bool add(const char* line) {
        curl_slist* grown = curl_slist_append(list, line);
        if (!grown) return false;
        list = grown;
        return true;
    }
    void clear() {
        curl_slist_free_all(list);
        list = nullptr;
    }
    ~header_list() { clear(); }
};

// The body handed to libcurl's read callback: the pieces in order.
struct body_reader {
    const std::string_view* piece = nullptr;
    size_t count = 0;
    size_t index = 0;   // piece being sent
    size_t offset = 0;  // bytes of it already sent
};

struct transfer {
    body_sink sink = nullptr;
    void* ctx = nullptr;
    upstream_outcome* out = nullptr;
    body_reader body;
    const caller_watch* watch = nullptr;
    bool probed = false;
    char encoding[48] = {};  // the final answer's Content-Encoding, if any
};

// One easy handle with what it keeps between requests.
struct easy_slot {
    CURL* h = nullptr;
    bool configured = false;  // the fixed options are set
    char url[1024] = {};      // as last set on the handle
    char header_text[768] = {};
    header_list headers;
    char message[CURL_ERROR_SIZE] = {};
    transfer t;
    ~easy_slot() {
        if (h) curl_easy_cleanup(h);
    }
};

struct easy_pool {
    std::mutex lock;
    easy_slot* idle[max_idle_handles] = {};
    size_t count = 0;
};
easy_pool g_pool;

// A 407 can only come from the proxy: it must not pass for the upstream's
// answer when the request went to the proxy as a plain HTTP request.
void note_proxy_refusal(upstream_outcome& out) {
    set_error(out.error, "upstream request failed: proxy %s asks for credentials (407)", g_proxy.url);
}

// Sees every header line of every answer head (interim ones too).
size_t on_header(char* data, size_t, size_t n, void* p) {
    transfer& t = static_cast<easy_slot*>(p)->t;
    std::string_view line(data, n);
    if (line.starts_with("HTTP/")) {
        t.encoding[0] = '\0';  // a new head: what an interim one said does not count
    } else if (ascii_istarts_with(line, "content-encoding:")) {
        std::string_view value = line.substr(17);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);
        value = ascii_trim_blanks(value);
        bformat(t.encoding, "%.*s", static_cast<int>(value.size()), value.data());
    }
    return n;
}

// An answer the caller must not get as it is: a final status that is no
// final status at all, or a body coded in a way nobody asked for (we send no
// Accept-Encoding, so it could only be relayed as unreadable bytes).
bool refuse_answer(transfer& t) {
    unsigned long status = t.out->status;
    if (status != 0 && (status < 200 || status > 599)) {
        set_error(t.out->error, "upstream answered with status %lu", status);
        return true;
    }
    if (t.encoding[0] && !ascii_istarts_with(t.encoding, "identity")) {
        set_error(t.out->error, "upstream answered with Content-Encoding %s, which was not asked for", t.encoding);
        return true;
    }
    return false;
}

// Called about once a second while the upstream is silent, and more often
// while bytes move. poll() tells apart what the caller's connection did:
// POLLRDHUP alone means its FIN arrived (a half-close and a departure look
// the same), POLLHUP/POLLERR mean it was reset or is closed both ways. After
// a FIN the probe is sent once: a caller that left answers it with a reset,
// which the next call sees.
int on_progress(void* p, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    transfer& t = static_cast<easy_slot*>(p)->t;
    if (!t.watch) return 0;
    pollfd pfd{static_cast<int>(t.watch->socket->fd()), POLLRDHUP, 0};
    if (::poll(&pfd, 1, 0) <= 0) return 0;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        t.out->caller_gone = t.out->stopped = true;
        return 1;  // aborts the transfer
    }
    if ((pfd.revents & POLLRDHUP) && !t.probed && t.watch->probe) t.probed = t.watch->probe(t.watch->probe_ctx);
    return 0;
}

size_t on_body(char* data, size_t, size_t n, void* p) {
    auto* slot = static_cast<easy_slot*>(p);
    transfer& t = slot->t;
    if (n == 0) return 0;
    if (!t.out->received_body) {
        long status = 0;
        curl_easy_getinfo(slot->h, CURLINFO_RESPONSE_CODE, &status);
        t.out->status = static_cast<unsigned long>(status);
        t.out->first_byte_at = std::chrono::steady_clock::now();
        if (status == 407 && g_proxy.enabled()) {
            note_proxy_refusal(*t.out);
            return CURL_WRITEFUNC_ERROR;
        }
        if (refuse_answer(t)) return CURL_WRITEFUNC_ERROR;
    }
    t.out->received_body = true;
    if (!t.sink(t.ctx, data, n)) {
        t.out->stopped = true;
        return CURL_WRITEFUNC_ERROR;
    }
    return n;
}

size_t on_read(char* dst, size_t size, size_t n, void* p) {
    body_reader& r = static_cast<easy_slot*>(p)->t.body;
    size_t room = size * n;
    size_t done = 0;
    while (done < room && r.index < r.count) {
        std::string_view piece = r.piece[r.index];
        size_t take = piece.size() - r.offset;
        if (take > room - done) take = room - done;
        std::memcpy(dst + done, piece.data() + r.offset, take);
        done += take;
        r.offset += take;
        if (r.offset == piece.size()) {
            ++r.index;
            r.offset = 0;
        }
    }
    return done;
}

// libcurl sends the body again when a kept connection turns out to have been
// closed by the upstream before it answered; it rewinds through this.
int on_seek(void* p, curl_off_t offset, int origin) {
    body_reader& r = static_cast<easy_slot*>(p)->t.body;
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    auto left = static_cast<size_t>(offset);
    r.index = 0;
    r.offset = 0;
    while (r.index < r.count && left >= r.piece[r.index].size()) left -= r.piece[r.index++].size();
    if (r.index == r.count && left > 0) return CURL_SEEKFUNC_FAIL;
    r.offset = left;
    return CURL_SEEKFUNC_OK;
}

// The options every request of this process shares.
void configure(easy_slot& s) {
    CURL* h = s.h;
    curl_easy_setopt(h, CURLOPT_SHARE, g_share);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (g_proxy.enabled()) {
        curl_easy_setopt(h, CURLOPT_PROXY, g_proxy.url);
        curl_easy_setopt(h, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(h, CURLOPT_NOPROXY, "");  // NO_PROXY in the environment must not bypass it
        if (g_proxy.has_credentials()) {
            curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, g_proxy.user);
            curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, g_proxy.password);
        }
    } else {
        curl_easy_setopt(h, CURLOPT_PROXY, "");  // never a proxy, whatever the environment says
    }
    curl_easy_setopt(h, CURLOPT_USERAGENT, "zelk-shim/1.0");
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &s);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(h, CURLOPT_READDATA, &s);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, on_seek);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, &s);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &s);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(upstream_block_size));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, s.message);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    // 30 s to connect; a transfer that keeps moving has no limit, one that is
    // silent for 600 s has failed.
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 600L);
    if (g_ca_bundle) curl_easy_setopt(h, CURLOPT_CAINFO, g_ca_bundle);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    s.configured = true;
}

easy_slot* take_easy() {
    {
        std::lock_guard<std::mutex> hold(g_pool.lock);
        if (g_pool.count) return g_pool.idle[--g_pool.count];
    }
    auto* s = new (std::nothrow) easy_slot;
    if (!s) return nullptr;
    s->h = curl_easy_init();
    if (!s->h) {
        delete s;
        return nullptr;
    }
    return s;
}

void give_back_easy(easy_slot* s) {
    s->t = transfer{};  // nothing of the finished request stays reachable
    {
        std::lock_guard<std::mutex> hold(g_pool.lock);
        if (g_pool.count < max_idle_handles) {
            g_pool.idle[g_pool.count++] = s;
            return;
        }
    }
    delete s;
}

// One request's handle, back to the pool when the request is done.
struct pooled_easy {
    easy_slot* s = take_easy();
    pooled_easy() = default;
    pooled_easy(const pooled_easy&) = delete;
    pooled_easy& operator=(const pooled_easy&) = delete;
    ~pooled_easy() {
        if (s) give_back_easy(s);
    }
};

// Through a proxy, an https upstream is reached by a CONNECT tunnel, so the
// key and the body pass the proxy encrypted; an http one gets an
// absolute-form request.
void set_url(CURL* h, const upstream_target& target, const char* url) {
    curl_easy_setopt(h, CURLOPT_URL, url);
    if (g_proxy.enabled()) curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, target.secure ? 1L : 0L);
}

void format_url(const upstream_target& target, char (&url)[1024]) {
    bool v6 = std::strchr(target.host, ':') != nullptr;
    bformat(url, "%s://%s%s%s:%u%s", target.secure ? "https" : "http", v6 ? "[" : "", target.host, v6 ? "]" : "",
            static_cast<unsigned>(target.port), target.path);
}

// The header list for `header_lines`, built only when they differ from what
// the handle last sent.
bool set_headers(easy_slot& s, std::string_view header_lines) {
    if (s.headers.list && header_lines.size() < sizeof s.header_text &&
        header_lines == std::string_view(s.header_text))
        return true;
    curl_easy_setopt(s.h, CURLOPT_HTTPHEADER, nullptr);
    s.headers.clear();
    s.header_text[0] = '\0';
    std::string_view rest = header_lines;
    char line[768];
    while (!rest.empty()) {
        size_t end = rest.find("\r\n");
        std::string_view one = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 2);
        if (one.empty()) continue;
        bformat(line, "%.*s", static_cast<int>(one.size()), one.data());
        if (!s.headers.add(line)) return false;
    }
    // Only our own lines: no "Expect: 100-continue" round trip for large bodies.
    if (!s.headers.add("Expect:")) return false;
    curl_easy_setopt(s.h, CURLOPT_HTTPHEADER, s.headers.list);
    if (header_lines.size() < sizeof s.header_text)
        bformat(s.header_text, "%.*s", static_cast<int>(header_lines.size()), header_lines.data());
    return true;
}

}  // namespace

void os_upstream_warm_up(void* arg) {
    auto* owned = static_cast<upstream_target*>(arg);
    upstream_target target = *owned;
    delete owned;
    pooled_easy easy;
    if (!easy.s) return;
    easy_slot& s = *easy.s;
    configure(s);
    format_url(target, s.url);
    set_url(s.h, target, s.url);
    // A bodiless OPTIONS without the key: it costs the upstream nothing and
    // leaves the connection open for the first chat turn.
    curl_easy_setopt(s.h, CURLOPT_CUSTOMREQUEST, "OPTIONS");
    curl_easy_setopt(s.h, CURLOPT_HTTPGET, 1L);
    upstream_outcome ignored;
    s.t.sink = [](void*, const char*, size_t) { return true; };
    s.t.out = &ignored;
    curl_easy_perform(s.h);
    // Back to no options at all; the connection stays with the handle.
    curl_easy_reset(s.h);
    s.configured = false;
    s.url[0] = '\0';
    s.headers.clear();
    s.header_text[0] = '\0';
}

void os_perform_upstream(const upstream_target& target, std::string_view header_lines,
                         std::span<const std::string_view> body, body_sink sink, void* ctx, upstream_outcome& out,
                         const caller_watch* watch) {
    const std::string_view* pieces = body.data();
    size_t piece_count = body.size();
    pooled_easy easy;
    if (!easy.s) {
        set_error(out.error, "upstream request failed: curl_easy_init (%d)", 0);
        return;
    }
    easy_slot& s = *easy.s;
    CURL* h = s.h;
    if (!s.configured) configure(s);

    char url[1024];
    format_url(target, url);
    if (std::strcmp(url, s.url) != 0) {
        std::memcpy(s.url, url, sizeof url);
        set_url(h, target, s.url);
    }
    if (!set_headers(s, header_lines)) {
        set_error(out.error, "upstream request failed: out of memory (%d)", CURLE_OUT_OF_MEMORY);
        return;
    }

    size_t total = 0;
    for (size_t i = 0; i < piece_count; ++i) total += pieces[i].size();
    // libcurl puts a small body in the same send as the header block; a
    // large one goes out from the read callback, piece by piece.
    bool with_head = piece_count == 1 && total <= upstream_joined_body_limit;
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, with_head ? pieces[0].data() : nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(total));

    bool watched = watch && watch->socket && watch->socket->valid();
    s.t = transfer{sink, ctx, &out, body_reader{pieces, piece_count, 0, 0}, watched ? watch : nullptr};
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, watched ? 0L : 1L);
    s.message[0] = '\0';
    CURLcode rc = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    out.status = static_cast<unsigned long>(status);
    if (!out.error.empty()) {
        // already said why
    } else if (rc == CURLE_OK && status == 407 && g_proxy.enabled()) {
        note_proxy_refusal(out);
    } else if (rc == CURLE_OK && !out.received_body && !out.stopped) {
        refuse_answer(s.t);  // an answer without a body is checked here
    } else if (rc != CURLE_OK && !out.stopped) {
        const char* words = s.message[0] ? s.message : curl_easy_strerror(rc);
        if (g_proxy.enabled())
            set_error(out.error, "upstream request failed via proxy %s: %s (%d)", g_proxy.url, words,
                      static_cast<int>(rc));
        else
            set_error(out.error, "upstream request failed: %s (%d)", words, static_cast<int>(rc));
    }
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);  // the body is the caller's; the pooled handle keeps no pointer to it
}

const char* const upstream_trust_help =
    "  CURL_CA_BUNDLE, SSL_CERT_FILE  another CA bundle for the upstream's TLS\n"
    "                     (else the system's certificate store)\n";

bool upstream_startup(error_text& err, const upstream_proxy* proxy) {
    if (proxy) g_proxy = *proxy;
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

bool os_upstream_ready() { return g_share != nullptr; }
