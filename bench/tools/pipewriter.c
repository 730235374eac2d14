/* The reference writer: the same bytes in the same write size as the program under test, straight from
 * one static buffer, so its rate is what the pipe itself allows.
 *
 *   pipewriter CHUNK [TOTAL]    write CHUNK-byte blocks until TOTAL bytes (default: until the reader goes
 *                               or a signal ends the process) */
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: pipewriter CHUNK [TOTAL]\n");
        return 2;
    }
    size_t chunk = (size_t)strtoull(argv[1], NULL, 10);
    uint64_t total = argc == 3 ? strtoull(argv[2], NULL, 10) : UINT64_MAX;
    if (chunk == 0) return 2;
    signal(SIGPIPE, SIG_IGN); /* a reader that leaves ends the loop through EPIPE */
    char* block = malloc(chunk);
    if (block == NULL) return 1;
    memset(block, 0x3f, chunk); /* touched once, so no page faults in the loop */
    uint64_t sent = 0;
    while (sent < total) {
        size_t want = total - sent < chunk ? (size_t)(total - sent) : chunk;
        size_t done = 0;
        while (done < want) {
            ssize_t n = write(1, block + done, want - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            done += (size_t)n;
        }
        sent += want;
    }
    return 0;
}
