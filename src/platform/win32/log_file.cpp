#include "platform/log_file.hpp"

#include <windows.h>

#include <mutex>

namespace {
// Windows appends each FILE_APPEND_DATA write whole, but under Wine lines
// from threads writing at once were seen to overwrite one another; one
// writer at a time costs nothing next to a request.
std::mutex g_write_lock;
}  // namespace

log_output::~log_output() {
    if (owned && handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

void log_open_stderr(log_output& out) {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    out.handle = h && h != INVALID_HANDLE_VALUE ? reinterpret_cast<intptr_t>(h) : -1;
    out.owned = false;
}

bool log_open_file(const char* path, log_output& out, error_text& err) {
    // FILE_APPEND_DATA alone: every write lands at the end as one piece,
    // even with other writers of the same file.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_error(err, "cannot open request log \"%s\": error %lu", path, GetLastError());
        return false;
    }
    out.handle = reinterpret_cast<intptr_t>(h);
    out.owned = true;
    return true;
}

void log_write(const log_output& out, std::string_view line) {
    if (out.handle == -1) return;
    DWORD written = 0;
    std::lock_guard<std::mutex> one_writer(g_write_lock);
    WriteFile(reinterpret_cast<HANDLE>(out.handle), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
