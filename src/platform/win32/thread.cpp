#include <windows.h>

#include "platform/per_system.hpp"

namespace {

DWORD WINAPI thread_entry(LPVOID cell) {
    run_start_cell(cell);
    return 0;
}

}  // namespace

bool os_start_thread(void* cell, size_t stack_bytes) {
    // The size is the reservation, not just the first commit, so a thousand
    // connections do not reserve a thousand default-sized stacks.
    HANDLE t = CreateThread(nullptr, stack_bytes, thread_entry, cell, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!t) return false;
    CloseHandle(t);  // detached: nobody waits for it
    return true;
}
