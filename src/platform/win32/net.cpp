// Sockets on Winsock 2. A SOCKET is an unsigned pointer-sized value; it lives
// in the handle's intptr_t, and INVALID_SOCKET (~0) reads there as -1, the
// handle's own "invalid".
#include "platform/net.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

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

bool send_one(SOCKET s, std::string_view bytes) {
    while (!bytes.empty()) {
        int want = static_cast<int>(bytes.size() < max_piece ? bytes.size() : max_piece);
        int n = ::send(s, bytes.data(), want, 0);
        if (n == SOCKET_ERROR) return false;  // includes the send time limit running out
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

socket_handle& socket_handle::operator=(socket_handle&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void socket_handle::reset() {
    if (fd_ != invalid) {
        ::closesocket(static_cast<SOCKET>(fd_));
        fd_ = invalid;
    }
}

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

bool tcp_socket(socket_handle& out, error_text& err) {
    // Not inheritable: no child process may keep the port or a client open.
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return fail(err, "socket");
    out = socket_handle(static_cast<intptr_t>(s));
    return true;
}

bool sock_set_listener_reuse(const socket_handle& s, error_text& err) {
    // Windows lets a new listener bind over TIME_WAIT leftovers by default;
    // what it does not do by default is keep another program from binding the
    // same port on top of ours. SO_EXCLUSIVEADDRUSE does.
    BOOL on = TRUE;
    return set_option(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &on, sizeof on, err, "setsockopt SO_EXCLUSIVEADDRUSE");
}

bool tcp_bind_loopback(const socket_handle& s, uint16_t port, error_text& err) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sock_of(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(err, "bind");
    return true;
}

bool tcp_listen(const socket_handle& s, int backlog, error_text& err) {
    if (::listen(sock_of(s), backlog) != 0) return fail(err, "listen");
    return true;
}

int sock_local_port(const socket_handle& s) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

bool tcp_accept(const socket_handle& listener, socket_handle& out) {
    SOCKET c = ::accept(sock_of(listener), nullptr, nullptr);
    if (c == INVALID_SOCKET) return false;
    out = socket_handle(static_cast<intptr_t>(c));
    SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    return true;
}

bool sock_set_nodelay(const socket_handle& s, error_text& err) {
    BOOL on = TRUE;
    return set_option(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on, err, "setsockopt TCP_NODELAY");
}

bool sock_set_send_timeout(const socket_handle& s, int millis, error_text& err) {
    // Winsock takes the limit as a DWORD of milliseconds, not a timeval.
    DWORD ms = millis < 0 ? 0 : static_cast<DWORD>(millis);
    return set_option(s, SOL_SOCKET, SO_SNDTIMEO, &ms, sizeof ms, err, "setsockopt SO_SNDTIMEO");
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
    if (n > 0) return {recv_status::data, static_cast<size_t>(n)};
    if (n == 0) return {recv_status::closed, 0};
    return {recv_status::failed, 0};
}

bool sock_send_all(const socket_handle& s, std::string_view bytes) { return send_one(sock_of(s), bytes); }

bool sock_send_gather(const socket_handle& s, std::span<const std::string_view> parts) {
    constexpr size_t max_parts = 8;
    bool oversized = false;
    for (std::string_view p : parts) oversized |= p.size() > max_piece;
    if (parts.size() > max_parts || oversized) {
        for (std::string_view p : parts)
            if (!send_one(sock_of(s), p)) return false;
        return true;
    }
    WSABUF bufs[max_parts];
    DWORD count = 0;
    for (std::string_view p : parts) {
        if (p.empty()) continue;
        bufs[count].buf = const_cast<char*>(p.data());
        bufs[count].len = static_cast<ULONG>(p.size());
        ++count;
    }
    DWORD first = 0;
    while (first < count) {
        DWORD sent = 0;
        if (WSASend(sock_of(s), bufs + first, count - first, &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
            return false;  // includes the send time limit running out
        while (first < count && sent >= bufs[first].len) {
            sent -= bufs[first].len;
            ++first;
        }
        if (first < count) {
            bufs[first].buf += sent;
            bufs[first].len -= sent;
        }
    }
    return true;
}

void sock_shutdown_send(const socket_handle& s) { ::shutdown(sock_of(s), SD_SEND); }
