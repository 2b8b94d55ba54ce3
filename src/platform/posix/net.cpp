#include "platform/net.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

int fd_of(const socket_handle& s) { return static_cast<int>(s.fd()); }

bool fail(error_text& err, const char* what) {
    set_error(err, "%s: %s", what, std::strerror(errno));
    return false;
}

bool set_int_option(const socket_handle& s, int level, int name, int value, error_text& err, const char* what) {
    if (setsockopt(fd_of(s), level, name, &value, sizeof value) != 0) return fail(err, what);
    return true;
}

// Waits until the socket can take more bytes, for at most the send limit
// kept on the socket by sock_set_send_timeout (none: wait as long as it takes).
bool wait_writable(const socket_handle& s) {
    timeval limit{};
    socklen_t len = sizeof limit;
    int millis = -1;
    if (getsockopt(fd_of(s), SOL_SOCKET, SO_SNDTIMEO, &limit, &len) == 0 && (limit.tv_sec || limit.tv_usec))
        millis = static_cast<int>(limit.tv_sec * 1000 + limit.tv_usec / 1000);
    pollfd p{fd_of(s), POLLOUT, 0};
    for (;;) {
        int r = ::poll(&p, 1, millis);
        if (r < 0 && errno == EINTR) continue;
        return r > 0 && !(p.revents & (POLLERR | POLLNVAL));
    }
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
        ::close(static_cast<int>(fd_));
        fd_ = invalid;
    }
}

bool net_startup(error_text& err) {
    // Sends use MSG_NOSIGNAL, but a library might not; a vanished peer must
    // never end the process.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) return fail(err, "signal");
    // Each served connection holds its own socket and often one to the
    // upstream; the usual soft limit of 1024 descriptors would stop accepting
    // well before the connection cap.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    return true;
}

int net_last_error() { return errno; }

bool tcp_socket(socket_handle& out, error_text& err) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(err, "socket");
    out = socket_handle(fd);
    return true;
}

bool sock_set_listener_reuse(const socket_handle& s, error_text& err) {
    return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1, err, "setsockopt SO_REUSEADDR");
}

bool tcp_bind_loopback(const socket_handle& s, uint16_t port, error_text& err) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_of(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail(err, "bind");
    return true;
}

bool tcp_listen(const socket_handle& s, int backlog, error_text& err) {
    if (::listen(fd_of(s), backlog) != 0) return fail(err, "listen");
    return true;
}

int sock_local_port(const socket_handle& s) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

bool tcp_accept(const socket_handle& listener, socket_handle& out) {
    int fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // Out of descriptors or memory: retrying at once would only spin
            // a core until a connection ends. Give them a moment.
            timespec pause{0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        return false;
    }
    out = socket_handle(fd);
    return true;
}

bool sock_set_nodelay(const socket_handle& s, error_text& err) {
    return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1, err, "setsockopt TCP_NODELAY");
}

// The limit lives on the socket; sends wait for room with it (see wait_writable).
bool sock_set_send_timeout(const socket_handle& s, int millis, error_text& err) {
    timeval tv{};
    tv.tv_sec = millis / 1000;
    tv.tv_usec = (millis % 1000) * 1000;
    if (setsockopt(fd_of(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return fail(err, "setsockopt SO_SNDTIMEO");
    return true;
}

recv_result sock_recv_within(const socket_handle& s, char* dst, size_t cap, int millis) {
    // Bytes are usually there already (a request follows its connect at
    // once), so try first and wait only when there is nothing yet.
    for (;;) {
        ssize_t n = ::recv(fd_of(s), dst, cap, MSG_DONTWAIT);
        if (n > 0) return {recv_status::data, static_cast<size_t>(n)};
        if (n == 0) return {recv_status::closed, 0};
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return {recv_status::failed, 0};
        pollfd p{fd_of(s), POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, millis < 0 ? 0 : millis);
        } while (r < 0 && errno == EINTR);
        if (r < 0) return {recv_status::failed, 0};
        if (r == 0) return {recv_status::timed_out, 0};
    }
}

bool sock_send_all(const socket_handle& s, std::string_view bytes) {
    std::string_view one[1] = {bytes};
    return sock_send_gather(s, one);
}

bool sock_send_gather(const socket_handle& s, std::span<const std::string_view> parts) {
    constexpr size_t max_parts = 8;
    if (parts.size() > max_parts) {
        for (std::string_view p : parts)
            if (!sock_send_gather(s, std::span<const std::string_view>(&p, 1))) return false;
        return true;
    }
    iovec iov[max_parts];
    size_t count = 0;
    for (std::string_view p : parts) {
        if (p.empty()) continue;
        iov[count].iov_base = const_cast<char*>(p.data());
        iov[count].iov_len = p.size();
        ++count;
    }
    size_t first = 0;
    while (first < count) {
        msghdr msg{};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = count - first;
        // Never blocking in the send itself: a peer that stops reading gets
        // the stall limit once from its last progress, not once per partial
        // write.
        ssize_t n = ::sendmsg(fd_of(s), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            if (!wait_writable(s)) return false;
            continue;
        }
        size_t sent = static_cast<size_t>(n);
        while (first < count && sent >= iov[first].iov_len) {
            sent -= iov[first].iov_len;
            ++first;
        }
        if (first < count) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + sent;
            iov[first].iov_len -= sent;
        }
    }
    return true;
}

void sock_shutdown_send(const socket_handle& s) { ::shutdown(fd_of(s), SHUT_WR); }
