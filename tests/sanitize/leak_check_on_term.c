/* Preloaded into the shim for the sanitizer runs only. The shim serves
 * until it is killed and never exits on its own, so the leak check that
 * LeakSanitizer runs at exit would never happen. This makes SIGTERM run
 * that check first: the handler only wakes a waiting thread (a leak check
 * must not run inside a signal handler, which may have interrupted malloc),
 * and that thread checks and ends the process, with status 23 on a leak. */
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

extern int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

static int wake[2];

static void on_term(int sig) {
    (void)sig;
    char c = 1;
    (void)!write(wake[1], &c, 1);
}

static void* check_and_exit(void* arg) {
    (void)arg;
    char c;
    while (read(wake[0], &c, 1) != 1) {
    }
    int leaked = __lsan_do_recoverable_leak_check ? __lsan_do_recoverable_leak_check() : 0;
    _exit(leaked ? 23 : 0);
    return NULL;
}

__attribute__((constructor)) static void install(void) {
    if (pipe(wake) != 0) return;
    pthread_t t;
    if (pthread_create(&t, NULL, check_and_exit, NULL) != 0) return;
    pthread_detach(t);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, NULL);
}
