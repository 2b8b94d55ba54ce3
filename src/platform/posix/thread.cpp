#include "platform/thread.hpp"

#include <pthread.h>

#include <climits>
#include <new>

namespace {

// Instrumented builds use several times the stack of a plain one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t stack_factor = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t stack_factor = 4;
#else
constexpr size_t stack_factor = 1;
#endif
#else
constexpr size_t stack_factor = 1;
#endif

struct start_cell {
    void (*entry)(void*);
    void* arg;
};

void* trampoline(void* p) {
    start_cell cell = *static_cast<start_cell*>(p);
    delete static_cast<start_cell*>(p);
    cell.entry(cell.arg);
    return nullptr;
}

}  // namespace

bool start_detached_thread(void (*entry)(void*), void* arg, size_t stack_bytes) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    stack_bytes *= stack_factor;
    if (stack_bytes < static_cast<size_t>(PTHREAD_STACK_MIN)) stack_bytes = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* cell = new (std::nothrow) start_cell{entry, arg};
    bool ok = false;
    if (cell) {
        pthread_t t;
        ok = pthread_create(&t, &attr, trampoline, cell) == 0;
        if (!ok) delete cell;
    }
    pthread_attr_destroy(&attr);
    return ok;
}
