/* The least a real-time streamer can do: wake on an absolute 10 ms timer and write one packet. Its CPU
 * per audio hour is what 100 wake-ups and 100 pipe writes a second cost on this machine.
 *
 *   tickwriter [PACKET_BYTES [PERIOD_MS]]     defaults: 3840 bytes every 10 ms, until a signal ends it */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    size_t packet = argc > 1 ? (size_t)strtoul(argv[1], NULL, 10) : 3840;
    long period_ms = argc > 2 ? strtol(argv[2], NULL, 10) : 10;
    signal(SIGPIPE, SIG_IGN);
    char* block = calloc(1, packet);
    if (block == NULL || packet == 0 || period_ms <= 0) return 2;
    static const char header[16] = "LBAS";
    if (write(1, header, sizeof header) != (ssize_t)sizeof header) return 1;
    struct timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (;;) {
        due.tv_nsec += period_ms * 1000000L;
        while (due.tv_nsec >= 1000000000L) {
            due.tv_nsec -= 1000000000L;
            ++due.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL) == EINTR) {
        }
        size_t done = 0;
        while (done < packet) {
            ssize_t n = write(1, block + done, packet - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return 0;
            done += (size_t)n;
        }
    }
}
