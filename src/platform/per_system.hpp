// The calls each system implements for the platform code that both share
// (platform/both_systems.cpp). Not for use outside platform/.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/upstream.hpp"
#include "text/bounded.hpp"

// Creates `path`, which must not exist yet (never writing through a file or
// link someone else put there), readable by its owner only, and writes
// `data` into it. A file that could not be written whole is removed again.
bool os_write_new_file(const char* path, std::string_view data, error_text& err);
// Puts `from` in place of `to` in one step.
bool os_replace_file(const char* from, const char* to, error_text& err);
void os_remove_file(const char* path);
unsigned long os_process_id();
// Paths: whether `name` names a place by itself (a root or a drive), and
// the characters that separate a path's folders.
bool os_path_is_absolute(std::string_view name);
extern const char* const os_path_separators;

// Sends what it can of up to send_vector_max parts in one call, waiting for
// room within the socket's send limit; the number of bytes sent, or -1 on
// failure.
inline constexpr size_t send_vector_max = 8;
long long os_send_vector(intptr_t socket, const std::string_view* parts, size_t count);

// A new detached thread with the given stack size that runs
// run_start_cell(cell); the cell is made by start_detached_thread.
bool os_start_thread(void* cell, size_t stack_bytes);
void run_start_cell(void* cell);

// The start-up connection of the upstream transport; runs on its own thread
// with the client (an upstream_client*) as its argument.
void os_upstream_warm_up(void* client);
