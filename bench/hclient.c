// Timing client for the bench: sends a prepared HTTP request (a file holding
// the request line, headers and body, with "Connection: close") and times
// the answer with CLOCK_MONOTONIC, the clock the mock upstream stamps its
// events with.
//
//   hclient ttfb   PORT REQFILE COUNT  COUNT requests one after another; per
//                  request: "<first byte us> <first event us> <whole us> <status>"
//                  (first event -1 when the answer held no "data: ")
//   hclient events PORT REQFILE [MARK] one request; per event: the microseconds
//                  from the mock's stamp to its arrival here (the stamp's digits
//                  follow MARK, by default "ts": as the mock writes it)
//   hclient drain  PORT REQFILE        one request read to its end: "<bytes> <seconds> <whole>"
//                  (whole 1 when the chunked body ended with the last chunk)
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static char* read_file(const char* path, size_t* len) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* p = malloc((size_t)n + 1);
    if (fread(p, 1, (size_t)n, f) != (size_t)n) {
        fclose(f);
        return NULL;
    }
    fclose(f);
    *len = (size_t)n;
    return p;
}

static int open_and_send(int port, const char* req, size_t len) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        perror("hclient: connect");
        exit(1);
    }
    while (len) {
        ssize_t w = send(fd, req, len, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            perror("hclient: send");
            exit(1);
        }
        req += w;
        len -= (size_t)w;
    }
    return fd;
}

struct acc {
    char* p;
    size_t len, cap;
};

static void acc_put(struct acc* a, const char* p, size_t n) {
    if (a->len + n + 1 > a->cap) {
        a->cap = (a->len + n + 1) * 2;
        a->p = realloc(a->p, a->cap);
    }
    memcpy(a->p + a->len, p, n);
    a->len += n;
    a->p[a->len] = '\0';
}

static int status_of(const struct acc* a) {
    int st = 0;
    if (a->len > 12) sscanf(a->p, "HTTP/1.%*c %d", &st);
    return st;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: hclient ttfb|events|drain PORT REQFILE [COUNT]\n");
        return 2;
    }
    int port = atoi(argv[2]);
    size_t rlen = 0;
    char* req = read_file(argv[3], &rlen);
    if (!req) {
        perror("hclient: request file");
        return 2;
    }
    static char block[1 << 16];

    if (strcmp(argv[1], "ttfb") == 0) {
        int count = argc > 4 ? atoi(argv[4]) : 1;
        struct acc a = {0};
        for (int i = 0; i < count; i++) {
            a.len = 0;
            long long t0 = now_ns(), first = 0, event = 0;
            int fd = open_and_send(port, req, rlen);
            ssize_t n;
            while ((n = recv(fd, block, sizeof block, 0)) > 0) {
                long long t = now_ns();
                if (!first) first = t;
                if (!event && a.len < (1 << 20)) {
                    acc_put(&a, block, (size_t)n);
                    if (memmem(a.p, a.len, "data: ", 6)) event = t;
                }
            }
            long long t1 = now_ns();
            close(fd);
            if (n < 0 || !first) {
                fprintf(stderr, "hclient: no answer on port %d\n", port);
                return 1;
            }
            printf("%.1f %.1f %.1f %d\n", (first - t0) / 1e3, event ? (event - t0) / 1e3 : -1.0, (t1 - t0) / 1e3,
                   status_of(&a));
        }
        return 0;
    }

    if (strcmp(argv[1], "events") == 0) {
        struct acc a = {0};
        size_t scanned = 0;
        const char* mark = argc > 4 ? argv[4] : "\"ts\":";
        size_t mark_len = strlen(mark);
        int fd = open_and_send(port, req, rlen);
        ssize_t n;
        while ((n = recv(fd, block, sizeof block, 0)) > 0) {
            long long t = now_ns();
            acc_put(&a, block, (size_t)n);
            for (;;) {
                char* ts = memmem(a.p + scanned, a.len - scanned, mark, mark_len);
                if (!ts) break;
                char* end = NULL;
                long long stamp = strtoll(ts + mark_len, &end, 10);
                if (end == a.p + a.len || end == ts + mark_len) break;  // the stamp is not all here yet
                printf("%.1f\n", (t - stamp) / 1e3);
                scanned = (size_t)(end - a.p);
            }
        }
        close(fd);
        if (n < 0 || status_of(&a) != 200) {
            fprintf(stderr, "hclient: stream failed on port %d\n", port);
            return 1;
        }
        return 0;
    }

    if (strcmp(argv[1], "drain") == 0) {
        long long t0 = now_ns();
        int fd = open_and_send(port, req, rlen);
        unsigned long long total = 0;
        char tail[5] = {0};
        char first[16] = {0};
        ssize_t n;
        while ((n = recv(fd, block, sizeof block, 0)) > 0) {
            if (total < sizeof first - 1) memcpy(first + total, block, (size_t)n < sizeof first - 1 - total ? (size_t)n : sizeof first - 1 - total);
            total += (unsigned long long)n;
            if (n >= 5) {
                memcpy(tail, block + n - 5, 5);
            } else {
                memmove(tail, tail + n, (size_t)(5 - n));
                memcpy(tail + 5 - n, block, (size_t)n);
            }
        }
        long long t1 = now_ns();
        close(fd);
        int whole = n == 0 && memcmp(tail, "0\r\n\r\n", 5) == 0 && strncmp(first, "HTTP/1.1 200", 12) == 0;
        printf("%llu %.3f %d\n", total, (t1 - t0) / 1e9, whole);
        return whole ? 0 : 1;
    }
    fprintf(stderr, "hclient: unknown mode %s\n", argv[1]);
    return 2;
}
