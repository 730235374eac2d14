/* A counting reader for pipe throughput: reads standard input in large blocks and counts bytes, so the
 * reading side is never the bottleneck being measured.
 *
 *   countreader                      count to end of input; print "total BYTES NS" (first byte to EOF)
 *   countreader WARMUP SECONDS       skip WARMUP bytes, then print "start", count for SECONDS, print
 *                                    "window BYTES NS READS", keep draining to EOF, print "total BYTES NS"
 *
 * Lines go to standard output, flushed at once, so a driving script can sample the writer's CPU at the
 * window's edges. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static uint64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static char buffer[1 << 20];

int main(int argc, char** argv) {
    uint64_t warmup = 0, window_ns = 0;
    int windowed = 0;
    if (argc == 3) {
        warmup = strtoull(argv[1], NULL, 10);
        window_ns = (uint64_t)(strtod(argv[2], NULL) * 1e9);
        windowed = 1;
    } else if (argc != 1) {
        fprintf(stderr, "usage: countreader [WARMUP_BYTES SECONDS]\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);

    uint64_t total = 0, first_ns = 0;
    /* 0: warming up, 1: in the window, 2: window reported */
    int phase = windowed ? 0 : 2;
    uint64_t window_start = 0, window_bytes = 0, window_reads = 0;
    for (;;) {
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        uint64_t t = 0;
        if (total == 0) first_ns = t = now_ns();
        total += (uint64_t)got;
        if (phase == 0 && total >= warmup) {
            phase = 1;
            window_start = t ? t : now_ns();
            printf("start\n");
            continue;
        }
        if (phase == 1) {
            window_bytes += (uint64_t)got;
            ++window_reads;
            t = now_ns();
            if (t - window_start >= window_ns) {
                printf("window %llu %llu %llu\n", (unsigned long long)window_bytes,
                       (unsigned long long)(t - window_start), (unsigned long long)window_reads);
                phase = 2;
            }
        }
    }
    if (phase == 1) {
        printf("window %llu %llu %llu\n", (unsigned long long)window_bytes,
               (unsigned long long)(now_ns() - window_start), (unsigned long long)window_reads);
    }
    printf("total %llu %llu\n", (unsigned long long)total,
           (unsigned long long)(total ? now_ns() - first_ns : 0));
    return 0;
}
