// Sockets: the loopback listener and the traffic with local clients. One thin
// function per operation or option, each reporting failure as a value (and,
// where a caller prints it, a readable text or the platform's error code).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "text/bounded.hpp"

// Owns one socket; closes it when it goes out of scope.
class socket_handle {
public:
    socket_handle() = default;
    explicit socket_handle(intptr_t fd) : fd_(fd) {}
    socket_handle(const socket_handle&) = delete;
    socket_handle& operator=(const socket_handle&) = delete;
    socket_handle(socket_handle&& other) noexcept : fd_(other.release()) {}
    socket_handle& operator=(socket_handle&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    ~socket_handle() { reset(); }

    bool valid() const { return fd_ != invalid; }
    intptr_t fd() const { return fd_; }
    intptr_t release() {
        intptr_t fd = fd_;
        fd_ = invalid;
        return fd;
    }
    void reset();

    static constexpr intptr_t invalid = -1;

private:
    intptr_t fd_ = invalid;
};

// Once per process, before any other call: starts the socket library and
// makes a write to a vanished peer an error instead of a process signal.
bool net_startup(error_text& err);

// The platform's code of the last failed socket call (errno, WSAGetLastError).
int net_last_error();

bool tcp_socket(socket_handle& out, error_text& err);
bool tcp_bind_loopback(const socket_handle& s, uint16_t port, error_text& err);
bool tcp_listen(const socket_handle& s, int backlog, error_text& err);
int sock_local_port(const socket_handle& s);  // -1 on failure
// Waits for the next connection; false on failure (the caller just retries).
bool tcp_accept(const socket_handle& listener, socket_handle& out);

// The listener's options, before it is bound: its port back at a restart
// while old connections linger in TIME_WAIT, and no other program taking it
// over while we hold it; where the system offers it, connections handed
// over only once their first bytes are in (or after about a second of
// silence), so the thread that serves one wakes once per request instead of
// twice. Where accepted sockets take over the listener's options, also
// those of every connection (see sock_prepare_accepted), set once here.
void sock_prepare_listener(const socket_handle& listener, int send_stall_ms);
// Each accepted connection's options, where it did not take them over from
// the listener: no delay (events must not wait for the Nagle timer), and a
// send blocked `send_stall_ms` (the peer stopped reading) fails.
void sock_prepare_accepted(const socket_handle& s, int send_stall_ms);

enum class recv_status { data, closed, failed, timed_out };
struct recv_result {
    recv_status status;
    size_t count;
};
// Receives what is there, waiting at most `millis` for the first byte.
recv_result sock_recv_within(const socket_handle& s, char* dst, size_t cap, int millis);

// Sends every byte, completing partial sends; false once the peer is gone.
// Each adds the bytes it sent to `sent`.
bool sock_send_all(const socket_handle& s, std::string_view bytes, uint64_t& sent);
// Sends all parts as one write (one system call when the kernel takes them
// all), so a reply or a relayed chunk leaves in one segment.
bool sock_send_gather(const socket_handle& s, std::span<const std::string_view> parts, uint64_t& sent);
// No more bytes from us; the peer sees the end of the reply.
void sock_shutdown_send(const socket_handle& s);

// What a probe of a half-closed caller did.
enum class probe_result {
    later,  // nothing may be sent now: asked again later
    sent,   // bytes went out: a caller that left answers them with a reset
    gone,   // the half-close itself means the caller has left
};

// Waits `millis` while watching the caller as the upstream transport does
// (a reset or error is a departure; after a half-close `probe` is asked,
// and a caller that left answers what it sent with a reset). True as soon
// as the caller has left, at most about 250 ms after it did.
bool sock_wait_watching(const socket_handle& s, int millis, probe_result (*probe)(void* ctx), void* ctx);
