// The upstream client on top of WinHTTP, used synchronously. One process-wide
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
#include <mutex>
#include <new>

#include "platform/thread.hpp"
#include "platform/os_calls.hpp"
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

private:
    HINTERNET h_;
};

// Opened once in upstream_startup and kept for the process's life.
HINTERNET g_session = nullptr;
upstream_proxy g_proxy;
wchar_t g_proxy_user[256];
wchar_t g_proxy_password[256];
// "Proxy-Authorization: Basic ...\r\n" for requests that go to the proxy as
// they are (an http upstream); empty without credentials.
wchar_t g_proxy_basic_line[768];

// UTF-8 text of `len` bytes into a terminated wide text; false when it does
// not fit.
template <size_t N>
bool widen(const char* text, size_t len, wchar_t (&out)[N]) {
    out[0] = L'\0';
    if (len == 0) return true;
    if (len >= N) {  // a UTF-8 byte never becomes more than one wide character
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(len), out, static_cast<int>(N - 1));
    if (n <= 0) return false;
    out[n] = L'\0';
    return true;
}

// True when the answer declared a longer body than arrived. Windows' WinHTTP
// fails the read when the connection drops early; Wine's reports a quiet end
// instead, so the count is checked here too, and the drop reported with the
// code WinHTTP itself uses for it.
bool body_cut_short(HINTERNET request, unsigned long long received) {
    wchar_t text[32];
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;  // no length declared: the body ends where the connection does
    wchar_t* end = nullptr;
    unsigned long long declared = std::wcstoull(text, &end, 10);
    return end != text && received < declared;
}

}  // namespace

bool upstream_startup(error_text& err, const upstream_proxy* proxy) {
    if (proxy && proxy->enabled()) {
        g_proxy = *proxy;
        // WinHTTP takes the proxy as "host:port"; the record's url always
        // begins with "http://".
        const char* host_port = g_proxy.url + 7;
        wchar_t name[300];
        if (!widen(host_port, std::strlen(host_port), name) ||
            !widen(g_proxy.user, std::strlen(g_proxy.user), g_proxy_user) ||
            !widen(g_proxy.password, std::strlen(g_proxy.password), g_proxy_password)) {
            set_error(err, "proxy %s: MultiByteToWideChar %lu", g_proxy.url, GetLastError());
            return false;
        }
        if (g_proxy.has_credentials()) {
            char pair[520];
            size_t pair_len = bformat(pair, "%s:%s", g_proxy.user, g_proxy.password);
            char encoded[700];
            char line[768];
            size_t line_len = 0;
            if (put_base64({pair, pair_len}, encoded))
                line_len = bformat(line, "Proxy-Authorization: Basic %s\r\n", encoded);
            if (!line_len || !widen(line, line_len, g_proxy_basic_line)) {
                set_error(err, "proxy %s: credentials too long", g_proxy.url);
                return false;
            }
        }
        g_session = WinHttpOpen(L"zelk-shim/1.0", WINHTTP_ACCESS_TYPE_NAMED_PROXY, name, WINHTTP_NO_PROXY_BYPASS, 0);
    } else {
        g_session = WinHttpOpen(L"zelk-shim/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (!g_session) {
        set_error(err, "WinHttpOpen %lu", GetLastError());
        return false;
    }
    // WinHTTP's own receive limit of 30 s would fail any long buffered answer.
    // 30 s to connect; a transfer fails only after 600 s of silence.
    if (!WinHttpSetTimeouts(g_session, 0, 30000, 600000, 600000)) {
        set_error(err, "WinHttpSetTimeouts %lu", GetLastError());
        return false;
    }
    return true;
}

namespace {

// Watches the caller from a thread of its own while the calling thread is
// blocked in WinHTTP, and cancels the exchange by closing the request handle,
// which makes the blocked call fail at once. `lock` is held by the calling
// thread except while it is inside a WinHTTP call, so the probe never meets
// the sink's sends and the handle is closed only while a call may be blocked.
struct departure_watch {
    const caller_watch* watch = nullptr;
    std::mutex lock;
    HINTERNET request = nullptr;  // owned by whoever takes it: the watcher on departure, else the caller
    bool gone = false;
    bool probed = false;
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
    SOCKET s = static_cast<SOCKET>(w->watch->socket->fd());
    while (WaitForSingleObject(w->stop, 250) == WAIT_TIMEOUT) {
        std::lock_guard<std::mutex> hold(w->lock);
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
                if (w->watch->probe) w->probed = w->watch->probe(w->watch->probe_ctx);
                continue;
            }
            left = WSAGetLastError() != WSAEWOULDBLOCK;
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
        if (!w.watch || !w.watch->socket) return;
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
    // After it: false when the caller left and the handle is gone.
    bool retake() {
        if (locked_) w_.lock.lock();
        return !w_.gone;
    }

private:
    departure_watch& w_;
    HANDLE thread_ = nullptr;
    bool locked_ = false;
};

// The final status and Content-Encoding: an answer that is no final answer,
// or one coded in a way nobody asked for (we send no Accept-Encoding and
// WinHTTP decodes nothing by itself), must not reach the caller as it is.
bool refuse_answer(HINTERNET request, upstream_outcome& out) {
    if (out.status != 0 && (out.status < 200 || out.status > 599)) {
        set_error(out.error, "upstream answered with status %lu", out.status);
        return true;
    }
    wchar_t coding[48];
    DWORD size = sizeof coding;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX, coding, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    char narrow[48];
    size_t n = 0;
    for (; coding[n] && n < sizeof narrow - 1; ++n) narrow[n] = coding[n] < 0x80 ? static_cast<char>(coding[n]) : '?';
    narrow[n] = '\0';
    if (n == 0 || _stricmp(narrow, "identity") == 0) return false;
    set_error(out.error, "upstream answered with Content-Encoding %s, which was not asked for", narrow);
    return true;
}

// The proxy credentials WinHTTP answers a 407 with.
void give_proxy_credentials(HINTERNET request) {
    if (!g_proxy.has_credentials()) return;
    WinHttpSetOption(request, WINHTTP_OPTION_PROXY_USERNAME, g_proxy_user, static_cast<DWORD>(std::wcslen(g_proxy_user)));
    WinHttpSetOption(request, WINHTTP_OPTION_PROXY_PASSWORD, g_proxy_password,
                     static_cast<DWORD>(std::wcslen(g_proxy_password)));
}

// WinHttpWriteData takes a DWORD count; pieces are written in parts below it.
constexpr size_t write_part_limit = 1u << 30;

bool write_pieces(HINTERNET request, const std::string_view* pieces, size_t piece_count) {
    for (size_t i = 0; i < piece_count; ++i) {
        std::string_view rest = pieces[i];
        while (!rest.empty()) {
            DWORD part = static_cast<DWORD>(rest.size() < write_part_limit ? rest.size() : write_part_limit);
            DWORD written = 0;
            if (!WinHttpWriteData(request, rest.data(), part, &written) || written == 0) return false;
            rest.remove_prefix(written);
        }
    }
    return true;
}

void perform(const upstream_target& target, std::string_view header_lines, const std::string_view* pieces,
             size_t piece_count, body_sink sink, void* ctx, upstream_outcome& out, const caller_watch* watch) {
    if (!g_session) {
        set_error(out.error, "WinHttpOpen %lu", static_cast<unsigned long>(ERROR_INVALID_HANDLE));
        return;
    }

    wchar_t host[256];
    if (!widen(target.host, std::strlen(target.host), host)) {
        set_error(out.error, "WinHttpConnect %lu", GetLastError());
        return;
    }
    // Declared first, so it is closed after the request.
    internet_handle connection(WinHttpConnect(g_session, host, target.port, 0));
    if (!connection) {
        set_error(out.error, "WinHttpConnect %lu", GetLastError());
        return;
    }

    wchar_t path[512];
    if (!widen(target.path, std::strlen(target.path), path)) {
        set_error(out.error, "WinHttpOpenRequest %lu", GetLastError());
        return;
    }
    HINTERNET opened = WinHttpOpenRequest(connection.get(), L"POST", path, nullptr, WINHTTP_NO_REFERER,
                                          WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!opened) {
        set_error(out.error, "WinHttpOpenRequest %lu", GetLastError());
        return;
    }
    // The request handle belongs to the watch: the watcher closes it when the
    // caller leaves (cancelling whatever call is blocked on it), else it is
    // closed here at the end.
    departure_watch dw;
    dw.watch = watch;
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
    HINTERNET request = opened;
    auto caller_left = [&] {
        out.caller_gone = out.stopped = true;
        out.error = {};
    };

    // A redirect is the upstream's answer, passed on as it is; WinHTTP would
    // otherwise follow it and turn the POST into a GET.
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);
    give_proxy_credentials(request);

    wchar_t headers[768 * 2];
    if (!widen(header_lines.data(), header_lines.size(), headers)) {
        set_error(out.error, "upstream header lines too long");
        return;
    }
    // An http upstream's request goes to the proxy as it is, so its
    // credentials go with it at once: answering a 407 instead costs a round
    // trip, and a proxy that closes on the unread body turns that 407 into a
    // reset. (Through a CONNECT tunnel this line would reach the upstream.)
    if (!target.secure && g_proxy_basic_line[0]) std::wcscat(headers, g_proxy_basic_line);
    size_t body_size = 0;
    for (size_t i = 0; i < piece_count; ++i) body_size += pieces[i].size();
    if (body_size > MAXDWORD) {
        set_error(out.error, "WinHttpSendRequest %lu", static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
        return;
    }
    // A small body goes with the request in one send; a large one follows it
    // from its pieces as they are, never joined into one copy.
    std::string_view with_request;
    if (piece_count == 1 && body_size <= upstream_joined_body_limit) with_request = pieces[0];
    DWORD total_len = static_cast<DWORD>(body_size);
    DWORD first_len = static_cast<DWORD>(with_request.size());
    // Each blocking call runs with the watch's lock released, so the watcher
    // can probe or cancel meanwhile.
    watching.release();
    BOOL sent = WinHttpSendRequest(request, headers[0] ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                                   headers[0] ? static_cast<DWORD>(-1L) : 0,
                                   first_len ? const_cast<char*>(with_request.data()) : WINHTTP_NO_REQUEST_DATA,
                                   first_len, total_len, 0);
    DWORD error = GetLastError();
    if (!watching.retake()) return caller_left();
    if (!sent) {
        set_error(out.error, "WinHttpSendRequest %lu", error);
        return;
    }
    if (first_len != total_len) {
        watching.release();
        bool written = write_pieces(request, pieces, piece_count);
        error = GetLastError();
        if (!watching.retake()) return caller_left();
        if (!written) {
            set_error(out.error, "WinHttpWriteData %lu", error);
            return;
        }
    }
    watching.release();
    BOOL answered = WinHttpReceiveResponse(request, nullptr);
    error = GetLastError();
    if (!watching.retake()) return caller_left();
    if (!answered) {
        set_error(out.error, "WinHttpReceiveResponse %lu", error);
        return;
    }

    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX))
        out.status = status;
    if (g_proxy.enabled() && status == HTTP_STATUS_PROXY_AUTH_REQ) {
        set_error(out.error, "proxy %s asks for credentials (407)", g_proxy.url);
        return;
    }
    if (refuse_answer(request, out)) return;

    // The body arrives with any transfer coding removed. A failure here means
    // the upstream went away mid-body: the caller must see an error, not a
    // quiet end.
    char block[upstream_block_size];
    unsigned long long total = 0;
    for (;;) {
        DWORD available = 0;
        watching.release();
        BOOL asked = WinHttpQueryDataAvailable(request, &available);
        error = GetLastError();
        if (!watching.retake()) return caller_left();
        if (!asked) {
            set_error(out.error, "WinHttpQueryDataAvailable %lu", error);
            break;
        }
        if (available == 0) break;
        DWORD want = available < sizeof block ? available : static_cast<DWORD>(sizeof block);
        DWORD got = 0;
        watching.release();
        BOOL read = WinHttpReadData(request, block, want, &got);
        error = GetLastError();
        if (!watching.retake()) return caller_left();
        if (!read) {
            set_error(out.error, "WinHttpReadData %lu", error);
            break;
        }
        if (got == 0) break;
        total += got;
        if (!out.received_body) out.first_byte_at = std::chrono::steady_clock::now();
        out.received_body = true;
        if (!sink(ctx, block, got)) {
            // Closing the request with its body unread drops the connection,
            // which ends the transfer upstream too.
            out.stopped = true;
            return;
        }
    }
    if (out.error.empty() && body_cut_short(request, total))
        set_error(out.error, "WinHttpReadData %lu", static_cast<unsigned long>(ERROR_WINHTTP_CONNECTION_ERROR));
}

}  // namespace

// The warm-up: a bodiless OPTIONS without the key, its answer read to the end
// so the connection goes back to the session's pool for the first chat turn.
void os_upstream_warm_up(void* arg) {
    auto* owned = static_cast<upstream_target*>(arg);
    upstream_target target = *owned;
    delete owned;
    wchar_t host[256];
    wchar_t path[512];
    if (!widen(target.host, std::strlen(target.host), host) || !widen(target.path, std::strlen(target.path), path))
        return;
    internet_handle connection(WinHttpConnect(g_session, host, target.port, 0));
    if (!connection) return;
    internet_handle request(WinHttpOpenRequest(connection.get(), L"OPTIONS", path, nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES,
                                               target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return;
    // Without them a proxy's 407 would leave a closed connection in the pool.
    give_proxy_credentials(request.get());
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return;
    char block[4096];
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), block, sizeof block, &got) || got == 0) break;
    }
}

bool os_upstream_ready() { return g_session != nullptr; }

void os_perform_upstream(const upstream_target& target, std::string_view header_lines,
                         std::span<const std::string_view> pieces, body_sink sink, void* ctx, upstream_outcome& out,
                         const caller_watch* watch) {
    perform(target, header_lines, pieces.data(), pieces.size(), sink, ctx, out, watch);
    if (g_proxy.enabled() && !out.error.empty() && !std::strstr(out.error.s, g_proxy.url)) {
        error_text plain = out.error;
        set_error(out.error, "%s via proxy %s", plain.s, g_proxy.url);
    }
}
