// libpipewire-0.3's functions as this engine calls them: through a table filled when the library is opened at
// run time (linuxaudio/client_library.h). Included after the library's own headers, it turns each call of a
// function below into a call through the table, so the engine's code reads as the library's API.
#pragma once

#include <pipewire/pipewire.h>

#define AUDIO_HELPER_PIPEWIRE_FUNCTIONS(X) \
    X(pw_context_connect)                  \
    X(pw_context_destroy)                  \
    X(pw_context_new)                      \
    X(pw_core_disconnect)                  \
    X(pw_init)                             \
    X(pw_properties_free)                  \
    X(pw_properties_new)                   \
    X(pw_properties_set)                   \
    X(pw_properties_setf)                  \
    X(pw_proxy_destroy)                    \
    X(pw_proxy_get_bound_id)               \
    X(pw_stream_add_listener)              \
    X(pw_stream_connect)                   \
    X(pw_stream_dequeue_buffer)            \
    X(pw_stream_destroy)                   \
    X(pw_stream_get_node_id)               \
    X(pw_stream_get_time_n)                \
    X(pw_stream_new)                       \
    X(pw_stream_queue_buffer)              \
    X(pw_thread_loop_destroy)              \
    X(pw_thread_loop_get_loop)             \
    X(pw_thread_loop_get_time)             \
    X(pw_thread_loop_lock)                 \
    X(pw_thread_loop_new)                  \
    X(pw_thread_loop_signal)               \
    X(pw_thread_loop_start)                \
    X(pw_thread_loop_stop)                 \
    X(pw_thread_loop_timed_wait_full)      \
    X(pw_thread_loop_unlock)

namespace pipewire {

struct PipeWireLibrary {
#define AUDIO_HELPER_DECLARE(name) decltype(&::name) name;
    AUDIO_HELPER_PIPEWIRE_FUNCTIONS(AUDIO_HELPER_DECLARE)
#undef AUDIO_HELPER_DECLARE
};

// The library's functions; nullptr where libpipewire-0.3.so.0 or one of its functions is missing.
const PipeWireLibrary* library();

}  // namespace pipewire

#define pw_context_connect(...) pipewire::library()->pw_context_connect(__VA_ARGS__)
#define pw_context_destroy(...) pipewire::library()->pw_context_destroy(__VA_ARGS__)
#define pw_context_new(...) pipewire::library()->pw_context_new(__VA_ARGS__)
#define pw_core_disconnect(...) pipewire::library()->pw_core_disconnect(__VA_ARGS__)
#define pw_init(...) pipewire::library()->pw_init(__VA_ARGS__)
#define pw_properties_free(...) pipewire::library()->pw_properties_free(__VA_ARGS__)
#define pw_properties_new(...) pipewire::library()->pw_properties_new(__VA_ARGS__)
#define pw_properties_set(...) pipewire::library()->pw_properties_set(__VA_ARGS__)
#define pw_properties_setf(...) pipewire::library()->pw_properties_setf(__VA_ARGS__)
#define pw_proxy_destroy(...) pipewire::library()->pw_proxy_destroy(__VA_ARGS__)
#define pw_proxy_get_bound_id(...) pipewire::library()->pw_proxy_get_bound_id(__VA_ARGS__)
#define pw_stream_add_listener(...) pipewire::library()->pw_stream_add_listener(__VA_ARGS__)
#define pw_stream_connect(...) pipewire::library()->pw_stream_connect(__VA_ARGS__)
#define pw_stream_dequeue_buffer(...) pipewire::library()->pw_stream_dequeue_buffer(__VA_ARGS__)
#define pw_stream_destroy(...) pipewire::library()->pw_stream_destroy(__VA_ARGS__)
#define pw_stream_get_node_id(...) pipewire::library()->pw_stream_get_node_id(__VA_ARGS__)
#define pw_stream_get_time_n(...) pipewire::library()->pw_stream_get_time_n(__VA_ARGS__)
#define pw_stream_new(...) pipewire::library()->pw_stream_new(__VA_ARGS__)
#define pw_stream_queue_buffer(...) pipewire::library()->pw_stream_queue_buffer(__VA_ARGS__)
#define pw_thread_loop_destroy(...) pipewire::library()->pw_thread_loop_destroy(__VA_ARGS__)
#define pw_thread_loop_get_loop(...) pipewire::library()->pw_thread_loop_get_loop(__VA_ARGS__)
#define pw_thread_loop_get_time(...) pipewire::library()->pw_thread_loop_get_time(__VA_ARGS__)
#define pw_thread_loop_lock(...) pipewire::library()->pw_thread_loop_lock(__VA_ARGS__)
#define pw_thread_loop_new(...) pipewire::library()->pw_thread_loop_new(__VA_ARGS__)
#define pw_thread_loop_signal(...) pipewire::library()->pw_thread_loop_signal(__VA_ARGS__)
#define pw_thread_loop_start(...) pipewire::library()->pw_thread_loop_start(__VA_ARGS__)
#define pw_thread_loop_stop(...) pipewire::library()->pw_thread_loop_stop(__VA_ARGS__)
#define pw_thread_loop_timed_wait_full(...) pipewire::library()->pw_thread_loop_timed_wait_full(__VA_ARGS__)
#define pw_thread_loop_unlock(...) pipewire::library()->pw_thread_loop_unlock(__VA_ARGS__)
