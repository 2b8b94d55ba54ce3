#include "platform/thread.hpp"

#include <windows.h>

#include <new>

namespace {

struct start_cell {
    void (*entry)(void*);
    void* arg;
};

DWORD WINAPI trampoline(LPVOID p) {
    start_cell cell = *static_cast<start_cell*>(p);
    delete static_cast<start_cell*>(p);
    cell.entry(cell.arg);
    return 0;
}

}  // namespace

bool start_detached_thread(void (*entry)(void*), void* arg, size_t stack_bytes) {
    auto* cell = new (std::nothrow) start_cell{entry, arg};
    if (!cell) return false;
    // The size is the reservation, not just the first commit, so a thousand
    // connections do not reserve a thousand default-sized stacks.
    HANDLE t = CreateThread(nullptr, stack_bytes, trampoline, cell, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!t) {
        delete cell;
        return false;
    }
    CloseHandle(t);  // detached: nobody waits for it
    return true;
}
