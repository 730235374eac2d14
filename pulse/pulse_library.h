// libpulse's functions as this engine calls them: through a table filled when the library is opened at run
// time (linuxaudio/client_library.h). Included after the library's own headers, it turns each call of a
// function below into a call through the table, so the engine's code reads as the library's API.
#pragma once

#include <pulse/pulseaudio.h>

#define AUDIO_HELPER_PULSE_FUNCTIONS(X)    \
    X(pa_channel_map_init_mono)            \
    X(pa_channel_map_init_stereo)          \
    X(pa_context_connect)                  \
    X(pa_context_disconnect)               \
    X(pa_context_get_sink_info_by_index)   \
    X(pa_context_get_sink_input_info)      \
    X(pa_context_get_sink_input_info_list) \
    X(pa_context_get_state)                \
    X(pa_context_new)                      \
    X(pa_context_rttime_new)               \
    X(pa_context_rttime_restart)           \
    X(pa_context_set_state_callback)       \
    X(pa_context_set_subscribe_callback)   \
    X(pa_context_subscribe)                \
    X(pa_context_unref)                    \
    X(pa_operation_cancel)                 \
    X(pa_operation_unref)                  \
    X(pa_proplist_gets)                    \
    X(pa_rtclock_now)                      \
    X(pa_stream_connect_record)            \
    X(pa_stream_disconnect)                \
    X(pa_stream_drop)                      \
    X(pa_stream_get_state)                 \
    X(pa_stream_new)                       \
    X(pa_stream_peek)                      \
    X(pa_stream_readable_size)             \
    X(pa_stream_set_monitor_stream)        \
    X(pa_stream_set_read_callback)         \
    X(pa_stream_set_state_callback)        \
    X(pa_stream_unref)                     \
    X(pa_threaded_mainloop_free)           \
    X(pa_threaded_mainloop_get_api)        \
    X(pa_threaded_mainloop_lock)           \
    X(pa_threaded_mainloop_new)            \
    X(pa_threaded_mainloop_signal)         \
    X(pa_threaded_mainloop_start)          \
    X(pa_threaded_mainloop_stop)           \
    X(pa_threaded_mainloop_unlock)         \
    X(pa_threaded_mainloop_wait)

namespace pulse {

struct PulseLibrary {
#define AUDIO_HELPER_DECLARE(name) decltype(&::name) name;
    AUDIO_HELPER_PULSE_FUNCTIONS(AUDIO_HELPER_DECLARE)
#undef AUDIO_HELPER_DECLARE
};

// The library's functions; nullptr where libpulse.so.0 or one of its functions is missing.
const PulseLibrary* library();

}  // namespace pulse

#define pa_channel_map_init_mono(...) pulse::library()->pa_channel_map_init_mono(__VA_ARGS__)
#define pa_channel_map_init_stereo(...) pulse::library()->pa_channel_map_init_stereo(__VA_ARGS__)
#define pa_context_connect(...) pulse::library()->pa_context_connect(__VA_ARGS__)
#define pa_context_disconnect(...) pulse::library()->pa_context_disconnect(__VA_ARGS__)
#define pa_context_get_sink_info_by_index(...) \
    pulse::library()->pa_context_get_sink_info_by_index(__VA_ARGS__)
#define pa_context_get_sink_input_info(...) pulse::library()->pa_context_get_sink_input_info(__VA_ARGS__)
#define pa_context_get_sink_input_info_list(...) \
    pulse::library()->pa_context_get_sink_input_info_list(__VA_ARGS__)
#define pa_context_get_state(...) pulse::library()->pa_context_get_state(__VA_ARGS__)
#define pa_context_new(...) pulse::library()->pa_context_new(__VA_ARGS__)
#define pa_context_rttime_new(...) pulse::library()->pa_context_rttime_new(__VA_ARGS__)
#define pa_context_rttime_restart(...) pulse::library()->pa_context_rttime_restart(__VA_ARGS__)
#define pa_context_set_state_callback(...) pulse::library()->pa_context_set_state_callback(__VA_ARGS__)
#define pa_context_set_subscribe_callback(...) \
    pulse::library()->pa_context_set_subscribe_callback(__VA_ARGS__)
#define pa_context_subscribe(...) pulse::library()->pa_context_subscribe(__VA_ARGS__)
#define pa_context_unref(...) pulse::library()->pa_context_unref(__VA_ARGS__)
#define pa_operation_cancel(...) pulse::library()->pa_operation_cancel(__VA_ARGS__)
#define pa_operation_unref(...) pulse::library()->pa_operation_unref(__VA_ARGS__)
#define pa_proplist_gets(...) pulse::library()->pa_proplist_gets(__VA_ARGS__)
#define pa_rtclock_now(...) pulse::library()->pa_rtclock_now(__VA_ARGS__)
#define pa_stream_connect_record(...) pulse::library()->pa_stream_connect_record(__VA_ARGS__)
#define pa_stream_disconnect(...) pulse::library()->pa_stream_disconnect(__VA_ARGS__)
#define pa_stream_drop(...) pulse::library()->pa_stream_drop(__VA_ARGS__)
#define pa_stream_get_state(...) pulse::library()->pa_stream_get_state(__VA_ARGS__)
#define pa_stream_new(...) pulse::library()->pa_stream_new(__VA_ARGS__)
#define pa_stream_peek(...) pulse::library()->pa_stream_peek(__VA_ARGS__)
#define pa_stream_readable_size(...) pulse::library()->pa_stream_readable_size(__VA_ARGS__)
#define pa_stream_set_monitor_stream(...) pulse::library()->pa_stream_set_monitor_stream(__VA_ARGS__)
#define pa_stream_set_read_callback(...) pulse::library()->pa_stream_set_read_callback(__VA_ARGS__)
#define pa_stream_set_state_callback(...) pulse::library()->pa_stream_set_state_callback(__VA_ARGS__)
#define pa_stream_unref(...) pulse::library()->pa_stream_unref(__VA_ARGS__)
#define pa_threaded_mainloop_free(...) pulse::library()->pa_threaded_mainloop_free(__VA_ARGS__)
#define pa_threaded_mainloop_get_api(...) pulse::library()->pa_threaded_mainloop_get_api(__VA_ARGS__)
#define pa_threaded_mainloop_lock(...) pulse::library()->pa_threaded_mainloop_lock(__VA_ARGS__)
#define pa_threaded_mainloop_new(...) pulse::library()->pa_threaded_mainloop_new(__VA_ARGS__)
#define pa_threaded_mainloop_signal(...) pulse::library()->pa_threaded_mainloop_signal(__VA_ARGS__)
#define pa_threaded_mainloop_start(...) pulse::library()->pa_threaded_mainloop_start(__VA_ARGS__)
#define pa_threaded_mainloop_stop(...) pulse::library()->pa_threaded_mainloop_stop(__VA_ARGS__)
#define pa_threaded_mainloop_unlock(...) pulse::library()->pa_threaded_mainloop_unlock(__VA_ARGS__)
#define pa_threaded_mainloop_wait(...) pulse::library()->pa_threaded_mainloop_wait(__VA_ARGS__)
