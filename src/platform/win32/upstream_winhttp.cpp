// The upstream client on top of WinHTTP, used synchronously. One process-wide
// session keeps upstream connections (and their TLS) alive between requests:
// WinHTTP pools connections per session, so a chat turn after the first skips
// the connect and the handshake. Each call gets its own connection and request
// handle; WinHTTP handles may be used from any thread. TLS checks the
// server's certificate against the Windows trust store.
#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>

#include "platform/upstream.hpp"

const char* const upstream_trust_help = "  the upstream's TLS certificate is checked against the Windows certificate store\n";

namespace {

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

bool upstream_startup(error_text& err) {
    g_session = WinHttpOpen(L"zelk-shim/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
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

void call_upstream(const upstream_call& call, body_sink sink, void* ctx, upstream_outcome& out) {
    const upstream_target& target = *call.target;
    std::string_view header_lines = call.header_lines;
    std::string_view body = call.body;
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
    internet_handle request(WinHttpOpenRequest(connection.get(), L"POST", path, nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES,
                                               target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        set_error(out.error, "WinHttpOpenRequest %lu", GetLastError());
        return;
    }
    // A redirect is the upstream's answer, passed on as it is; WinHTTP would
    // otherwise follow it and turn the POST into a GET.
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects, sizeof no_redirects);

    wchar_t headers[768];
    if (!widen(header_lines.data(), header_lines.size(), headers)) {
        set_error(out.error, "upstream header lines too long");
        return;
    }
    if (body.size() > MAXDWORD) {
        set_error(out.error, "WinHttpSendRequest %lu", static_cast<unsigned long>(ERROR_INVALID_PARAMETER));
        return;
    }
    DWORD body_len = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request.get(), headers[0] ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            headers[0] ? static_cast<DWORD>(-1L) : 0, const_cast<char*>(body.data()), body_len,
                            body_len, 0)) {
        set_error(out.error, "WinHttpSendRequest %lu", GetLastError());
        return;
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        set_error(out.error, "WinHttpReceiveResponse %lu", GetLastError());
        return;
    }

    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size, WINHTTP_NO_HEADER_INDEX))
        out.status = status;

    // The body arrives with any transfer coding removed. A failure here means
    // the upstream went away mid-body: the caller must see an error, not a
    // quiet end.
    char block[upstream_block_size];
    unsigned long long total = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            set_error(out.error, "WinHttpQueryDataAvailable %lu", GetLastError());
            break;
        }
        if (available == 0) break;
        DWORD want = available < sizeof block ? available : static_cast<DWORD>(sizeof block);
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), block, want, &got)) {
            set_error(out.error, "WinHttpReadData %lu", GetLastError());
            break;
        }
        if (got == 0) break;
        total += got;
        out.received_body = true;
        if (!sink(ctx, block, got)) {
            // Closing the request with its body unread drops the connection,
            // which ends the transfer upstream too.
            out.stopped = true;
            return;
        }
    }
    if (out.error.empty() && body_cut_short(request.get(), total))
        set_error(out.error, "WinHttpReadData %lu", static_cast<unsigned long>(ERROR_WINHTTP_CONNECTION_ERROR));
}
