// Sockets on Winsock 2. A SOCKET is an unsigned pointer-sized value; it lives
// in the handle's intptr_t, and INVALID_SOCKET (~0) reads there as -1, the
// handle's own "invalid".
#include "platform/net.hpp"
#include "platform/per_system.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

namespace {

SOCKET sock_of(const socket_handle& s) { return static_cast<SOCKET>(s.fd()); }

bool fail(error_text& err, const char* what) {
    set_error(err, "%s: error %d", what, WSAGetLastError());
    return false;
}

bool set_option(const socket_handle& s, int level, int name, const void* value, int size, error_text& err,
                const char* what) {
    if (setsockopt(sock_of(s), level, name, static_cast<const char*>(value), size) != 0) return fail(err, what);
    return true;
}

// WSABUF lengths are 32-bit; no reply comes near this, but a bigger part is
// sent in pieces rather than cut.
constexpr size_t max_piece = size_t{1} << 30;

bool set_listener_reuse(const socket_handle& s, error_text& err) {
    // Windows lets a new listener bind over TIME_WAIT leftovers by default;
    // what it does not do by default is keep another program from binding the
    // same port on top of ours. SO_EXCLUSIVEADDRUSE does.
    BOOL on = TRUE;
    return set_option(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &on, sizeof on, err, "setsockopt SO_EXCLUSIVEADDRUSE");
}

bool set_nodelay(const socket_handle& s, error_text& err) {
    BOOL on = TRUE;
    return set_option(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on, err, "setsockopt TCP_NODELAY");
}

bool set_send_timeout(const socket_handle& s, int millis, error_text& err) {
    // Winsock takes the limit as a DWORD of milliseconds, not a timeval.
    DWORD ms = millis < 0 ? 0 : static_cast<DWORD>(millis);
    return set_option(s, SOL_SOCKET, SO_SNDTIMEO, &ms, sizeof ms, err, "setsockopt SO_SNDTIMEO");
}

}  // namespace

bool net_startup(error_text& err) {
    // A vanished peer makes send fail with WSAECONNRESET; Windows has no
    // signal to ignore.
    WSADATA data;
    int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) {
        set_error(err, "WSAStartup: error %d", rc);
        return false;
    }
    return true;
}

int net_last_error() { return WSAGetLastError(); }

// Windows has no way to hold a connection back until its first bytes.
void sock_prepare_listener(const socket_handle& listener, int) {
    error_text ignored;  // only helps: the listener works without it
    set_listener_reuse(listener, ignored);
}

// Accepted sockets are not documented to take these two over from the
// listener: set on each connection.
void sock_prepare_accepted(const socket_handle& s, int send_stall_ms) {
    error_text ignored;
    set_nodelay(s, ignored);
    set_send_timeout(s, send_stall_ms, ignored);
}

bool tcp_socket(socket_handle& out, error_text& err) {
    // Not inheritable: no child process may keep the port or a client open.
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return fail(err, "socket");
    out = socket_handle(static_cast<intptr_t>(s));
    return true;
}

bool tcp_accept(const socket_handle& listener, socket_handle& out) {
    SOCKET c = ::accept(sock_of(listener), nullptr, nullptr);
    if (c == INVALID_SOCKET) return false;
    out = socket_handle(static_cast<intptr_t>(c));
    SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    return true;
}

recv_result sock_recv_within(const socket_handle& s, char* dst, size_t cap, int millis) {
    WSAPOLLFD p{};
    p.fd = sock_of(s);
    p.events = POLLRDNORM;
    int r = WSAPoll(&p, 1, millis < 0 ? 0 : millis);
    if (r == SOCKET_ERROR) return {recv_status::failed, 0};
    if (r == 0) return {recv_status::timed_out, 0};
    // POLLHUP or POLLERR also land here: recv then tells closed from failed.
    int want = static_cast<int>(cap < static_cast<size_t>(INT_MAX) ? cap : static_cast<size_t>(INT_MAX));
    int n = ::recv(sock_of(s), dst, want, 0);
    if (n > 0) {
        return {recv_status::data, static_cast<size_t>(n)};
    }
    if (n == 0) return {recv_status::closed, 0};
    return {recv_status::failed, 0};
}

long long os_send_vector(intptr_t socket, const std::string_view* parts, size_t count) {
    WSABUF bufs[send_vector_max];
    for (size_t i = 0; i < count; ++i) {
        bufs[i].buf = const_cast<char*>(parts[i].data());
        bufs[i].len = static_cast<ULONG>(parts[i].size() < max_piece ? parts[i].size() : max_piece);
    }
    DWORD sent = 0;
    if (WSASend(static_cast<SOCKET>(socket), bufs, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) ==
        SOCKET_ERROR)
        return -1;  // includes the send time limit running out
    return sent;
}

void sock_shutdown_send(const socket_handle& s) { ::shutdown(sock_of(s), SD_SEND); }

// As the upstream transport's watcher does: before the caller's FIN a peek
// tells what happened (0 bytes is the FIN, an error a reset); after it a
// peek reads 0 even once a reset has come, so the socket's pending error and
// a send of nothing tell.
bool sock_wait_watching(const socket_handle& s, int millis, probe_result (*probe)(void* ctx), void* ctx) {
    SOCKET sock = sock_of(s);
    ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(millis < 0 ? 0 : millis);
    bool half_closed = false;
    bool probed = false;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= until) return false;
        if (probed) {
            int err = 0;
            int len = sizeof err;
            if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err != 0) return true;
            if (send(sock, "", 0, 0) == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return true;
        } else if (half_closed) {
            probe_result said = probe ? probe(ctx) : probe_result::later;
            if (said == probe_result::gone) return true;
            probed = said == probe_result::sent;
        } else {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(sock, &readable);
            timeval none{0, 0};
            if (select(0, &readable, nullptr, nullptr, &none) > 0) {
                char byte;
                int n = recv(sock, &byte, 1, MSG_PEEK);
                if (n == 0) {
                    half_closed = true;
                    continue;
                }
                if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return true;
            }
        }
        ULONGLONG left = until - now;
        Sleep(static_cast<DWORD>(left < 250 ? left : 250));
    }
}
