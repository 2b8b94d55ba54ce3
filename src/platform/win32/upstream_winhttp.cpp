// The upstream transport on top of WinHTTP, used synchronously. The client's
// session keeps upstream connections (and their TLS) alive between requests:
// WinHTTP pools connections per session, so a chat turn after the first skips
// the connect and the handshake. Each call gets its own connection and request
// handle; WinHTTP handles may be used from any thread. TLS checks the
// server's certificate against the Windows trust store.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>

#include "platform/per_system.hpp"
#include "platform/upstream.hpp"

const char* const upstream_trust_help = "  the upstream's TLS certificate is checked against the Windows certificate store\n";

namespace {

// Standard base64 of `in` into `out`; false when it does not fit.
template <size_t N>
bool put_base64(std::string_view in, char (&out)[N]) {
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if ((in.size() + 2) / 3 * 4 >= N) return false;
    size_t n = 0;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out[n++] = digits[(v >> 18) & 63];
        out[n++] = digits[(v >> 12) & 63];
        out[n++] = i + 1 < in.size() ? digits[(v >> 6) & 63] : '=';
        out[n++] = i + 2 < in.size() ? digits[v & 63] : '=';
    }
    out[n] = '\0';
    return true;
}

// Owns one WinHTTP handle; closes it when it goes out of scope.
class internet_handle {
public:
    explicit internet_handle(HINTERNET h = nullptr) : h_(h) {}
    internet_handle(const internet_handle&) = delete;
    internet_handle& operator=(const internet_handle&) = delete;
    ~internet_handle() {
        if (h_) WinHttpCloseHandle(h_);
    }
    HINTERNET get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(HINTERNET h) {
        if (h_) WinHttpCloseHandle(h_);
        h_ = h;
    }

private:
    HINTERNET h_;
};

// UTF-8 text of `len` bytes into a terminated wide text of `cap` characters
// at `out`; false when it does not fit.
bool widen_at(const char* text, size_t len, wchar_t* out, size_t cap) {
    out[0] = L'\0';
    if (len == 0) return true;
    if (len >= cap || len > 0x7fffffff) {  // a UTF-8 byte never becomes more than one wide character
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(len), out, static_cast<int>(cap - 1));
    if (n <= 0) return false;
    out[n] = L'\0';
    return true;
}

template <size_t N>
bool widen(const char* text, size_t len, wchar_t (&out)[N]) {
    return widen_at(text, len, out, N);
}

// Whether the answer has the header `which` (its `index`th instance); its
// text in `text` when it fits, else empty.
template <size_t N>
bool answer_header(HINTERNET request, DWORD which, DWORD index, wchar_t (&text)[N]) {
    DWORD size = sizeof text;
    if (WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, &index)) return true;
    text[0] = L'\0';
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

bool plain_number(const wchar_t* text) {
    if (!*text) return false;
    for (; *text; ++text)
        if (*text < L'0' || *text > L'9') return false;
    return true;
}

// How the head framed the body. WinHTTP lets a transfer coding win over a
// length, as HTTP does.
struct body_framing {
    bool has_length = false;  // the body ends after `length` bytes
    unsigned long long length = 0;
    // Readers may place the body's end differently: a length beside a
    // transfer coding, two lengths, one that is no number, a coding on an
    // HTTP/1.0 answer.
    bool ambiguous = false;
};

body_framing framing_of(HINTERNET request) {
    wchar_t text[32];
    bool coded = answer_header(request, WINHTTP_QUERY_TRANSFER_ENCODING, 0, text);
    bool http10 = answer_header(request, WINHTTP_QUERY_VERSION, 0, text) && std::wcscmp(text, L"HTTP/1.0") == 0;
    wchar_t second[32];
    bool two_lengths = answer_header(request, WINHTTP_QUERY_CONTENT_LENGTH, 1, second);
    bool length = answer_header(request, WINHTTP_QUERY_CONTENT_LENGTH, 0, text);
    bool number = length && plain_number(text);
    body_framing f;
    f.has_length = number && !coded;
    if (f.has_length) f.length = std::wcstoull(text, nullptr, 10);
    f.ambiguous = (length && (coded || !number || two_lengths)) || (coded && http10);
    return f;
}

// The connection is closed when this answer is done instead of going back to
// the session's pool, where the next request, whoever's, would read what it
// still holds as its own answer.
void close_after(HINTERNET request) {
    DWORD no_keep_alive = WINHTTP_DISABLE_KEEP_ALIVE;
    WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_keep_alive, sizeof no_keep_alive);
}


// Watches the caller from a thread of its own while the calling thread is
// blocked in WinHTTP, and cancels the exchange by closing the request handle,
// which makes the blocked call fail at once. `lock` is held by the calling
// thread except while it is inside a WinHTTP call, so the probe never meets
// the sink's sends and the handle is closed only while a call may be blocked.
// While a finished answer's rest is drained, the caller is left alone and the
// watcher only cuts a drain that outlasts its time.
struct departure_watch {
    const upstream_handler* watch = nullptr;
    std::mutex lock;
    HINTERNET request = nullptr;  // owned by whoever takes it: the watcher on departure, else the caller
    bool gone = false;
    bool probed = false;
    ULONGLONG drain_until = 0;  // GetTickCount64 time; 0 while no drain runs
    HANDLE stop = nullptr;
};

// Before the caller's FIN, select() tells whether anything happened and a
// peek tells what: 0 bytes is the FIN (a half-close or a departure alike), an
// error is a reset. After it a peek reads 0 even once the caller's reset has
// come, so then the socket's pending error and a send of nothing tell.
bool caller_reset(SOCKET s) {
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err != 0) return true;
    return send(s, "", 0, 0) == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK;
}

DWORD WINAPI watch_caller(void* p) {
    auto* w = static_cast<departure_watch*>(p);
    SOCKET s = static_cast<SOCKET>(w->watch->caller->fd());
    while (WaitForSingleObject(w->stop, 250) == WAIT_TIMEOUT) {
        std::lock_guard<std::mutex> hold(w->lock);
        if (w->drain_until) {
            if (GetTickCount64() < w->drain_until) continue;
            if (w->request) WinHttpCloseHandle(w->request);  // the blocked read fails: the connection is dropped
            w->request = nullptr;
            return 0;
        }
        bool left = false;
        if (w->probed) {
            left = caller_reset(s);
        } else {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(s, &readable);
            timeval now{0, 0};
            if (select(0, &readable, nullptr, nullptr, &now) <= 0) continue;
            char byte;
            int n = recv(s, &byte, 1, MSG_PEEK);
            if (n > 0) continue;  // the caller sent more; not ours to read
            if (n == 0) {
                probe_result said = w->watch->probe ? w->watch->probe(w->watch->ctx) : probe_result::later;
                w->probed = said == probe_result::sent;
                left = said == probe_result::gone;
            } else {
                left = WSAGetLastError() != WSAEWOULDBLOCK;
            }
        }
        if (!left) continue;
        w->gone = true;
        if (w->request) WinHttpCloseHandle(w->request);
        w->request = nullptr;
        return 0;
    }
    return 0;
}

// Starts the watcher when there is a caller to watch and stops it (joining
// the thread) when the exchange is over.
class watcher {
public:
    watcher(departure_watch& w) : w_(w) {
        if (!w.watch || !w.watch->caller || !w.watch->caller->valid()) return;
        w.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (w.stop) thread_ = CreateThread(nullptr, 64 * 1024, watch_caller, &w, 0, nullptr);
        w.lock.lock();
        locked_ = true;
    }
    watcher(const watcher&) = delete;
    watcher& operator=(const watcher&) = delete;
    ~watcher() {
        if (locked_) w_.lock.unlock();
        if (thread_) {
            SetEvent(w_.stop);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        if (w_.stop) CloseHandle(w_.stop);
    }
    // Around each blocking WinHTTP call: the watcher may act meanwhile.
    void release() {
        if (locked_) w_.lock.unlock();
    }
    // After it: false when the handle is gone (the caller left, or a drain
    // ran out of time).
    bool retake() {
        if (locked_) w_.lock.lock();
        return !w_.gone && w_.request;
    }
    // From now on the caller is not watched; the drain is cut at its time limit.
    void start_drain() { w_.drain_until = GetTickCount64() + upstream_drain_max_ms; }

private:
    departure_watch& w_;
    HANDLE thread_ = nullptr;
    bool locked_ = false;
};


// WinHttpWriteData takes a DWORD count; pieces are written in parts below it.
constexpr size_t write_part_limit = 1u << 30;

bool write_pieces(HINTERNET request, std::span<const std::string_view> pieces) {
    for (std::string_view rest : pieces) {
        while (!rest.empty()) {
            DWORD part = static_cast<DWORD>(rest.size() < write_part_limit ? rest.size() : write_part_limit);
            DWORD written = 0;
            if (!WinHttpWriteData(request, rest.data(), part, &written) || written == 0) return false;
            rest.remove_prefix(written);
        }
    }
    return true;
}

void fail(upstream_result& out, const char* call, unsigned long code) {
    out.failed = true;
    bformat(out.detail, "%s %lu", call, code);
}

// One exchange's blocking WinHTTP calls, each made with the watch's lock
// released so the watcher can probe or cancel meanwhile.
struct watched_calls {
    watcher& watching;
    upstream_result& out;
    DWORD error = 0;  // of the last call that failed

    // Runs `call`; false when the exchange ends here: the caller left (the
    // watcher closed the request), or the call failed and `what` names it.
    template <typename Call>
    bool step(const char* what, Call call) {
        watching.release();
        BOOL ok = call();
        error = ok ? 0 : GetLastError();
        if (!watching.retake()) {
            out.caller_gone = out.stopped = true;
            return false;
        }
        if (!ok) fail(out, what, error);
        return ok;
    }
};

// The caller's reply is complete: the rest of the answer is read and dropped
// within the drain bounds, so the request handle is closed on a finished
// answer and its connection goes back to the session's pool. A drain cut
// short closes the handle on unread bytes, which drops the connection. No
// failure here is the caller's concern.
void drain_rest(HINTERNET request, watcher& watching, char* block, DWORD block_size) {
    watching.start_drain();
    DWORD limit = upstream_drain_max_ms;  // no single read waits past the drain's time either
    WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &limit, sizeof limit);
    ULONGLONG until = GetTickCount64() + upstream_drain_max_ms;
    size_t drained = 0;
    while (drained <= upstream_drain_max_bytes && GetTickCount64() < until) {
        watching.release();
        DWORD got = 0;
        BOOL ok = WinHttpReadData(request, block, block_size, &got);
        if (!watching.retake() || !ok || got == 0) return;
        drained += got;
    }
}

// The proxy credentials WinHTTP answers a 407 with.
void give_proxy_credentials(const upstream_client& c, HINTERNET request);

// A wide header value narrowed to ASCII into `narrow` (a character beyond
// it as '?'); false when the head has none or it does not fit.
template <size_t N>
bool narrow_header(HINTERNET request, DWORD query, const wchar_t* name, char (&narrow)[N], std::string_view& out,
                   bool* cut = nullptr) {
    wchar_t wide[N];
    DWORD size = sizeof wide;
    if (!WinHttpQueryHeaders(request, query, name, wide, &size, WINHTTP_NO_HEADER_INDEX)) {
        if (cut) *cut = GetLastError() == ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    size_t n = 0;
    for (; n < size / sizeof(wchar_t) && wide[n] && n < N - 1; ++n)
        narrow[n] = wide[n] < 0x80 ? static_cast<char>(wide[n]) : '?';
    narrow[n] = '\0';
    out = {narrow, n};
    return true;
}

// Room for what the relay reads of the final head.
struct head_text {
    char coding[upstream_coding_room];
    char retry_after[upstream_wait_room];
    char retry_after_ms[upstream_wait_room];
};

// The final head with its Content-Encoding narrowed to ASCII (empty when
// none); one too long for the room is reported cut, never taken for none.
upstream_head answer_head(HINTERNET request, unsigned long status, head_text& text) {
    upstream_head head{status};
    narrow_header(request, WINHTTP_QUERY_CONTENT_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX, text.coding,
                  head.content_encoding, &head.content_encoding_cut);
    narrow_header(request, WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX, text.retry_after, head.retry_after);
    narrow_header(request, WINHTTP_QUERY_CUSTOM, L"retry-after-ms", text.retry_after_ms, head.retry_after_ms);
    return head;
}

// The failures of sending that come before any byte of the request went
// out: the name, the connect, the TLS handshake.
bool never_sent(DWORD error) {
    return error == ERROR_WINHTTP_CANNOT_CONNECT || error == ERROR_WINHTTP_NAME_NOT_RESOLVED ||
           error == ERROR_WINHTTP_SECURE_FAILURE;
}

}  // namespace

struct upstream_client {
    upstream_config config;
    HINTERNET session = nullptr;
    wchar_t host[256] = {};
    wchar_t path[512] = {};
    wchar_t proxy_user[256] = {};
    wchar_t proxy_password[256] = {};
    // "Proxy-Authorization: Basic ...\r\n" for requests that go to the proxy
    // as they are (an http upstream); empty without credentials.
    wchar_t proxy_basic_line[768] = {};
    ~upstream_client() {
        if (session) WinHttpCloseHandle(session);
    }
};

void upstream_client_closer::operator()(upstream_client* c) const { delete c; }

namespace {

void give_proxy_credentials(const upstream_client& c, HINTERNET request) {
    if (!c.config.proxy.has_credentials()) return;
    WinHttpSetOption(request, WINHTTP_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(c.proxy_user),
                     static_cast<DWORD>(std::wcslen(c.proxy_user)));
    WinHttpSetOption(request, WINHTTP_OPTION_PROXY_PASSWORD, const_cast<wchar_t*>(c.proxy_password),
                     static_cast<DWORD>(std::wcslen(c.proxy_password)));
}

bool open_proxy_session(upstream_client& c, error_text& err) {
    const upstream_proxy& proxy = c.config.proxy;
    // WinHTTP takes the proxy as "host:port"; the record's url always begins
    // with "http://".
    const char* host_port = proxy.url + 7;
    wchar_t name[300];
    if (!widen(host_port, std::strlen(host_port), name) || !widen(proxy.user, std::strlen(proxy.user), c.proxy_user) ||
        !widen(proxy.password, std::strlen(proxy.password), c.proxy_password)) {
        set_error(err, "proxy %s: MultiByteToWideChar %lu", proxy.url, GetLastError());
        return false;
    }
    if (proxy.has_credentials()) {
        char pair[520];
        size_t pair_len = bformat(pair, "%s:%s", proxy.user, proxy.password);
        char encoded[700];
        char line[768];
        size_t line_len = 0;
        if (put_base64({pair, pair_len}, encoded)) line_len = bformat(line, "Proxy-Authorization: Basic %s\r\n", encoded);
        if (!line_len || !widen(line, line_len, c.proxy_basic_line)) {
            set_error(err, "proxy %s: credentials too long", proxy.url);
            return false;
        }
    }
    c.session = WinHttpOpen(L"zelk-shim/1.0", WINHTTP_ACCESS_TYPE_NAMED_PROXY, name, WINHTTP_NO_PROXY_BYPASS, 0);
    return true;
}

}  // namespace

upstream_client_ptr upstream_client_open(const upstream_config& config, error_text& err) {
    upstream_client_ptr c(new (std::nothrow) upstream_client);
    if (!c) {
        set_error(err, "out of memory");
        return nullptr;
    }
    c->config = config;
    c->config.ca_bundle = nullptr;  // WinHTTP always trusts the Windows store
    const upstream_target& t = config.target;
    if (!widen(t.host, std::strlen(t.host), c->host) || !widen(t.path, std::strlen(t.path), c->path)) {
        set_error(err, "upstream URL: MultiByteToWideChar %lu", GetLastError());
        return nullptr;
    }
    if (config.proxy.enabled()) {
        if (!open_proxy_session(*c, err)) return nullptr;
    } else {
        c->session = WinHttpOpen(L"zelk-shim/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (!c->session) {
        set_error(err, "WinHttpOpen %lu", GetLastError());
        return nullptr;
    }
    // WinHTTP's own receive limit of 30 s would fail any long buffered answer.
    // The receive limit holds for the wait for the head (WinHttpReceiveResponse)
    // and for each wait for body bytes; the send limit for the request and
    // its body; the name lookup, unlimited by default, shares the connect's.
    int silence = config.silence_timeout_ms;
    int connect = config.connect_timeout_ms;
    if (!WinHttpSetTimeouts(c->session, connect, connect, silence, silence)) {
        set_error(err, "WinHttpSetTimeouts %lu", GetLastError());
        return nullptr;
    }
    // The whole head has a limit of its own, 90 s unless set: a model that
    // thinks longer before it answers would fail whatever the silence limit.
    DWORD head_limit = static_cast<DWORD>(silence);
    if (!WinHttpSetOption(c->session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head_limit, sizeof head_limit)) {
        set_error(err, "WinHttpSetOption %lu", GetLastError());
        return nullptr;
    }
    return c;
}

namespace {

// A connection and a request handle for `verb` on the client's target.
bool open_request(const upstream_client& c, const wchar_t* verb, internet_handle& connection, HINTERNET& request,
                  upstream_result& out) {
    connection.reset(WinHttpConnect(c.session, c.host, c.config.target.port, 0));
    if (!connection) {
        fail(out, "WinHttpConnect", GetLastError());
        return false;
    }
    request = WinHttpOpenRequest(connection.get(), verb, c.path, nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, c.config.target.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request) {
        fail(out, "WinHttpOpenRequest", GetLastError());
        return false;
    }
    // A redirect is the upstream's answer, passed on as it is; WinHTTP would
    // otherwise follow it and turn the POST into a GET.
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);
    // Without them a proxy's 407 would also leave a closed connection in the pool.
    give_proxy_credentials(c, request);
    return true;
}

// Sends the request and its body, waits for the answer's head, hands it and
// then the body to the handler.
void run_exchange(const upstream_client& c, HINTERNET request, std::string_view header_lines,
                  std::span<const std::string_view> body, const upstream_handler& handler, watched_calls& calls) {
    upstream_result& out = calls.out;
    // An http upstream's request goes to the proxy as it is, so its
    // credentials go with it at once: answering a 407 instead costs a round
    // trip, and a proxy that closes on the unread body turns that 407 into a
    // reset. (Through a CONNECT tunnel this line would reach the upstream.)
    const wchar_t* proxy_line = !c.config.target.secure ? c.proxy_basic_line : L"";
    size_t proxy_len = std::wcslen(proxy_line);
    // The key's line may run to several KiB: on the heap, not on the
    // connection thread's stack.
    size_t cap = header_lines.size() + proxy_len + 1;
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[cap]);
    if (!wide) return fail(out, "out of memory", ERROR_NOT_ENOUGH_MEMORY);
    wchar_t* headers = wide.get();
    if (!widen_at(header_lines.data(), header_lines.size(), headers, cap))
        return fail(out, "MultiByteToWideChar", GetLastError());
    if (proxy_len) std::wcscat(headers, proxy_line);
    size_t body_size = 0;
    for (std::string_view piece : body) body_size += piece.size();
    if (body_size > MAXDWORD) return fail(out, "WinHttpSendRequest", ERROR_INVALID_PARAMETER);
    // A small body goes with the request in one send; a large one follows it
    // from its pieces as they are, never joined into one copy.
    std::string_view with_request;
    if (body.size() == 1 && body_size <= upstream_joined_body_limit) with_request = body[0];
    DWORD total_len = static_cast<DWORD>(body_size);
    DWORD first_len = static_cast<DWORD>(with_request.size());
    if (!calls.step("WinHttpSendRequest", [&] {
            return WinHttpSendRequest(request, headers[0] ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                                      headers[0] ? static_cast<DWORD>(-1L) : 0,
                                      first_len ? const_cast<char*>(with_request.data()) : WINHTTP_NO_REQUEST_DATA,
                                      first_len, total_len, 0);
        })) {
        out.unsent = out.failed && never_sent(calls.error);
        return;
    }
    if (first_len != total_len && !calls.step("WinHttpWriteData", [&] { return write_pieces(request, body); })) return;
    if (!calls.step("WinHttpReceiveResponse", [&] { return WinHttpReceiveResponse(request, nullptr); })) return;

    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX))
        out.status = status;
    head_text text;
    if (handler.head && !handler.head(handler.ctx, answer_head(request, out.status, text))) {
        out.stopped = true;
        return;
    }

    // WinHTTP reads a body of declared length no further than its length and
    // pools the connection whatever lies beyond it, where the next request
    // would read it as its answer. Wine's counts what waits on the socket as
    // available, and hands out as body what it read past the length with the
    // head. So more available than the length leaves means the connection
    // carried more than its answer: it is closed when the answer is done, and
    // no read asks past the length. What comes only after the body's end (or
    // after a last chunk) cannot be seen through WinHTTP.
    body_framing framing = framing_of(request);
    if (framing.ambiguous) close_after(request);

    // The body arrives with any transfer coding removed. A failure here means
    // the upstream went away mid-body: the caller must see an error, not a
    // quiet end.
    char block[upstream_block_size];
    unsigned long long total = 0;
    bool carried_more = false;
    for (;;) {
        DWORD available = 0;
        if (!calls.step("WinHttpQueryDataAvailable", [&] { return WinHttpQueryDataAvailable(request, &available); }))
            return;
        if (available == 0) break;
        if (framing.has_length) {
            unsigned long long left = framing.length - total;
            if (available > left && !carried_more) {
                carried_more = true;
                close_after(request);
            }
            if (left == 0) break;
            if (available > left) available = static_cast<DWORD>(left);
        }
        DWORD want = available < sizeof block ? available : static_cast<DWORD>(sizeof block);
        DWORD got = 0;
        if (!calls.step("WinHttpReadData", [&] { return WinHttpReadData(request, block, want, &got); })) return;
        if (got == 0) break;
        total += got;
        body_verdict said = handler.body(handler.ctx, block, got);
        if (said == body_verdict::more) continue;
        out.stopped = true;
        // A stop closes the request with its body unread, which drops the
        // connection and ends the transfer upstream too; a finished reply's
        // answer is drained first.
        if (said == body_verdict::done) drain_rest(request, calls.watching, block, sizeof block);
        return;
    }
    // Windows' WinHTTP fails the read when the connection drops early; Wine's
    // reports a quiet end instead, so the count is checked here too, and the
    // drop reported with the code WinHTTP itself uses for it.
    if (framing.has_length && total < framing.length) fail(out, "WinHttpReadData", ERROR_WINHTTP_CONNECTION_ERROR);
}

}  // namespace

void upstream_exchange(upstream_client& c, std::string_view header_lines, std::span<const std::string_view> body,
                       const upstream_handler& handler, upstream_result& out) {
    internet_handle connection;  // declared first, so it is closed after the request
    HINTERNET opened = nullptr;
    if (!open_request(c, L"POST", connection, opened, out)) return;
    // The request handle belongs to the watch: the watcher closes it when the
    // caller leaves (cancelling whatever call is blocked on it), else it is
    // closed here at the end.
    departure_watch dw;
    dw.watch = &handler;
    dw.request = opened;
    struct close_request {
        departure_watch& w;
        ~close_request() {
            std::lock_guard<std::mutex> hold(w.lock);
            if (w.request) WinHttpCloseHandle(w.request);
            w.request = nullptr;
        }
    } closer{dw};
    watcher watching(dw);  // declared after the closer: its thread is stopped first
    watched_calls calls{watching, out};
    run_exchange(c, opened, header_lines, body, handler, calls);
    if (out.caller_gone) out.failed = false;  // what failed was the cancelled call
}

// The warm-up: a bodiless OPTIONS without the key, its answer read to the end
// so the connection goes back to the session's pool for the first chat turn.
void os_upstream_warm_up(void* arg) {
    const upstream_client& c = *static_cast<upstream_client*>(arg);
    internet_handle connection;
    HINTERNET opened = nullptr;
    upstream_result ignored;
    if (!open_request(c, L"OPTIONS", connection, opened, ignored)) return;
    internet_handle request(opened);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return;
    char block[4096];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), block, sizeof block, &got) || got == 0) break;
    }
}
