#include <pthread.h>

#include <climits>

#include "platform/per_system.hpp"

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

void* thread_entry(void* cell) {
    run_start_cell(cell);
    return nullptr;
}

}  // namespace

bool os_start_thread(void* cell, size_t stack_bytes) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    stack_bytes *= stack_factor;
    if (stack_bytes < static_cast<size_t>(PTHREAD_STACK_MIN)) stack_bytes = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, stack_bytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    bool ok = pthread_create(&t, &attr, thread_entry, cell) == 0;
    pthread_attr_destroy(&attr);
    return ok;
}
