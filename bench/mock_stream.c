// Mock chat upstream for the bench: a pool of threads blocked in accept(),
// keep-alive, so it never is what a measurement waits on. A connection is
// served by a thread that is already there: on a busy machine a new thread
// waits for the scheduler, and that wait would be counted against every path
// that opens a new connection to the mock. The pool grows by itself whenever
// its spare threads run low (idle keep-alive connections each hold one).
//
//   POST /stream?n=N&delay_ms=D&size=S   N events of S bytes, D ms apart
//        (event 0 goes out with the header), then [DONE] and the last chunk
//   POST /stream?bytes=B                 events of 16000 bytes, no delay,
//        until B bytes of events have gone out
//   POST anything else                   a short chat-completions JSON reply
//
// The parameters may also come in the body, as a member "mock":"n=5&delay_ms=20"
// or, for a relay that keeps only the messages, as the text "mock:n=5&delay_ms=20"
// in a message (bodies up to 1 MiB are looked at): a relay that posts to one
// fixed URL forwards the body, so the same request drives every path alike.
//
// Every event carries "ts":<CLOCK_MONOTONIC ns> taken just before it is
// written, so a client on the same machine can tell how long the event took
// to reach it, whatever path it went through. With stamp=1 the stamp is
// the end of the delta's content instead ("xx...ts=<ns>;"), so that it
// survives a relay that converts events into another format.
//
// usage: mock_stream PORT [percon]   (0: any port; the port is printed on
// stdout). "percon" serves each connection on a thread started for it
// instead, which the bench uses to show what that model costs here.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define HEAD_CAP 65536
#define BIG_EVENT 16000
#define KEEP_BODY (1 << 20)
#define START_THREADS 64
#define SPARE_THREADS 16

static const char short_body[] =
    "{\"id\":\"chatcmpl-bench\",\"object\":\"chat.completion\",\"created\":0,\"model\":\"m\","
    "\"choices\":[{\"index\":0,\"message\":{\"role\":\"assistant\",\"content\":\"ok\"},"
    "\"finish_reason\":\"stop\"}]}";

static const char ev_prefix[] =
    "data: {\"id\":\"chatcmpl-bench\",\"object\":\"chat.completion.chunk\",\"created\":0,\"model\":\"m\","
    "\"choices\":[{\"index\":0,\"delta\":{\"content\":\"";

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int send_all(int fd, const char* p, size_t n) {
    while (n) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static long qparam(const char* target, const char* name, long dflt) {
    const char* q = strchr(target, '?');
    size_t nl = strlen(name);
    while (q) {
        q++;
        if (strncmp(q, name, nl) == 0 && q[nl] == '=') return strtol(q + nl + 1, NULL, 10);
        q = strchr(q, '&');
    }
    return dflt;
}

// One event as one HTTP chunk: size line, "data: {...}\n\n", CR LF.
static size_t put_event(char* out, size_t cap, size_t size, int stamp_in_text) {
    char payload[BIG_EVENT + 512];
    char tail[64];
    size_t pre = sizeof ev_prefix - 1;
    int tl = snprintf(tail, sizeof tail, stamp_in_text ? "ts=%lld;\"}}]}\n\n" : "\"}}],\"ts\":%lld}\n\n",
                      now_ns());
    size_t pad = size > pre + (size_t)tl ? size - pre - (size_t)tl : 1;
    if (pad > BIG_EVENT) pad = BIG_EVENT;
    memcpy(payload, ev_prefix, pre);
    memset(payload + pre, 'x', pad);
    memcpy(payload + pre + pad, tail, (size_t)tl);
    size_t plen = pre + pad + (size_t)tl;
    int hl = snprintf(out, cap, "%zx\r\n", plen);
    memcpy(out + hl, payload, plen);
    memcpy(out + hl + plen, "\r\n", 2);
    return (size_t)hl + plen + 2;
}

static int answer_stream(int fd, const char* target, int close_after) {
    // "target" is the path, or "?<the body's mock member>" when it had one.
    static const char end[] = "e\r\ndata: [DONE]\n\n\r\n0\r\n\r\n";
    char out[BIG_EVENT + 1024 + 256];
    long n = qparam(target, "n", 10), delay = qparam(target, "delay_ms", 0), size = qparam(target, "size", 100);
    long long bytes = qparam(target, "bytes", 0);
    int stamp_in_text = qparam(target, "stamp", 0) != 0;
    if (size < 1) size = 1;
    if (size > BIG_EVENT) size = BIG_EVENT;
    int hl = snprintf(out, sizeof out,
                      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                      "Transfer-Encoding: chunked\r\n%s\r\n",
                      close_after ? "Connection: close\r\n" : "");
    long long start = now_ns();
    if (bytes > 0) {
        if (send_all(fd, out, (size_t)hl) < 0) return -1;
        for (long long sent = 0; sent < bytes;) {
            size_t len = put_event(out, sizeof out, BIG_EVENT, stamp_in_text);
            if (send_all(fd, out, len) < 0) return -1;
            sent += BIG_EVENT;
        }
    } else {
        // The header and event 0 in one write, as a real upstream's first token.
        size_t len = (size_t)hl + (n > 0 ? put_event(out + hl, sizeof out - (size_t)hl, (size_t)size, stamp_in_text) : 0);
        if (send_all(fd, out, len) < 0) return -1;
        for (long k = 1; k < n; k++) {
            long long due = start + (long long)k * delay * 1000000LL;
            struct timespec t = {(time_t)(due / 1000000000LL), (long)(due % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
            }
            len = put_event(out, sizeof out, (size_t)size, stamp_in_text);
            if (send_all(fd, out, len) < 0) return -1;
        }
    }
    return send_all(fd, end, sizeof end - 1);
}

static int answer_short(int fd, int close_after) {
    char out[1024];
    int len = snprintf(out, sizeof out,
                       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n%s\r\n%s",
                       sizeof short_body - 1, close_after ? "Connection: close\r\n" : "", short_body);
    return send_all(fd, out, (size_t)len);
}

static void* serve(void* arg) {
    int fd = (int)(long)arg;
    char* head = malloc(HEAD_CAP + 1);
    char* sink = malloc(1 << 16);
    char* body = malloc(KEEP_BODY + 1);
    size_t have = 0;
    for (;;) {
        // The header block.
        char* end = NULL;
        while (!(end = memmem(head, have, "\r\n\r\n", 4))) {
            if (have == HEAD_CAP) goto done;
            ssize_t r = recv(fd, head + have, HEAD_CAP - have, 0);
            if (r <= 0) goto done;
            have += (size_t)r;
        }
        size_t head_len = (size_t)(end - head) + 4;
        head[head_len - 2] = '\0';
        char target[2048] = "";
        sscanf(head, "%*s %2047s", target);
        unsigned long long length = 0;
        int close_after = 0;
        for (char* line = strstr(head, "\r\n"); line && line[2]; line = strstr(line + 2, "\r\n")) {
            char* l = line + 2;
            if (strncasecmp(l, "Content-Length:", 15) == 0) length = strtoull(l + 15, NULL, 10);
            if (strncasecmp(l, "Connection:", 11) == 0) {
                char* eol = strstr(l, "\r\n");
                if (memmem(l, eol ? (size_t)(eol - l) : strlen(l), "close", 5)) close_after = 1;
            }
        }
        // The body: read whole (a large one must really be received); a
        // small one is kept to look for its parameters.
        size_t extra = have - head_len;
        size_t from_head = extra < length ? extra : (size_t)length;
        size_t kept = 0;
        int keep = length <= KEEP_BODY;
        if (keep) memcpy(body, head + head_len, from_head), kept = from_head;
        unsigned long long left = length - from_head;
        while (left) {
            char* into = keep ? body + kept : sink;
            size_t room = keep ? KEEP_BODY - kept : (1 << 16);
            ssize_t r = recv(fd, into, left < room ? (size_t)left : room, 0);
            if (r <= 0) goto done;
            if (keep) kept += (size_t)r;
            left -= (unsigned long long)r;
        }
        body[kept] = '\0';
        memmove(head, head + head_len + from_head, extra - from_head);
        have = extra - from_head;

        char params[1024];
        const char* from_body = keep ? strstr(body, "\"mock\":\"") : NULL;
        if (from_body) from_body += 8;
        else if (keep && (from_body = strstr(body, "mock:"))) from_body += 5;
        if (from_body) {
            size_t pl = strcspn(from_body, "\"");
            if (pl > sizeof params - 2) pl = sizeof params - 2;
            params[0] = '?';
            memcpy(params + 1, from_body, pl);
            params[pl + 1] = '\0';
        }
        int rc = strncmp(target, "/stream", 7) == 0 ? answer_stream(fd, from_body ? params : target, close_after)
                                                     : answer_short(fd, close_after);
        if (rc < 0 || close_after) break;
    }
done:
    free(head);
    free(sink);
    free(body);
    close(fd);
    return NULL;
}

static int g_listener;
static atomic_int g_idle;
static pthread_attr_t g_attr;

static void* pool_thread(void* unused);

static void add_pool_thread(void) {
    pthread_t t;
    pthread_create(&t, &g_attr, pool_thread, NULL);
}

static void* pool_thread(void* unused) {
    (void)unused;
    int one = 1;
    for (;;) {
        atomic_fetch_add(&g_idle, 1);
        int fd = accept(g_listener, NULL, NULL);
        if (atomic_fetch_sub(&g_idle, 1) <= SPARE_THREADS) add_pool_thread();
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        serve((void*)(long)fd);
    }
    return NULL;
}

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons(argc > 1 ? (unsigned short)atoi(argv[1]) : 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(ls, (struct sockaddr*)&a, sizeof a) != 0 || listen(ls, 4096) != 0) {
        perror("mock_stream: bind/listen");
        return 1;
    }
    socklen_t al = sizeof a;
    getsockname(ls, (struct sockaddr*)&a, &al);
    g_listener = ls;
    pthread_attr_init(&g_attr);
    pthread_attr_setstacksize(&g_attr, 256 * 1024);
    pthread_attr_setdetachstate(&g_attr, PTHREAD_CREATE_DETACHED);
    printf("%d\n", ntohs(a.sin_port));
    fflush(stdout);
    if (argc > 2 && strcmp(argv[2], "percon") == 0) {
        for (;;) {
            int fd = accept(ls, NULL, NULL);
            if (fd < 0) continue;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            pthread_t t;
            if (pthread_create(&t, &g_attr, serve, (void*)(long)fd) != 0) close(fd);
        }
    }
    for (int i = 0; i < START_THREADS; i++) add_pool_thread();
    for (;;) pause();
}
