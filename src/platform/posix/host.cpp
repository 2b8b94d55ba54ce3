#include "platform/host.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix/ini_text.hpp"

size_t exe_directory(char* out, size_t cap) {
    if (cap == 0) return 0;
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        out[0] = '\0';
        return 0;
    }
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash) slash[1] = '\0';
    std::snprintf(out, cap, "%s", path);
    return std::strlen(out);
}

size_t ini_read_value(const char* path, const char* section, const char* key, char* out, size_t cap) {
    if (cap) out[0] = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    // An ini file of a few settings; anything past 64 KiB is not ours to read.
    static constexpr size_t max_ini = 65536;
    char* text = static_cast<char*>(std::malloc(max_ini));
    size_t len = 0;
    if (text) {
        ssize_t n;
        while (len < max_ini && (n = read(fd, text + len, max_ini - len)) > 0) len += static_cast<size_t>(n);
    }
    close(fd);
    size_t found = text ? ini_find_value({text, len}, section, key, out, cap) : 0;
    std::free(text);
    return found;
}

void debug_copy_path(char* out, size_t cap) {
    const char* dir = env_value("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    size_t dlen = std::strlen(dir);
    const char* sep = dlen && dir[dlen - 1] == '/' ? "" : "/";
    std::snprintf(out, cap, "%s%szelk_shim_debug.json", dir, sep);
}

bool replace_file_atomically(const char* path, std::string_view data, error_text& err) {
    static std::atomic<unsigned> serial{0};
    char temp[1100];
    int n = std::snprintf(temp, sizeof temp, "%s.%ld.%u.tmp", path, static_cast<long>(getpid()),
                          serial.fetch_add(1, std::memory_order_relaxed));
    if (n < 0 || static_cast<size_t>(n) >= sizeof temp) {
        set_error(err, "debug path too long");
        return false;
    }
    // O_EXCL|O_NOFOLLOW: never write through a link someone planted; owner-only,
    // since the body may hold the user's conversation.
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        set_error(err, "open %s: %s", temp, std::strerror(errno));
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    bool closed = close(fd) == 0;
    bool ok = done == data.size() && closed;
    if (!ok || rename(temp, path) != 0) {
        set_error(err, "write %s: %s", path, std::strerror(errno));
        unlink(temp);
        return false;
    }
    return true;
}

size_t utc_timestamp(char* out, size_t cap) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    size_t n = std::strftime(out, cap, "%Y-%m-%dT%H:%M:%SZ", &t);
    if (n == 0 && cap) out[0] = '\0';
    return n;
}

const char* env_value(const char* name) { return std::getenv(name); }
