/* Plays short clicks through PulseAudio and prints, for each, the CLOCK_MONOTONIC time (ns) at which the
 * server said it would be played: the time of the call plus the stream's latency at that moment.
 *   pa_click <clicks> <interval_ms> */
#include <pulse/simple.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define RATE 48000
#define BLOCK 240 /* 5 ms */

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int main(int argc, char** argv) {
    int clicks = argc > 1 ? atoi(argv[1]) : 20;
    int interval = argc > 2 ? atoi(argv[2]) : 200;
    pa_sample_spec spec = {PA_SAMPLE_FLOAT32LE, RATE, 2};
    pa_buffer_attr attr = {(uint32_t)-1, BLOCK * 8 * 4, (uint32_t)-1, BLOCK * 8, (uint32_t)-1};
    int error = 0;
    pa_simple* s = pa_simple_new(NULL, "pa_click", PA_STREAM_PLAYBACK, NULL, "click", &spec, NULL, &attr, &error);
    if (!s) return 1;
    float block[BLOCK * 2];
    int blocksPerClick = interval * RATE / 1000 / BLOCK;
    for (int c = 0; c < clicks; ++c) {
        for (int b = 0; b < blocksPerClick; ++b) {
            memset(block, 0, sizeof block);
            if (b == 0) {
                for (int i = 0; i < 48; ++i) block[2 * i] = block[2 * i + 1] = 0.5f;
                pa_usec_t latency = pa_simple_get_latency(s, &error);
                printf("%lld\n", now_ns() + (long long)latency * 1000);
            }
            if (pa_simple_write(s, block, sizeof block, &error) < 0) return 1;
        }
    }
    pa_simple_drain(s, &error);
    pa_simple_free(s);
    return 0;
}
