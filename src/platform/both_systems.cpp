// Platform code that reads the same on both systems, on top of the calls
// each provides (sys_sockets.hpp for sockets, per_system.hpp for the rest).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "sys_sockets.hpp"
#include "platform/host.hpp"
#include "platform/net.hpp"
#include "platform/per_system.hpp"
#include "platform/thread.hpp"
#include "platform/upstream.hpp"

void socket_handle::reset() {
    if (fd_ != invalid) {
        os_close_socket(fd_);
        fd_ = invalid;
    }
}

bool tcp_bind_loopback(const socket_handle& s, uint16_t port, error_text& err) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(os_socket_of(s.fd()), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        set_os_error(err, "bind");
        return false;
    }
    return true;
}

bool tcp_listen(const socket_handle& s, int backlog, error_text& err) {
    if (::listen(os_socket_of(s.fd()), backlog) != 0) {
        set_os_error(err, "listen");
        return false;
    }
    return true;
}

int sock_local_port(const socket_handle& s) {
    sockaddr_in addr{};
    os_addr_len len = sizeof addr;
    if (getsockname(os_socket_of(s.fd()), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

bool sock_send_gather(const socket_handle& s, std::span<const std::string_view> parts, uint64_t& counted) {
    constexpr size_t max_parts = send_vector_max;
    if (parts.size() > max_parts) {
        for (std::string_view p : parts)
            if (!sock_send_gather(s, std::span<const std::string_view>(&p, 1), counted)) return false;
        return true;
    }
    std::string_view rest[max_parts];
    size_t count = 0;
    for (std::string_view p : parts)
        if (!p.empty()) rest[count++] = p;
    size_t first = 0;
    while (first < count) {
        long long n = os_send_vector(s.fd(), rest + first, count - first);
        if (n < 0) return false;
        size_t sent = static_cast<size_t>(n);
        counted += sent;
        while (first < count && sent >= rest[first].size()) {
            sent -= rest[first].size();
            ++first;
        }
        if (first < count) rest[first].remove_prefix(sent);
    }
    return true;
}

bool sock_send_all(const socket_handle& s, std::string_view bytes, uint64_t& sent) {
    std::string_view one[1] = {bytes};
    return sock_send_gather(s, one, sent);
}

bool replace_file_atomically(const char* path, std::string_view data, error_text& err) {
    static std::atomic<unsigned> serial{0};
    char temp[1100];
    size_t n = bformat(temp, "%s.%lu.%u.tmp", path, os_process_id(), serial.fetch_add(1, std::memory_order_relaxed));
    if (n >= sizeof temp - 1) {
        set_error(err, "debug path too long");
        return false;
    }
    if (!os_write_new_file(temp, data, err)) return false;
    if (!os_replace_file(temp, path, err)) {
        os_remove_file(temp);
        return false;
    }
    return true;
}

const char* env_value(const char* name) { return std::getenv(name); }

bool path_beside(const char* beside, std::string_view name, char* out, size_t cap) {
    std::string_view dir;
    if (!os_path_is_absolute(name)) {
        dir = beside;
        size_t slash = dir.find_last_of(os_path_separators);
        dir = slash == std::string_view::npos ? std::string_view{} : dir.substr(0, slash + 1);
    }
    if (dir.size() + name.size() >= cap) return false;
    bformat_at(out, cap, "%.*s%.*s", static_cast<int>(dir.size()), dir.data(), static_cast<int>(name.size()),
               name.data());
    return true;
}

file_read read_small_file(const char* path, size_t limit, buf& out) {
    out.clear();
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return file_read::unreadable;
    // One byte past the limit tells a larger file.
    bool fits = buf_reserve(out, limit + 1);
    size_t got = fits ? std::fread(out.data, 1, limit + 1, f) : 0;
    bool failed = !fits || std::ferror(f);  // a folder opens on some systems, and fails to read
    std::fclose(f);
    if (failed || got > limit) {
        out.clear();
        return failed ? file_read::unreadable : file_read::too_large;
    }
    buf_commit(out, got);
    return file_read::ok;
}

namespace {

struct start_cell {
    void (*entry)(void*);
    void* arg;
};

}  // namespace

void run_start_cell(void* p) {
    start_cell cell = *static_cast<start_cell*>(p);
    delete static_cast<start_cell*>(p);
    cell.entry(cell.arg);
}

bool start_detached_thread(void (*entry)(void*), void* arg, size_t stack_bytes) {
    auto* cell = new (std::nothrow) start_cell{entry, arg};
    if (!cell) return false;
    if (os_start_thread(cell, stack_bytes)) return true;
    delete cell;
    return false;
}

namespace {

// The start-up connection's thread: as much stack as a connection thread,
// which makes the same TLS handshake.
constexpr size_t warm_up_stack_bytes = 256 * 1024;

}  // namespace

void upstream_warm_up(upstream_client& client) {
    // A thread that could not be started only means no warm connection.
    start_detached_thread(os_upstream_warm_up, &client, warm_up_stack_bytes);
}
