// The engine for machines whose audio server is PulseAudio: each kept application stream is recorded
// from its sink's monitor on its own, and the recordings are mixed in time by a StreamMixer clocked by
// the default sink's monitor.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pulse/stream_mixer.h"
#include "linuxaudio/server_engine.h"
#include "linuxaudio/stream_verdicts.h"
#include "stream/performance_clock.h"
// Last: the library's calls through its table.
#include "pulse/pulse_library.h"

namespace pulse {
namespace {

constexpr pa_usec_t kRefreshUsec = linuxaudio::ProcessTreeFilter::kRefreshSeconds * PA_USEC_PER_SEC;

class PulseEngine;

// One kept sink input and the monitor recording it.
struct Capture {
    PulseEngine* engine = nullptr;
    std::uint32_t sinkInput = PA_INVALID_INDEX;
    std::uint32_t sink = PA_INVALID_INDEX;         // the sink its monitor stream records on
    std::uint32_t pendingSink = PA_INVALID_INDEX;  // a monitor being opened on this sink
    pa_operation* pending = nullptr;               // the sink query for it, cancelled if forgotten
    pa_stream* stream = nullptr;
};

class PulseEngine final : public linuxaudio::ServerEngine {
  public:
    explicit PulseEngine(std::shared_ptr<linuxaudio::ProcessTreeFilter> filter)
        : m_filter(std::move(filter)) {}
    ~PulseEngine() override;

    HRESULT connect();
    HRESULT start(linuxaudio::PacketBuffer& buffer) override;
    void stop() override;

  private:
    static void onContextState(pa_context* context, void* self);
    static void onSubscription(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                               void* self);
    static void onSinkInputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
    static void onMonitorSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* capture);
    static void onCaptureState(pa_stream* stream, void* capture);
    static void onCaptureRead(pa_stream* stream, std::size_t bytes, void* capture);
    static void onClockState(pa_stream* stream, void* self);
    static void onClockRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onRefreshTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self);

    bool keeps(const pa_sink_input_info& info);
    void requestSinkInput(std::uint32_t index);
    void openMonitor(Capture& capture, std::uint32_t monitorSource);
    void openClock();
    void forgetCapture(std::uint32_t sinkInput);
    void drainMix();
    void takeHeldStreams();
    bool clockBehind() const;
    pa_stream* newRecordStream(const char* name) const;
    pa_buffer_attr fragmentAttributes() const;
    std::size_t framesIn(std::size_t bytes) const { return bytes / m_format.frameBytes(); }
    static void closeStream(pa_stream*& stream);

    std::shared_ptr<linuxaudio::ProcessTreeFilter> m_filter;
    linuxaudio::StreamVerdicts m_verdicts{*m_filter};
    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    // Everything below is touched only on the server thread, or under its lock.
    linuxaudio::PacketBuffer* m_buffer = nullptr;  // set while started
    // The capture's format, from the first start on: every recording asks the server for it.
    stream::StreamFormat m_format = stream::kDefaultFormat;
    std::size_t m_queueFrames = 0;  // each stream's queue, and the most mixed at once
    pa_stream* m_clock = nullptr;
    pa_time_event* m_refresh = nullptr;  // looks for new processes, so members outliving parents are known
    std::map<std::uint32_t, std::unique_ptr<Capture>> m_captures;
    std::unique_ptr<StreamMixer> m_mixer;  // made at the first start, in the capture's format
    std::vector<float> m_mixed;
    std::uint64_t m_clockFrames = 0;  // frames the clock delivered, holes included: its sample clock
    std::uint64_t m_mixedFrames = 0;  // of which mixed and handed on
    bool m_clockHeld = false;         // the clock's audio waits with the library for room in the buffer
    bool m_streamsHeld = false;       // and so does some stream's
};

PulseEngine::~PulseEngine() {
    if (m_loop == nullptr) return;
    stop();
    pa_threaded_mainloop_lock(m_loop);
    if (m_context != nullptr) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop);
    pa_threaded_mainloop_free(m_loop);
}

HRESULT PulseEngine::connect() {
    m_loop = pa_threaded_mainloop_new();
    if (m_loop == nullptr) return E_OUTOFMEMORY;
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "audio-helper");
    if (m_context == nullptr) return E_OUTOFMEMORY;
    pa_context_set_state_callback(m_context, onContextState, this);
    pa_threaded_mainloop_lock(m_loop);
    HRESULT result = AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (pa_threaded_mainloop_start(m_loop) == 0 &&
        pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0) {
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY) {
                result = S_OK;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) break;
            pa_threaded_mainloop_wait(m_loop);
        }
    }
    pa_threaded_mainloop_unlock(m_loop);
    return result;
}

HRESULT PulseEngine::start(linuxaudio::PacketBuffer& buffer) {
    pa_threaded_mainloop_lock(m_loop);
    HRESULT result = S_OK;
    if (pa_context_get_state(m_context) != PA_CONTEXT_READY) {
        result = AUDCLNT_E_DEVICE_INVALIDATED;
    } else if (m_buffer == nullptr) {
        m_buffer = &buffer;
        if (!m_mixer) {
            m_format = buffer.format();
            const MixerLimits limits = MixerLimits::forFormat(m_format);
            m_queueFrames = limits.capacityFrames;
            m_mixer = std::make_unique<StreamMixer>(limits, m_format);
            m_mixed.assign(m_queueFrames * m_format.channels(), 0.0f);
        }
        buffer.restartSampleClock();
        pa_context_set_subscribe_callback(m_context, onSubscription, this);
        // Subscribe before listing, so no stream slips between the two.
        if (pa_operation* op =
                pa_context_subscribe(m_context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr))
            pa_operation_unref(op);
        if (pa_operation* op = pa_context_get_sink_input_info_list(m_context, onSinkInputInfo, this))
            pa_operation_unref(op);
        openClock();
        m_refresh = pa_context_rttime_new(m_context, pa_rtclock_now() + kRefreshUsec, onRefreshTimer, this);
    }
    pa_threaded_mainloop_unlock(m_loop);
    return result;
}

void PulseEngine::onRefreshTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                 void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    engine->m_filter->refresh();
    pa_context_rttime_restart(engine->m_context, event, pa_rtclock_now() + kRefreshUsec);
    (void)api;
}

void PulseEngine::stop() {
    pa_threaded_mainloop_lock(m_loop);
    if (m_buffer != nullptr) {
        m_buffer = nullptr;
        if (pa_operation* op = pa_context_subscribe(m_context, PA_SUBSCRIPTION_MASK_NULL, nullptr, nullptr))
            pa_operation_unref(op);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        closeStream(m_clock);
        if (m_refresh != nullptr) {
            pa_threaded_mainloop_get_api(m_loop)->time_free(m_refresh);
            m_refresh = nullptr;
        }
        while (!m_captures.empty()) forgetCapture(m_captures.begin()->first);
    }
    pa_threaded_mainloop_unlock(m_loop);
}

void PulseEngine::onContextState(pa_context* context, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    // The server is gone: the reader's next packet-size query says so.
    if (!PA_CONTEXT_IS_GOOD(state) && engine->m_buffer != nullptr) engine->m_buffer->fail();
    pa_threaded_mainloop_signal(engine->m_loop, 0);
}

void PulseEngine::onSubscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                                 void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (engine->m_buffer == nullptr) return;
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        engine->forgetCapture(index);
        engine->m_verdicts.forget(index);
    } else {
        // New, or changed: a move to another sink shows here, after the server killed the old monitor.
        engine->requestSinkInput(index);
    }
}

void PulseEngine::requestSinkInput(std::uint32_t index) {
    if (pa_operation* op = pa_context_get_sink_input_info(m_context, index, onSinkInputInfo, this))
        pa_operation_unref(op);
}

bool PulseEngine::keeps(const pa_sink_input_info& info) {
    // The client sets its own pid and names its program; the server vouches for neither.
    linuxaudio::StreamClient client;
    client.pid = linuxaudio::parsePid(pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID));
    const char* binary = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_BINARY);
    client.binary = binary != nullptr ? binary : "";
    return m_verdicts.keeps(info.index, client);
}

void PulseEngine::onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (eol != 0 || info == nullptr || engine->m_buffer == nullptr) return;
    if (info->sink == PA_INVALID_INDEX || !engine->keeps(*info)) return;  // mid-move, or left out
    std::unique_ptr<Capture>& slot = engine->m_captures[info->index];
    if (!slot) {
        slot = std::make_unique<Capture>();
        slot->engine = engine;
        slot->sinkInput = info->index;
        engine->m_mixer->addStream(info->index);
    }
    Capture& capture = *slot;
    if (capture.stream != nullptr && capture.sink == info->sink) return;  // already recording there
    if (capture.pendingSink == info->sink) return;                        // already opening there
    closeStream(capture.stream);
    capture.sink = PA_INVALID_INDEX;
    capture.pendingSink = info->sink;
    if (capture.pending != nullptr) {
        pa_operation_cancel(capture.pending);
        pa_operation_unref(capture.pending);
    }
    // The monitor stream records on the sink's monitor source; ask which one that is.
    capture.pending =
        pa_context_get_sink_info_by_index(engine->m_context, info->sink, onMonitorSinkInfo, &capture);
}

void PulseEngine::onMonitorSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    if (eol != 0) {  // the end of the answer (or a sink that vanished): the query is over
        if (capture->pending != nullptr) pa_operation_unref(capture->pending);
        capture->pending = nullptr;
        if (capture->stream == nullptr) capture->pendingSink = PA_INVALID_INDEX;
        return;
    }
    if (info == nullptr || info->index != capture->pendingSink) return;
    capture->engine->openMonitor(*capture, info->monitor_source);
}

pa_stream* PulseEngine::newRecordStream(const char* name) const {
    // The server resamples and remixes to it: mono is the mean of the sink's channels.
    const pa_sample_spec spec = {PA_SAMPLE_FLOAT32LE, m_format.rate(),
                                 static_cast<std::uint8_t>(m_format.channels())};
    pa_channel_map map;
    if (m_format.channels() == 1) {
        pa_channel_map_init_mono(&map);
    } else {
        pa_channel_map_init_stereo(&map);
    }
    return pa_stream_new(m_context, name, &spec, &map);
}

void PulseEngine::closeStream(pa_stream*& stream) {
    if (stream == nullptr) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

pa_buffer_attr PulseEngine::fragmentAttributes() const {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    // Every record stream asks the server for a period's fragments.
    attr.fragsize = static_cast<std::uint32_t>(m_format.framesFromMilliseconds(stream::kPeriodMilliseconds) *
                                               m_format.frameBytes());
    return attr;
}

void PulseEngine::openMonitor(Capture& capture, std::uint32_t monitorSource) {
    pa_stream* stream = newRecordStream("audio-helper stream monitor");
    if (stream == nullptr) return;
    // The server resamples and remixes the sink input's audio into our format on its side.
    if (pa_stream_set_monitor_stream(stream, capture.sinkInput) < 0) {
        pa_stream_unref(stream);
        return;
    }
    pa_stream_set_state_callback(stream, onCaptureState, &capture);
    pa_stream_set_read_callback(stream, onCaptureRead, &capture);
    const std::string source = std::to_string(monitorSource);
    const pa_buffer_attr attr = fragmentAttributes();
    // Not moved with its stream: the server kills it on a move and we reopen it on the new sink.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, source.c_str(), &attr, flags) < 0) {
        closeStream(stream);
        return;
    }
    capture.stream = stream;
    capture.sink = capture.pendingSink;
    m_mixer->resumeStream(capture.sinkInput);
}

void PulseEngine::onCaptureState(pa_stream* stream, void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    // Killed by a move (or its stream ending): ask where the sink input is now; gone ones are forgotten
    // on their removal event.
    PulseEngine* engine = capture->engine;
    closeStream(capture->stream);
    capture->sink = PA_INVALID_INDEX;
    capture->pendingSink = PA_INVALID_INDEX;
    if (engine->m_buffer != nullptr && pa_context_get_state(engine->m_context) == PA_CONTEXT_READY)
        engine->requestSinkInput(capture->sinkInput);
}

void PulseEngine::onCaptureRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* capture = static_cast<Capture*>(userdata);
    PulseEngine* engine = capture->engine;
    StreamMixer& mixer = *engine->m_mixer;
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        const std::size_t frames = engine->framesIn(bytes);
        // While the clock has a backlog to hand over, so does the stream, so neither is cut short.
        if (frames > mixer.roomFor(capture->sinkInput) && engine->clockBehind()) {
            engine->m_streamsHeld = true;
            break;
        }
        if (data != nullptr) {
            mixer.pushStream(capture->sinkInput, static_cast<const float*>(data), frames);
        } else {
            mixer.pushStreamSilence(capture->sinkInput, frames);  // a hole: time passed without audio
        }
        pa_stream_drop(stream);
    }
    engine->drainMix();  // the clock may have been waiting for this stream
}

void PulseEngine::forgetCapture(std::uint32_t sinkInput) {
    const auto found = m_captures.find(sinkInput);
    if (found == m_captures.end()) return;
    Capture& capture = *found->second;
    if (capture.pending != nullptr) {
        pa_operation_cancel(capture.pending);
        pa_operation_unref(capture.pending);
    }
    // What already arrived is the stream's last audio: mix it before letting the stream go.
    if (capture.stream != nullptr) onCaptureRead(capture.stream, 0, &capture);
    closeStream(capture.stream);
    m_mixer->removeStream(sinkInput);
    m_captures.erase(found);
}

void PulseEngine::openClock() {
    closeStream(m_clock);
    pa_stream* stream = newRecordStream("audio-helper clock");
    if (stream == nullptr) return;
    pa_stream_set_state_callback(stream, onClockState, this);
    pa_stream_set_read_callback(stream, onClockRead, this);
    const pa_buffer_attr attr = fragmentAttributes();
    // The default sink's monitor: it runs while the sink does, silent or not, so silence keeps its pace.
    if (pa_stream_connect_record(stream, "@DEFAULT_MONITOR@", &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        closeStream(stream);
        return;
    }
    m_clock = stream;
}

void PulseEngine::onClockState(pa_stream* stream, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    // Its sink went away while the server lives on: take the monitor of whatever is default now.
    engine->closeStream(engine->m_clock);
    if (engine->m_buffer != nullptr && pa_context_get_state(engine->m_context) == PA_CONTEXT_READY)
        engine->openClock();
}

void PulseEngine::onClockRead(pa_stream* stream, std::size_t, void* self) {
    auto* engine = static_cast<PulseEngine*>(self);
    if (engine->m_buffer == nullptr) return;
    engine->m_clockHeld = false;
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
        // A hole in the clock's own audio still means that much time has passed.
        const std::size_t frames = engine->framesIn(bytes);
        // Taken only as the reader makes room: a backlog (the helper was stopped) waits with the server's
        // library instead of overflowing the packet buffer, where it would be dropped.
        const std::size_t pending = engine->m_mixer->pendingClockFrames();
        const std::size_t room =
            std::min<std::size_t>(engine->m_buffer->freeFrames(), engine->m_queueFrames / 2);
        if (pending > 0 && pending + frames > room) {
            engine->m_clockHeld = true;
            break;
        }
        pa_stream_drop(stream);
        const auto now = static_cast<std::int64_t>(performanceClockNow());
        engine->m_clockFrames += frames;
        engine->m_buffer->sampleClockArrived(engine->m_clockFrames, now);
        engine->m_mixer->addClockFrames(frames, now);
        if (engine->m_streamsHeld) engine->takeHeldStreams();
        engine->drainMix();
    }
}

bool PulseEngine::clockBehind() const {
    if (m_clockHeld) return true;
    const std::size_t unread = m_clock != nullptr ? pa_stream_readable_size(m_clock) : 0;
    return unread > 0 && unread != static_cast<std::size_t>(-1);
}

// Streams whose audio waited with the library while the clock was held take what now has room.
void PulseEngine::takeHeldStreams() {
    m_streamsHeld = false;
    for (auto& entry : m_captures) {
        if (entry.second->stream != nullptr) onCaptureRead(entry.second->stream, 0, entry.second.get());
    }
}

void PulseEngine::drainMix() {
    if (m_buffer == nullptr) return;
    for (;;) {
        const std::size_t room = std::min<std::size_t>(m_queueFrames, m_buffer->freeFrames());
        const std::size_t frames =
            m_mixer->mix(m_mixed.data(), room, static_cast<std::int64_t>(performanceClockNow()));
        if (frames == 0) return;
        // Stamped with when the clock captured them, not when they arrived or were mixed.
        m_buffer->appendOnSampleClock(m_mixed.data(), static_cast<UINT32>(frames), m_mixedFrames);
        m_mixedFrames += frames;
    }
}

}  // namespace

}  // namespace pulse

namespace linuxaudio {

HRESULT createPulseEngine(std::shared_ptr<ProcessTreeFilter> filter, std::unique_ptr<ServerEngine>& engine) {
    // Without the library there is no PulseAudio to reach from here.
    if (pulse::library() == nullptr) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    auto pulseEngine = std::make_unique<pulse::PulseEngine>(std::move(filter));
    const HRESULT result = pulseEngine->connect();
    if (FAILED(result)) return result;
    engine = std::move(pulseEngine);
    return S_OK;
}

}  // namespace linuxaudio
