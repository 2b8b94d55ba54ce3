// The upstream transport on top of libcurl. Upstream connections stay warm
// in a small pool of idle easy handles (each keeps its live connection
// between transfers), and the client's share object keeps DNS answers and
// TLS sessions, so a chat turn after the first skips the connect and the
// handshake. Connections themselves are not put in the share: libcurl does
// not support one connection cache used by concurrent threads.
//
// A pooled handle also keeps its options: the ones that never change are set
// once when the handle is made, and the URL and header list only when they
// differ from the last request's, so a request costs no option parsing.
//
// A kept connection must hold nothing but what the next answer will say.
// libcurl reads a Content-Length body no further than its length, and keeps
// the connection even when bytes lie beyond it, on the socket or inside
// OpenSSL's record buffer; it drops what follows a last chunk within the same
// read but reads later bytes as the next answer; and it keeps a connection
// whose head framed the body ambiguously. So a handle whose connection
// carried more than its answer, or whose answer was framed so, is closed
// instead of pooled, and a pooled one whose idle connection has since become
// readable (bytes, or the upstream's close) is closed before it is reused.
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/per_system.hpp"
#include "platform/upstream.hpp"
#include "text/ascii.hpp"
#include "text/span.hpp"

namespace {

// Idle handles beyond this are closed: enough for a burst of concurrent
// chat turns, small enough that an idle shim holds little.
constexpr size_t max_idle_handles = 32;

struct easy_slot;

}  // namespace

struct upstream_client {
    upstream_config config;
    char ca_bundle[512] = {};
    char url[1024] = {};  // the target as one URL
    CURLSH* share = nullptr;
    std::mutex share_locks[CURL_LOCK_DATA_LAST];
    std::mutex pool_lock;
    easy_slot* idle[max_idle_handles] = {};
    size_t idle_count = 0;
    ~upstream_client();
};

namespace {

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
    const upstream_handler* handler = nullptr;
    upstream_result* out = nullptr;
    body_reader body;
    bool watched = false;
    bool probed = false;
    bool head_given = false;
    char encoding[upstream_coding_room] = {};  // the final answer's Content-Encoding, if any
    bool encoding_cut = false;
    // How the final head framed its body, for the connection's reuse.
    bool http10 = false;
    unsigned length_lines = 0;  // Content-Length lines
    bool length_bad = false;    // one that is not a plain number
    bool transfer_coded = false;
    SSL* tls = nullptr;         // the connection's TLS state, when OpenSSL carries it
    char retry_after[upstream_wait_room] = {};
    char retry_after_ms[upstream_wait_room] = {};
    // After the relay said the answer is done with: its rest is read and
    // dropped until it ends, or cut at the drain bounds.
    bool draining = false;
    size_t drained = 0;
    std::chrono::steady_clock::time_point drain_until{};
    // The silence limit, counted from the connection's being ready (the
    // connect timeout covers the time before it) to the last byte either
    // way. libcurl's low-speed limit is no such thing: it averages the speed
    // over a few seconds, so an answer that only sends a short keep-alive now
    // and then would fail, and a burst hides the silence after it for seconds.
    std::chrono::milliseconds silence_limit{0};
    bool connected = false;
    bool silent = false;  // the limit ended the transfer
    curl_off_t seen_down = 0;
    curl_off_t seen_up = 0;
    std::chrono::steady_clock::time_point last_byte{};
};

bool drain_overdue(const transfer& t) { return std::chrono::steady_clock::now() >= t.drain_until; }

// True once the upstream has sent and taken nothing for the silence limit.
bool fell_silent(transfer& t, curl_off_t down, curl_off_t up) {
    if (!t.connected || t.silence_limit.count() <= 0) return false;
    auto now = std::chrono::steady_clock::now();
    if (down != t.seen_down || up != t.seen_up) {
        t.seen_down = down;
        t.seen_up = up;
        t.last_byte = now;
        return false;
    }
    t.silent = now - t.last_byte >= t.silence_limit;
    return t.silent;
}

// One easy handle with what it keeps between requests.
struct easy_slot {
    CURL* h = nullptr;
    bool configured = false;  // the fixed options are set
    header_list headers;
    char message[CURL_ERROR_SIZE] = {};
    transfer t;
    bool spoiled = false;  // its connection must not carry another request
    ~easy_slot() {
        if (h) curl_easy_cleanup(h);
    }
};

void share_lock(CURL*, curl_lock_data data, curl_lock_access, void* client) {
    static_cast<upstream_client*>(client)->share_locks[data].lock();
}
void share_unlock(CURL*, curl_lock_data data, void* client) {
    static_cast<upstream_client*>(client)->share_locks[data].unlock();
}

// A header line's value, without the name, the line end and the blanks.
std::string_view header_value(std::string_view line, size_t name_len) {
    std::string_view value = tail_span(line, name_len);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);
    return ascii_trim_blanks(value);
}

// The TLS state of the connection the transfer runs on; null when it is
// plain or another TLS library carries it.
SSL* connection_tls(CURL* h) {
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info) return nullptr;
    return info->backend == CURLSSLBACKEND_OPENSSL ? static_cast<SSL*>(info->internals) : nullptr;
}

// A value kept whole, or not at all when it does not fit.
template <size_t N>
void keep_whole(char (&area)[N], std::string_view value) {
    bformat(area, "%.*s", value.size() < N ? static_cast<int>(value.size()) : 0, value.data());
}

// Sees every header line of every answer head (interim ones too).
size_t on_header(char* data, size_t, size_t n, void* p) {
    auto* slot = static_cast<easy_slot*>(p);
    transfer& t = slot->t;
    t.last_byte = std::chrono::steady_clock::now();  // head bytes count in no progress total
    std::string_view line(data, n);
    if (line.starts_with("HTTP/")) {
        // A new head: what an interim one said does not count.
        t.encoding[0] = '\0';
        t.encoding_cut = false;
        t.http10 = line.starts_with("HTTP/1.0");
        t.length_lines = 0;
        t.length_bad = t.transfer_coded = false;
        t.tls = connection_tls(slot->h);
        t.retry_after[0] = t.retry_after_ms[0] = '\0';
    } else if (ascii_istarts_with(line, "content-encoding:")) {
        std::string_view value = header_value(line, 17);
        t.encoding_cut = value.size() >= sizeof t.encoding;
        keep_whole(t.encoding, value);
    } else if (ascii_istarts_with(line, "content-length:")) {
        std::string_view value = header_value(line, 15);
        ++t.length_lines;
        t.length_bad |= value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos;
    } else if (ascii_istarts_with(line, "transfer-encoding:")) {
        t.transfer_coded = true;
    } else if (ascii_istarts_with(line, "retry-after:")) {
        keep_whole(t.retry_after, header_value(line, 12));
    } else if (ascii_istarts_with(line, "retry-after-ms:")) {
        keep_whole(t.retry_after_ms, header_value(line, 15));
    }
    return n;
}

// A head whose body's end readers may place differently (a length beside a
// transfer coding, two lengths, a length that is no number, a coding on an
// HTTP/1.0 answer): what follows the body as libcurl reads it may be the
// rest of it.
bool framing_ambiguous(const transfer& t) {
    return t.length_lines > 1 || t.length_bad || (t.length_lines && t.transfer_coded) || (t.http10 && t.transfer_coded);
}

// The socket of the connection the handle keeps between transfers, if any.
curl_socket_t kept_socket(CURL* h) {
    curl_socket_t sock = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &sock) != CURLE_OK) return CURL_SOCKET_BAD;
    return sock;
}

// An idle connection has nothing to say: a byte or the peer's close
// waiting on it means it carried more than its answer, or has ended.
bool readable(curl_socket_t sock) {
    pollfd pfd{static_cast<int>(sock), POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
}

// After a transfer: whether the connection libcurl kept may carry the next
// request. Bytes already read into OpenSSL's buffer are not on the socket.
void judge_connection(easy_slot& s) {
    curl_socket_t sock = kept_socket(s.h);
    if (sock == CURL_SOCKET_BAD) return;  // none kept
    s.spoiled = framing_ambiguous(s.t) || readable(sock) || (s.t.tls && SSL_has_pending(s.t.tls));
}

// Hands the final head to the relay once; false when it ends the transfer.
bool give_head(easy_slot& s) {
    transfer& t = s.t;
    if (t.head_given) return true;
    t.head_given = true;
    long status = 0;
    curl_easy_getinfo(s.h, CURLINFO_RESPONSE_CODE, &status);
    t.out->status = static_cast<unsigned long>(status);
    upstream_head head{t.out->status, t.encoding, t.encoding_cut, t.retry_after, t.retry_after_ms};
    if (t.handler->head && !t.handler->head(t.handler->ctx, head)) {
        t.out->stopped = true;
        return false;
    }
    return true;
}

// Called about once a second while the upstream is silent, and more often
// while bytes move. poll() tells apart what the caller's connection did:
// POLLRDHUP alone means its FIN arrived (a half-close and a departure look
// the same), POLLHUP/POLLERR mean it was reset or is closed both ways. After
// a FIN the probe is sent once: a caller that left answers it with a reset,
// which the next call sees.
//
// While a drain runs, the caller is left alone and only the drain's time is
// checked. Otherwise the upstream's silence is checked first.
int on_progress(void* p, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    transfer& t = static_cast<easy_slot*>(p)->t;
    if (t.draining) return drain_overdue(t) ? 1 : 0;
    if (fell_silent(t, down, up)) return 1;
    if (!t.watched) return 0;
    pollfd pfd{static_cast<int>(t.handler->caller->fd()), POLLRDHUP, 0};
    if (::poll(&pfd, 1, 0) <= 0) return 0;
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        t.out->caller_gone = t.out->stopped = true;
        return 1;  // aborts the transfer
    }
    if ((pfd.revents & POLLRDHUP) && !t.probed && t.handler->probe) {
        probe_result said = t.handler->probe(t.handler->ctx);
        if (said == probe_result::gone) {
            t.out->caller_gone = t.out->stopped = true;
            return 1;
        }
        t.probed = said == probe_result::sent;
    }
    return 0;
}

// The connection is ready (made or reused, through any proxy's tunnel) and
// the request is about to go: from here the silence limit counts.
int on_prereq(void* p, char*, char*, int, int) {
    transfer& t = static_cast<easy_slot*>(p)->t;
    t.connected = true;
    t.last_byte = std::chrono::steady_clock::now();
    return CURL_PREREQFUNC_OK;
}

size_t on_body(char* data, size_t, size_t n, void* p) {
    auto* slot = static_cast<easy_slot*>(p);
    transfer& t = slot->t;
    if (n == 0) return 0;
    if (t.draining) {
        t.drained += n;
        return t.drained <= upstream_drain_max_bytes && !drain_overdue(t) ? n : CURL_WRITEFUNC_ERROR;
    }
    if (!give_head(*slot)) return CURL_WRITEFUNC_ERROR;
    body_verdict said = t.handler->body(t.handler->ctx, data, n);
    if (said == body_verdict::more) return n;
    t.out->stopped = true;
    if (said == body_verdict::stop) return CURL_WRITEFUNC_ERROR;
    // Read on to the answer's end: a transfer that completes leaves its
    // connection with the handle, one cut short closes it.
    t.draining = true;
    t.drain_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(upstream_drain_max_ms);
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

// The options every request of this client shares: the target, the proxy,
// the trust store, the time limits and the callbacks.
void configure(const upstream_client& c, easy_slot& s) {
    CURL* h = s.h;
    const upstream_proxy& proxy = c.config.proxy;
    curl_easy_setopt(h, CURLOPT_SHARE, c.share);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_URL, c.url);
    if (proxy.enabled()) {
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.url);
        curl_easy_setopt(h, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
        curl_easy_setopt(h, CURLOPT_NOPROXY, "");  // NO_PROXY in the environment must not bypass it
        // An https upstream is reached by a CONNECT tunnel, so the key and the
        // body pass the proxy encrypted; an http one gets an absolute-form request.
        curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, c.config.target.secure ? 1L : 0L);
        if (proxy.has_credentials()) {
            curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxy.user);
            curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxy.password);
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
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);  // the caller's watch, the silence and drain limits
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, on_prereq);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &s);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(upstream_block_size));
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, s.message);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(c.config.connect_timeout_ms));
    if (c.ca_bundle[0]) curl_easy_setopt(h, CURLOPT_CAINFO, c.ca_bundle);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    s.configured = true;
}

easy_slot* take_easy(upstream_client& c) {
    for (;;) {
        easy_slot* idle = nullptr;
        {
            std::lock_guard<std::mutex> hold(c.pool_lock);
            if (!c.idle_count) break;
            idle = c.idle[--c.idle_count];
        }
        curl_socket_t sock = kept_socket(idle->h);
        if (sock == CURL_SOCKET_BAD || !readable(sock)) return idle;
        delete idle;  // closes the connection that spoke out of turn
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

void give_back_easy(upstream_client& c, easy_slot* s) {
    if (s->spoiled) {
        delete s;  // its connection goes with it
        return;
    }
    s->t = transfer{};  // nothing of the finished request stays reachable
    {
        std::lock_guard<std::mutex> hold(c.pool_lock);
        if (c.idle_count < max_idle_handles) {
            c.idle[c.idle_count++] = s;
            return;
        }
    }
    delete s;
}

// One request's handle, back to the pool when the request is done.
struct pooled_easy {
    upstream_client& c;
    easy_slot* s = take_easy(c);
    explicit pooled_easy(upstream_client& client) : c(client) {}
    pooled_easy(const pooled_easy&) = delete;
    pooled_easy& operator=(const pooled_easy&) = delete;
    ~pooled_easy() {
        if (s) give_back_easy(c, s);
    }
};

// Calls `each` with every non-empty line of `header_lines` (without its CR
// LF) until it returns false; false when it did.
template <typename F>
bool each_header_line(std::string_view header_lines, F each) {
    while (!header_lines.empty()) {
        size_t end = header_lines.find("\r\n");
        std::string_view one = header_lines.substr(0, end);
        header_lines = end == std::string_view::npos ? std::string_view{} : header_lines.substr(end + 2);
        if (!one.empty() && !each(one)) return false;
    }
    return true;
}

// Only our own lines: no "Expect: 100-continue" round trip for large bodies.
constexpr std::string_view no_expect = "Expect:";

// True when the handle's list already holds `header_lines`: libcurl keeps
// its own copy of each line, so the list itself is what the lines are
// compared with.
bool list_holds(const curl_slist* node, std::string_view header_lines) {
    bool same = each_header_line(header_lines, [&](std::string_view one) {
        if (!node || std::string_view(node->data) != one) return false;
        node = node->next;
        return true;
    });
    return same && node && std::string_view(node->data) == no_expect && !node->next;
}

// The header list for `header_lines`, built only when they differ from what
// the handle last sent. A line may be as long as the key (several KiB), so
// each is terminated in one heap copy of the lines, not on this stack.
bool set_headers(easy_slot& s, std::string_view header_lines) {
    if (s.headers.list && list_holds(s.headers.list, header_lines)) return true;
    curl_easy_setopt(s.h, CURLOPT_HTTPHEADER, nullptr);
    s.headers.clear();
    std::unique_ptr<char[]> copy(new (std::nothrow) char[header_lines.size() + 1]);
    if (!copy) return false;
    bool added = each_header_line(header_lines, [&](std::string_view one) {
        char* line = copy.get() + (one.data() - header_lines.data());
        std::memcpy(line, one.data(), one.size());
        line[one.size()] = '\0';
        return s.headers.add(line);
    });
    if (!added || !s.headers.add(no_expect.data())) return false;
    curl_easy_setopt(s.h, CURLOPT_HTTPHEADER, s.headers.list);
    return true;
}

// The failures that come before any byte of the request went out: the
// name, the connect, the TLS handshake, or a tunnel the proxy refused (a
// 407 excepted: sending again brings no credentials).
bool never_sent(CURL* h, CURLcode rc) {
    long tunnel = 0;
    curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &tunnel);
    if (tunnel == 407) return false;
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
            return true;
        default: break;
    }
    return tunnel != 0 && (tunnel < 200 || tunnel > 299);
}

void fail(upstream_result& out, const char* words, int code) {
    out.failed = true;
    bformat(out.detail, "%s (%d)", words, code);
}

}  // namespace

upstream_client::~upstream_client() {
    for (size_t i = 0; i < idle_count; ++i) delete idle[i];
    if (share) curl_share_cleanup(share);
}

void upstream_client_closer::operator()(upstream_client* c) const { delete c; }

void os_upstream_warm_up(void* arg) {
    upstream_client& c = *static_cast<upstream_client*>(arg);
    pooled_easy easy(c);
    if (!easy.s) return;
    easy_slot& s = *easy.s;
    configure(c, s);
    // A bodiless OPTIONS without the key: it costs the upstream nothing and
    // leaves the connection open for the first chat turn.
    curl_easy_setopt(s.h, CURLOPT_CUSTOMREQUEST, "OPTIONS");
    curl_easy_setopt(s.h, CURLOPT_HTTPGET, 1L);
    upstream_handler ignore;
    ignore.body = [](void*, const char*, size_t) { return body_verdict::more; };
    upstream_result ignored;
    s.t.handler = &ignore;
    s.t.out = &ignored;
    s.t.silence_limit = std::chrono::milliseconds(c.config.silence_timeout_ms);
    curl_easy_perform(s.h);
    judge_connection(s);
    // Back to no options at all; the connection stays with the handle.
    curl_easy_reset(s.h);
    s.configured = false;
    s.headers.clear();
}

void upstream_exchange(upstream_client& c, std::string_view header_lines, std::span<const std::string_view> body,
                       const upstream_handler& handler, upstream_result& out) {
    pooled_easy easy(c);
    if (!easy.s) return fail(out, "curl_easy_init failed", 0);
    easy_slot& s = *easy.s;
    CURL* h = s.h;
    if (!s.configured) configure(c, s);
    if (!set_headers(s, header_lines)) return fail(out, "out of memory", CURLE_OUT_OF_MEMORY);

    size_t total = 0;
    for (std::string_view piece : body) total += piece.size();
    // libcurl puts a small body in the same send as the header block; a
    // large one goes out from the read callback, piece by piece.
    bool with_head = body.size() == 1 && total <= upstream_joined_body_limit;
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, with_head ? body[0].data() : nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(total));

    bool watched = handler.caller && handler.caller->valid();
    s.t = transfer{&handler, &out, body_reader{body.data(), body.size(), 0, 0}, watched};
    s.t.silence_limit = std::chrono::milliseconds(c.config.silence_timeout_ms);
    s.message[0] = '\0';
    CURLcode rc = curl_easy_perform(h);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);  // the body is the caller's; the pooled handle keeps no pointer to it
    judge_connection(s);
    if (out.stopped) return;  // a drain's end, whatever it was, is no failure
    if (rc != CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        out.status = static_cast<unsigned long>(status);
        if (s.t.silent) {
            char words[80];
            bformat(words, "the upstream was silent for %d s", c.config.silence_timeout_ms / 1000);
            return fail(out, words, CURLE_OPERATION_TIMEDOUT);
        }
        fail(out, s.message[0] ? s.message : curl_easy_strerror(rc), static_cast<int>(rc));
        out.unsent = never_sent(h, rc);
        return;
    }
    give_head(s);  // an answer without a body is shown to the relay here
}

const char* const upstream_trust_help =
    "  CURL_CA_BUNDLE, SSL_CERT_FILE  another CA bundle for the upstream's TLS\n"
    "                     (else the system's certificate store)\n";

upstream_client_ptr upstream_client_open(const upstream_config& config, error_text& err) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        set_error(err, "curl_global_init failed");
        return nullptr;
    }
    upstream_client_ptr c(new (std::nothrow) upstream_client);
    if (!c) {
        set_error(err, "out of memory");
        return nullptr;
    }
    c->config = config;
    if (config.ca_bundle) bformat(c->ca_bundle, "%s", config.ca_bundle);
    c->config.ca_bundle = c->ca_bundle;
    const upstream_target& t = config.target;
    bool v6 = std::strchr(t.host, ':') != nullptr;
    bformat(c->url, "%s://%s%s%s:%u%s", t.secure ? "https" : "http", v6 ? "[" : "", t.host, v6 ? "]" : "",
            static_cast<unsigned>(t.port), t.path);
    c->share = curl_share_init();
    if (!c->share) {
        set_error(err, "curl_share_init failed");
        return nullptr;
    }
    curl_share_setopt(c->share, CURLSHOPT_LOCKFUNC, share_lock);
    curl_share_setopt(c->share, CURLSHOPT_UNLOCKFUNC, share_unlock);
    curl_share_setopt(c->share, CURLSHOPT_USERDATA, c.get());
    curl_share_setopt(c->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(c->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    return c;
}
