// Services of the host system outside networking: where the executable
// lives, the ini file, the debug copy's file, the clock.
#pragma once
#include <cstddef>
#include <string_view>

#include "text/bounded.hpp"
#include "text/buf.hpp"

// The executable's directory with its trailing separator, cut to fit `cap`
// and terminated; returns its length (0 when it cannot be found).
size_t exe_directory(char* out, size_t cap);

// One key of an ini file's section, and where its value goes.
struct ini_value {
    const char* key;
    char* out;       // the value, cut to fit `cap` and terminated
    size_t cap;
    size_t len = 0;  // characters stored; 0 for a missing key or an empty value
};

// An ini file holds a few settings; one larger than this is refused whole
// rather than read in part, which could cut a value or lose a key.
inline constexpr size_t ini_file_limit = 1u << 20;

// Reads every key of `values` from `section` of the ini file at `path`, the
// file once for all of them. A missing file or section reads as empty values;
// a file above ini_file_limit is false (and empty values).
bool ini_read_values(const char* path, const char* section, ini_value* values, size_t count);

// `name` as a path: as it is when it is absolute, else in the folder of the
// file `beside` (its path up to its last separator), so a file named in the
// ini file is found beside it. False when it does not fit `cap`.
bool path_beside(const char* beside, std::string_view name, char* out, size_t cap);

// What reading a small file whole gave.
enum class file_read { ok, unreadable, too_large };

// Reads the file at `path` whole into `out` (emptied first) when it holds
// at most `limit` bytes; anything else leaves `out` empty.
file_read read_small_file(const char* path, size_t limit, buf& out);

// Where the copy of the last rewritten request body goes.
void debug_copy_path(char* out, size_t cap);

// Replaces the file at `path` with `data` so that a reader never sees a
// mixture of two writes: a fresh temporary file beside it, then a rename.
bool replace_file_atomically(const char* path, std::string_view data, error_text& err);

// The current UTC time as "2026-12-09T10:11:12Z"; returns its length.
size_t utc_timestamp(char* out, size_t cap);

// The value of an environment variable, or nullptr when it is not set.
const char* env_value(const char* name);

// Called when start-up fails, after the error line is written. A program
// started by a double click owns a console window that closes with it, so
// there the error is kept on screen until a key is pressed; anywhere else
// (a shell, a service, redirected output) it returns at once.
void hold_failure_on_screen();
