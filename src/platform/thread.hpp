// Connection threads: started detached, with a stack sized to what a
// connection needs rather than the platform's multi-megabyte default.
#pragma once
#include <cstddef>

bool start_detached_thread(void (*entry)(void*), void* arg, size_t stack_bytes);
