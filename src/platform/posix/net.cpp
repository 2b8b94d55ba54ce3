#include "platform/net.hpp"
#include "platform/per_system.hpp"

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
#include <chrono>
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
// kept on the socket by set_send_timeout (none: wait as long as it takes).
bool wait_writable(int fd) {
    timeval limit{};
    socklen_t len = sizeof limit;
    int millis = -1;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &len) == 0 && (limit.tv_sec || limit.tv_usec))
        millis = static_cast<int>(limit.tv_sec * 1000 + limit.tv_usec / 1000);
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        int r = ::poll(&p, 1, millis);
        if (r < 0 && errno == EINTR) continue;
        return r > 0 && !(p.revents & (POLLERR | POLLNVAL));
    }
}

bool set_listener_reuse(const socket_handle& s, error_text& err) {
    return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1, err, "setsockopt SO_REUSEADDR");
}

void set_accept_on_data(const socket_handle& listener) {
#ifdef TCP_DEFER_ACCEPT
    int seconds = 1;
    setsockopt(fd_of(listener), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
#else
    (void)listener;
#endif
}

bool set_nodelay(const socket_handle& s, error_text& err) {
    return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1, err, "setsockopt TCP_NODELAY");
}

// The limit lives on the socket; sends wait for room with it (see wait_writable).
bool set_send_timeout(const socket_handle& s, int millis, error_text& err) {
    timeval tv{};
    tv.tv_sec = millis / 1000;
    tv.tv_usec = (millis % 1000) * 1000;
    if (setsockopt(fd_of(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return fail(err, "setsockopt SO_SNDTIMEO");
    return true;
}

}  // namespace

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

void sock_prepare_listener(const socket_handle& listener, int send_stall_ms) {
    error_text ignored;  // each option only helps: the listener works without it
    set_listener_reuse(listener, ignored);
    // Accepted sockets take these two over from the listener.
    set_nodelay(listener, ignored);
    set_send_timeout(listener, send_stall_ms, ignored);
    set_accept_on_data(listener);
}

void sock_prepare_accepted(const socket_handle&, int) {}

bool tcp_socket(socket_handle& out, error_text& err) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(err, "socket");
    out = socket_handle(fd);
    return true;
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

recv_result sock_recv_within(const socket_handle& s, char* dst, size_t cap, int millis) {
    // Bytes are usually there already (a request follows its connect at
    // once), so try first and wait only when there is nothing yet.
    for (;;) {
        ssize_t n = ::recv(fd_of(s), dst, cap, MSG_DONTWAIT);
        if (n > 0) {
            return {recv_status::data, static_cast<size_t>(n)};
        }
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

long long os_send_vector(intptr_t socket, const std::string_view* parts, size_t count) {
    iovec iov[send_vector_max];
    for (size_t i = 0; i < count; ++i) iov[i] = {const_cast<char*>(parts[i].data()), parts[i].size()};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    for (;;) {
        // Never blocking in the send itself: a peer that stops reading gets
        // the stall limit once from its last progress, not once per partial
        // write.
        ssize_t n = ::sendmsg(static_cast<int>(socket), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (!wait_writable(static_cast<int>(socket))) return -1;
    }
}

void sock_shutdown_send(const socket_handle& s) { ::shutdown(fd_of(s), SHUT_WR); }

// poll() tells apart what the caller's connection did: POLLRDHUP alone is
// its FIN (a half-close and a departure look the same), POLLHUP/POLLERR a
// reset or a close both ways. After a FIN only those two are asked for, so a
// half-closed caller does not wake the wait at once again.
bool sock_wait_watching(const socket_handle& s, int millis, probe_result (*probe)(void* ctx), void* ctx) {
    using clock = std::chrono::steady_clock;
    clock::time_point until = clock::now() + std::chrono::milliseconds(millis);
    bool half_closed = false;
    bool probed = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now()).count();
        if (left <= 0) return false;
        if (half_closed && !probed) {
            probe_result said = probe ? probe(ctx) : probe_result::later;
            if (said == probe_result::gone) return true;
            probed = said == probe_result::sent;
        }
        pollfd p{fd_of(s), static_cast<short>(half_closed ? 0 : POLLRDHUP), 0};
        int r = ::poll(&p, 1, static_cast<int>(left < 250 ? left : 250));
        if (r < 0 && errno != EINTR) return false;  // nothing to watch: wait on as told
        if (r <= 0) continue;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
        if (p.revents & POLLRDHUP) half_closed = true;
    }
}
