/* A PipeWire playback stream of silence with a click (one frame of 0.5) every PERIOD_MS. For each click it
 * prints the CLOCK_MONOTONIC nanosecond at which the sink plays it: the cycle's time plus the stream's
 * reported delay. Used to time a capture from a sample played to its arrival.
 *   pw_click COUNT PERIOD_MS [QUANTUM]   (the stream asks the graph for QUANTUM frames per cycle; 480) */
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <stdio.h>
#include <stdlib.h>

struct state {
    struct pw_main_loop* loop;
    struct pw_stream* stream;
    int count, period_frames, until_click;
};

static void on_process(void* data) {
    struct state* s = data;
    struct pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
    if (b == NULL) return;
    struct spa_data* d = &b->buffer->datas[0];
    float* out = d->data;
    uint32_t frames = d->maxsize / 8;
    if (b->requested != 0 && b->requested < frames) frames = (uint32_t)b->requested;
    struct pw_time t;
    pw_stream_get_time_n(s->stream, &t, sizeof t);
    for (uint32_t i = 0; i < frames; i++) {
        float v = 0.0f;
        if (s->count > 0 && --s->until_click <= 0) {
            v = 0.5f;
            s->until_click = s->period_frames;
            s->count--;
            /* Frames ahead of this one: the stream's delay plus its place in this buffer. */
            int64_t ahead = t.delay + (int64_t)i;
            printf("%lld\n", (long long)(t.now + ahead * SPA_NSEC_PER_SEC / 48000));
            fflush(stdout);
        }
        out[2 * i] = out[2 * i + 1] = v;
    }
    d->chunk->offset = 0;
    d->chunk->stride = 8;
    d->chunk->size = frames * 8;
    pw_stream_queue_buffer(s->stream, b);
    if (s->count == 0) pw_main_loop_quit(s->loop);
}

static const struct pw_stream_events events = {PW_VERSION_STREAM_EVENTS, .process = on_process};

int main(int argc, char** argv) {
    struct state s = {0};
    s.count = argc > 1 ? atoi(argv[1]) : 20;
    s.period_frames = (argc > 2 ? atoi(argv[2]) : 250) * 48;
    s.until_click = s.period_frames;
    char latency[32];
    snprintf(latency, sizeof latency, "%s/48000", argc > 3 ? argv[3] : "480");
    pw_init(&argc, &argv);
    s.loop = pw_main_loop_new(NULL);
    s.stream = pw_stream_new_simple(pw_main_loop_get_loop(s.loop), "click",
                                    pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                      PW_KEY_NODE_LATENCY, latency, NULL),
                                    &events, &s);
    uint8_t buffer[1024];
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    struct spa_audio_info_raw info = {.format = SPA_AUDIO_FORMAT_F32, .rate = 48000, .channels = 2,
                                      .position = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR}};
    const struct spa_pod* params[1] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    pw_stream_connect(s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS, params, 1);
    pw_main_loop_run(s.loop);
    pw_stream_destroy(s.stream);
    pw_main_loop_destroy(s.loop);
    return 0;
}
