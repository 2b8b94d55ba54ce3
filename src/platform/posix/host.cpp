#include "platform/host.hpp"
#include "platform/per_system.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "text/buf.hpp"
#include "text/ini_text.hpp"

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

bool os_path_is_absolute(std::string_view name) { return name.starts_with('/'); }
const char* const os_path_separators = "/";

bool ini_read_values(const char* path, const char* section, ini_value* values, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        values[i].len = 0;
        if (values[i].cap) values[i].out[0] = '\0';
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    // Read whole, one byte past the limit to tell a larger file.
    buf text;
    for (;;) {
        size_t room = ini_file_limit + 1 - text.len;
        if (room > 65536) room = 65536;
        if (room == 0) break;
        if (!buf_reserve(text, room)) {
            text.clear();  // never a part of the file
            break;
        }
        ssize_t n = read(fd, text.data + text.len, room);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buf_commit(text, static_cast<size_t>(n));
    }
    close(fd);
    if (text.len > ini_file_limit) return false;
    for (size_t i = 0; i < count; ++i)
        values[i].len = ini_find_value(text.view(), section, values[i].key, values[i].out, values[i].cap);
    return true;
}

void debug_copy_path(char* out, size_t cap) {
    const char* dir = env_value("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    size_t dlen = std::strlen(dir);
    const char* sep = dlen && dir[dlen - 1] == '/' ? "" : "/";
    std::snprintf(out, cap, "%s%szelk_shim_debug.json", dir, sep);
}

bool os_write_new_file(const char* path, std::string_view data, error_text& err) {
    // O_EXCL|O_NOFOLLOW: never write through a link someone planted; owner-only,
    // since the body may hold the user's conversation.
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        set_error(err, "open %s: %s", path, std::strerror(errno));
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
    if (done != data.size() || !closed) {
        set_error(err, "write %s: %s", path, std::strerror(errno));
        unlink(path);
        return false;
    }
    return true;
}

bool os_replace_file(const char* from, const char* to, error_text& err) {
    if (rename(from, to) == 0) return true;
    set_error(err, "write %s: %s", to, std::strerror(errno));
    return false;
}

void os_remove_file(const char* path) { unlink(path); }

unsigned long os_process_id() { return static_cast<unsigned long>(getpid()); }

size_t utc_timestamp(char* out, size_t cap) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    size_t n = std::strftime(out, cap, "%Y-%m-%dT%H:%M:%SZ", &t);
    if (n == 0 && cap) out[0] = '\0';
    return n;
}

// A terminal outlives the programs started in it.
void hold_failure_on_screen() {}
