#include "platform/host.hpp"
#include "platform/per_system.hpp"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Closes a file handle when it goes out of scope.
struct file_handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    explicit file_handle(HANDLE handle) : h(handle) {}
    bool valid() const { return h != INVALID_HANDLE_VALUE; }
    bool close() {
        bool ok = !valid() || CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        return ok;
    }
    ~file_handle() { close(); }
};

size_t copy_cut(char* out, size_t cap, const char* text) {
    if (cap == 0) return 0;
    int n = std::snprintf(out, cap, "%s", text);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

}  // namespace

size_t exe_directory(char* out, size_t cap) {
    if (cap == 0) return 0;
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        out[0] = '\0';
        return 0;
    }
    path[n] = '\0';
    // Keep the directory with its trailing backslash; a path without one is
    // used whole.
    char* slash = std::strrchr(path, '\\');
    if (slash) slash[1] = '\0';
    return copy_cut(out, cap, path);
}

// A root ("\\server\share", "\dir", "/dir") or a drive ("C:\dir", "C:dir")
// does not lie beside anything.
bool os_path_is_absolute(std::string_view name) {
    return name.starts_with('\\') || name.starts_with('/') ||
           (name.size() >= 2 && name[1] == ':' &&
            ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')));
}
const char* const os_path_separators = "\\/";

// Windows reads ini files through its profile calls, one key at a time,
// each reading the whole file; its size is checked first.
bool ini_read_values(const char* path, const char* section, ini_value* values, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        values[i].len = 0;
        if (values[i].cap) values[i].out[0] = '\0';
    }
    WIN32_FILE_ATTRIBUTE_DATA file;
    if (GetFileAttributesExA(path, GetFileExInfoStandard, &file) &&
        ((static_cast<unsigned long long>(file.nFileSizeHigh) << 32) | file.nFileSizeLow) > ini_file_limit)
        return false;
    for (size_t i = 0; i < count; ++i) {
        ini_value& v = values[i];
        if (v.cap == 0) continue;
        DWORD size = v.cap > 0xFFFFu ? 0xFFFFu : static_cast<DWORD>(v.cap);
        DWORD n = GetPrivateProfileStringA(section, v.key, "", v.out, size, path);
        v.out[n < size ? n : size - 1] = '\0';
        v.len = n;
    }
    return true;
}

void debug_copy_path(char* out, size_t cap) { copy_cut(out, cap, "C:\\zelk_shim_debug.json"); }

bool os_write_new_file(const char* path, std::string_view data, error_text& err) {
    // CREATE_NEW: never write into a file someone else put there.
    file_handle f(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid()) {
        set_error(err, "open %s: error %lu", path, GetLastError());
        return false;
    }
    bool ok = true;
    while (ok && !data.empty()) {
        DWORD want = data.size() < 0x40000000u ? static_cast<DWORD>(data.size()) : 0x40000000u;
        DWORD wrote = 0;
        ok = WriteFile(f.h, data.data(), want, &wrote, nullptr) && wrote > 0;
        data.remove_prefix(wrote);
    }
    if (f.close() && ok) return true;
    set_error(err, "write %s: error %lu", path, GetLastError());
    DeleteFileA(path);
    return false;
}

bool os_replace_file(const char* from, const char* to, error_text& err) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
    set_error(err, "write %s: error %lu", to, GetLastError());
    return false;
}

void os_remove_file(const char* path) { DeleteFileA(path); }

unsigned long os_process_id() { return static_cast<unsigned long>(GetCurrentProcessId()); }

size_t utc_timestamp(char* out, size_t cap) {
    if (cap == 0) return 0;
    SYSTEMTIME t;
    GetSystemTime(&t);
    int n = std::snprintf(out, cap, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                          t.wSecond);
    // Like strftime: a text that does not fit is not returned at all.
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n);
}

void hold_failure_on_screen() {
    // One process on the console: ours, so Windows made the console for it
    // (Explorer, a shortcut); started from a console window there are two.
    DWORD ids[2];
    if (GetConsoleProcessList(ids, 2) != 1) return;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;  // no keyboard to wait for
    std::fputs("zelk-shim: press any key to close this window\n", stderr);
    std::fflush(stderr);
    FlushConsoleInputBuffer(in);
    INPUT_RECORD event;
    DWORD got = 0;
    while (ReadConsoleInputW(in, &event, 1, &got) && got == 1)
        if (event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown) return;
}
