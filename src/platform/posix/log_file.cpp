#include "platform/log_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

log_output::~log_output() {
    if (owned && handle != -1) ::close(static_cast<int>(handle));
}

void log_open_stderr(log_output& out) {
    out.handle = STDERR_FILENO;
    out.owned = false;
}

bool log_open_file(const char* path, log_output& out, error_text& err) {
    // O_APPEND: every write lands at the end as one piece, even with other
    // writers of the same file.
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        set_error(err, "cannot open request log \"%s\": %s", path, std::strerror(errno));
        return false;
    }
    out.handle = fd;
    out.owned = true;
    return true;
}

void log_write(const log_output& out, std::string_view line) {
    if (out.handle == -1) return;
    ssize_t n;
    do {
        n = ::write(static_cast<int>(out.handle), line.data(), line.size());
    } while (n < 0 && errno == EINTR);
}
