// The PipeWire engine: one capture stream node (stereo float at the stream's rate, converted by the
// server's adapter) into which every kept application output stream is linked, on whatever sink it plays,
// as streams come, go and move. The server mixes the links at the capture node's inputs.
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "linuxaudio/server_engine.h"
#include "pipewire/stream_graph.h"
#include "status/engine_errors.h"
#include "stream/performance_clock.h"
// Last: the library's calls through its table.
#include "pipewire/pipewire_library.h"

namespace pipewire {

namespace {

// The capture node is always stereo: links are made by channel name, and the server sums every link into
// a port. A mono port would take a stereo stream's two channels at full weight each and a mono stream's
// one, so mono is made here, from the converted stereo, as the mean of its two channels.
constexpr std::uint32_t kNodeChannels = 2;

constexpr int kConnectTimeoutMs = 2000;
constexpr std::uint32_t kMaxFramesPerCycle = 16384;
// A cycle is one packet, up to the server's largest default quantum: 2048 frames at the lowest usual graph
// rate, 44.1 kHz, in the stream's own rate.
constexpr std::uint64_t kMaxCycleMilliseconds = 47;

class PipeWireEngine final : public linuxaudio::ServerEngine {
  public:
    explicit PipeWireEngine(std::shared_ptr<linuxaudio::ProcessTreeFilter> filter)
        : m_filter(filter),
          m_graph(filter, [this](std::uint32_t outNode, std::uint32_t outPort, std::uint32_t inNode,
                                 std::uint32_t inPort) { createLink(outNode, outPort, inNode, inPort); }),
          m_zeros(std::size_t{kMaxFramesPerCycle} * kNodeChannels, 0.0f) {}

    ~PipeWireEngine() override {
        stop();
        if (m_loop != nullptr) pw_thread_loop_stop(m_loop);
        for (auto& [id, proxy] : m_clients) pw_proxy_destroy(proxy.proxy);
        for (auto& [id, proxy] : m_nodes) pw_proxy_destroy(proxy.proxy);
        for (pw_proxy* link : m_links) pw_proxy_destroy(link);
        if (m_registry != nullptr) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_registry));
        if (m_core != nullptr) pw_core_disconnect(m_core);
        if (m_context != nullptr) pw_context_destroy(m_context);
        if (m_loop != nullptr) pw_thread_loop_destroy(m_loop);
    }

    HRESULT connect() {
        m_loop = pw_thread_loop_new("audio-helper", nullptr);
        if (m_loop == nullptr) return E_OUTOFMEMORY;
        m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
        if (m_context == nullptr) return E_OUTOFMEMORY;
        if (pw_thread_loop_start(m_loop) < 0) return E_FAIL;
        pw_thread_loop_lock(m_loop);
        HRESULT status = AUDCLNT_E_SERVICE_NOT_RUNNING;
        m_core = pw_context_connect(m_context, nullptr, 0);
        if (m_core != nullptr) {
            pw_core_add_listener(m_core, &m_coreListener, &kCoreEvents, this);
            m_registry = pw_core_get_registry(m_core, PW_VERSION_REGISTRY, 0);
            pw_registry_add_listener(m_registry, &m_registryListener, &kRegistryEvents, this);
            // The server answers a sync once it has sent everything there is: a live server, a known graph.
            m_syncSeq = pw_core_sync(m_core, PW_ID_CORE, 0);
            timespec deadline{};
            pw_thread_loop_get_time(m_loop, &deadline, std::int64_t{kConnectTimeoutMs} * SPA_NSEC_PER_MSEC);
            while (!m_synced && !m_serverGone) {
                if (pw_thread_loop_timed_wait_full(m_loop, &deadline) != 0) break;
            }
            if (m_synced && !m_serverGone) status = S_OK;
        }
        pw_thread_loop_unlock(m_loop);
        return status;
    }

    HRESULT start(linuxaudio::PacketBuffer& buffer) override {
        pw_thread_loop_lock(m_loop);
        HRESULT status = S_OK;
        if (m_serverGone) {
            status = AUDCLNT_E_DEVICE_INVALIDATED;
        } else {
            m_buffer = &buffer;
            m_channels = buffer.format().channels();
            m_mono.assign(m_channels == 1 ? kMaxFramesPerCycle : 0, 0.0f);
            status = createCaptureStream(buffer.format().rate());
            if (FAILED(status)) m_buffer = nullptr;
        }
        pw_thread_loop_unlock(m_loop);
        if (SUCCEEDED(status)) linuxaudio::setPlayingProbe(&PipeWireEngine::playingUnheard, this);
        return status;
    }

    UINT32 maxPacketFrames(const stream::StreamFormat& format) const override {
        return static_cast<UINT32>(format.framesFromMilliseconds(kMaxCycleMilliseconds));
    }

    void stop() override {
        if (m_loop == nullptr) return;
        linuxaudio::setPlayingProbe(nullptr, this);
        pw_thread_loop_lock(m_loop);
        if (m_stream != nullptr) {
            // Destroying the stream takes it off the data thread: no frame arrives after this. It goes
            // UNCONNECTED on the way, which is no loss then.
            m_stopping = true;
            pw_stream_destroy(m_stream);
            m_stopping = false;
            m_stream = nullptr;
        }
        if (m_timer != nullptr) {
            pw_loop_destroy_source(pw_thread_loop_get_loop(m_loop), m_timer);
            m_timer = nullptr;
        }
        m_buffer = nullptr;
        pw_thread_loop_unlock(m_loop);
    }

  private:
    // A client or node bound for its info events.
    struct Bound {
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        PipeWireEngine* engine = nullptr;
        std::uint32_t id = 0;
    };

    // The silent-capture watch's question, on its own thread: 1 when a kept stream runs unheard.
    static int playingUnheard(void* context) {
        auto* self = static_cast<PipeWireEngine*>(context);
        pw_thread_loop_lock(self->m_loop);
        const bool unheard = self->m_graph.keptStreamUnheard();
        pw_thread_loop_unlock(self->m_loop);
        return unheard ? 1 : 0;
    }

    HRESULT createCaptureStream(std::uint32_t rate) {
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Production",
            PW_KEY_NODE_NAME, "audio-helper", PW_KEY_NODE_DESCRIPTION, "audio-helper process loopback",
            // Linked by this engine alone, never by the session manager, and scheduled while unlinked so
            // silence arrives as zero frames. No rate of its own: the graph keeps the one it has, and the
            // adapter converts.
            PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_NODE_DONT_RECONNECT, "true", PW_KEY_NODE_ALWAYS_PROCESS,
            "true", PW_KEY_NODE_WANT_DRIVER, "true", nullptr);
        m_stream = pw_stream_new(m_core, "audio-helper capture", props);
        if (m_stream == nullptr) return E_OUTOFMEMORY;
        pw_stream_add_listener(m_stream, &m_streamListener, &kStreamEvents, this);

        std::uint8_t podBuffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = rate;
        info.channels = kNodeChannels;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const int result = pw_stream_connect(
            m_stream, PW_DIRECTION_INPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), params, 1);
        if (result < 0) return E_FAIL;

        m_timer = pw_loop_add_timer(pw_thread_loop_get_loop(m_loop), &PipeWireEngine::onTimer, this);
        timespec interval{linuxaudio::ProcessTreeFilter::kRefreshSeconds, 0};
        if (m_timer != nullptr)
            pw_loop_update_timer(pw_thread_loop_get_loop(m_loop), m_timer, &interval, &interval, false);
        return S_OK;
    }

    void createLink(std::uint32_t outNode, std::uint32_t outPort, std::uint32_t inNode,
                    std::uint32_t inPort) {
        pw_properties* props = pw_properties_new(nullptr, nullptr);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outNode);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", outPort);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", inNode);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", inPort);
        // Gone with this client, so a crash leaves nothing linked behind.
        pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
        auto* link = static_cast<pw_proxy*>(pw_core_create_object(
            m_core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
        if (link != nullptr) m_links.push_back(link);
    }

    void serverGone() {
        m_serverGone = true;
        if (linuxaudio::PacketBuffer* buffer = m_buffer.load()) buffer->fail();
        pw_thread_loop_signal(m_loop, false);
    }

    // Core events.
    static void onCoreDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<PipeWireEngine*>(data);
        if (id == PW_ID_CORE && seq == self->m_syncSeq) {
            self->m_synced = true;
            pw_thread_loop_signal(self->m_loop, false);
        }
    }
    static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<PipeWireEngine*>(data);
        // An object's failure (a link the server refused, say) comes here with the object's id.
        char text[256];
        std::snprintf(text, sizeof text, "%s %u: %s (%s)", id == PW_ID_CORE ? "core" : "object", id,
                      message != nullptr ? message : "", spa_strerror(res));
        status::reportEngineError("pw_core", -res, text);
        // A broken connection is reported on the core object itself.
        if (id == PW_ID_CORE && res == -EPIPE) self->serverGone();
    }

    // Registry events.
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) {
        auto* self = static_cast<PipeWireEngine*>(data);
        if (props == nullptr) return;
        if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
            self->bindClient(id);
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
            const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
            const char* mediaType = spa_dict_lookup(props, PW_KEY_MEDIA_TYPE);
            const char* client = spa_dict_lookup(props, PW_KEY_CLIENT_ID);
            if (client != nullptr) {
                self->m_graph.addNode(id, static_cast<std::uint32_t>(std::atoll(client)),
                                      mediaClass != nullptr ? mediaClass : "",
                                      mediaType != nullptr ? mediaType : "");
                // Whether it runs, for the silent-capture watch.
                if (isApplicationOutput(mediaClass != nullptr ? mediaClass : "",
                                        mediaType != nullptr ? mediaType : ""))
                    self->bindNode(id);
            }
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
            const char* output = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_PORT);
            const char* input = spa_dict_lookup(props, PW_KEY_LINK_INPUT_PORT);
            if (output != nullptr && input != nullptr) {
                self->m_graph.addLink(id, static_cast<std::uint32_t>(std::atoll(output)),
                                      static_cast<std::uint32_t>(std::atoll(input)));
            }
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
            const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
            const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
            const char* monitor = spa_dict_lookup(props, PW_KEY_PORT_MONITOR);
            const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL);
            const char* index = spa_dict_lookup(props, PW_KEY_PORT_ID);
            if (node == nullptr || direction == nullptr) return;
            self->m_graph.addPort(
                id, static_cast<std::uint32_t>(std::atoll(node)), std::strcmp(direction, "out") == 0,
                monitor != nullptr && std::strcmp(monitor, "true") == 0,
                portChannel(channel, index != nullptr ? static_cast<std::uint32_t>(std::atoll(index)) : 0));
        }
    }
    static void onGlobalRemove(void* data, std::uint32_t id) {
        auto* self = static_cast<PipeWireEngine*>(data);
        self->m_graph.remove(id);
        // A link of ours went with its stream: its proxy goes too, so streams that come and go cost nothing.
        auto& links = self->m_links;
        for (auto link = links.begin(); link != links.end(); ++link) {
            if (pw_proxy_get_bound_id(*link) == id) {
                pw_proxy_destroy(*link);
                links.erase(link);
                break;
            }
        }
        for (auto* bound : {&self->m_clients, &self->m_nodes}) {
            const auto found = bound->find(id);
            if (found != bound->end()) {
                pw_proxy_destroy(found->second.proxy);
                bound->erase(found);
            }
        }
    }

    // Binds global `id` of `type` for its info events, kept in `bound` until the global goes.
    Bound* bindGlobal(std::map<std::uint32_t, Bound>& bound, std::uint32_t id, const char* type,
                      std::uint32_t version) {
        auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(m_registry, id, type, version, 0));
        if (proxy == nullptr) return nullptr;
        Bound& entry = bound[id];
        entry.proxy = proxy;
        entry.engine = this;
        entry.id = id;
        return &entry;
    }
    void bindClient(std::uint32_t id) {
        if (Bound* bound = bindGlobal(m_clients, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT))
            pw_client_add_listener(reinterpret_cast<pw_client*>(bound->proxy), &bound->listener,
                                   &kClientEvents, bound);
    }
    void bindNode(std::uint32_t id) {
        if (Bound* bound = bindGlobal(m_nodes, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE))
            pw_node_add_listener(reinterpret_cast<pw_node*>(bound->proxy), &bound->listener, &kNodeEvents,
                                 bound);
    }
    static void onNodeInfo(void* data, const pw_node_info* info) {
        auto* bound = static_cast<Bound*>(data);
        if (info == nullptr || (info->change_mask & PW_NODE_CHANGE_MASK_STATE) == 0) return;
        bound->engine->m_graph.setRunning(bound->id, info->state == PW_NODE_STATE_RUNNING);
    }
    static void onClientInfo(void* data, const pw_client_info* info) {
        auto* bound = static_cast<Bound*>(data);
        if (info == nullptr || info->props == nullptr) return;
        ClientInfo client;
        const char* api = spa_dict_lookup(info->props, PW_KEY_CLIENT_API);
        client.api = api != nullptr ? api : "";
        client.securePid = linuxaudio::parsePid(spa_dict_lookup(info->props, PW_KEY_SEC_PID));
        client.declaredPid = linuxaudio::parsePid(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
        const char* binary = spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_BINARY);
        client.binary = binary != nullptr ? binary : "";
        const char* appId = spa_dict_lookup(info->props, "pipewire.access.portal.app_id");
        client.sandboxAppId = appId != nullptr ? appId : "";
        bound->engine->m_graph.addClient(bound->id, client);
    }

    // Stream events.
    static void onStreamState(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
        auto* self = static_cast<PipeWireEngine*>(data);
        // An error, or a node the server removed (another client destroyed it): no frame will come again,
        // so the capture ends as it does on the server's loss instead of writing silence for ever.
        const bool removed = state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED;
        if (state == PW_STREAM_STATE_ERROR || (removed && !self->m_stopping)) {
            status::reportEngineError("pw_stream", 0,
                                      removed ? "the capture node was removed: the stream went unconnected"
                                              : (error != nullptr ? error : "the stream failed"));
            self->serverGone();
        } else if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            const std::uint32_t node = pw_stream_get_node_id(self->m_stream);
            if (node != SPA_ID_INVALID) self->m_graph.setCaptureNode(node);
        }
    }
    // On the data thread: the cycle's frames into the packet buffer.
    static void onProcess(void* data) {
        auto* self = static_cast<PipeWireEngine*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->m_stream);
        if (buffer == nullptr) return;
        const spa_data& d = buffer->buffer->datas[0];
        pw_time time{};
        pw_stream_get_time_n(self->m_stream, &time, sizeof time);
        const std::uint64_t position =
            time.now > 0 ? static_cast<std::uint64_t>(time.now) / stream::kNanosecondsPerTick
                         : performanceClockNow();
        linuxaudio::PacketBuffer* packets = self->m_buffer.load();
        if (d.data != nullptr && d.chunk != nullptr && packets != nullptr) {
            const std::uint32_t frames =
                std::min(static_cast<std::uint32_t>(d.chunk->size / (kNodeChannels * sizeof(float))),
                         kMaxFramesPerCycle);
            const bool empty = (static_cast<std::uint32_t>(d.chunk->flags) & SPA_CHUNK_FLAG_EMPTY) != 0;
            const auto* samples = empty ? self->m_zeros.data()
                                        : reinterpret_cast<const float*>(
                                              static_cast<const std::uint8_t*>(d.data) + d.chunk->offset);
            if (self->m_channels == 1 && !empty) {
                float* mono = self->m_mono.data();
                for (std::uint32_t i = 0; i < frames; ++i)
                    mono[i] = (samples[2 * i] + samples[2 * i + 1]) * 0.5f;
                samples = mono;
            }
            packets->append(samples, frames, position);
            // One packet per cycle (cycles shorter than 10 ms are gathered to 10 ms): one wake-up and one
            // write per cycle, and at the usual quanta no frame held back through a stall.
            packets->endPacket(packets->packetFrames());
        }
        pw_stream_queue_buffer(self->m_stream, buffer);
    }
    static void onTimer(void* data, std::uint64_t) {
        static_cast<PipeWireEngine*>(data)->m_filter->refresh();
    }

    static constexpr pw_core_events kCoreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = onCoreDone;
        events.error = onCoreError;
        return events;
    }();
    static constexpr pw_registry_events kRegistryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = onGlobal;
        events.global_remove = onGlobalRemove;
        return events;
    }();
    static constexpr pw_client_events kClientEvents = [] {
        pw_client_events events{};
        events.version = PW_VERSION_CLIENT_EVENTS;
        events.info = onClientInfo;
        return events;
    }();
    static constexpr pw_node_events kNodeEvents = [] {
        pw_node_events events{};
        events.version = PW_VERSION_NODE_EVENTS;
        events.info = onNodeInfo;
        return events;
    }();
    static constexpr pw_stream_events kStreamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = onStreamState;
        events.process = onProcess;
        return events;
    }();

    std::shared_ptr<linuxaudio::ProcessTreeFilter> m_filter;
    StreamGraph m_graph;
    std::vector<float> m_zeros;
    std::vector<float> m_mono;     // a cycle's frames made mono, when the stream is
    std::uint32_t m_channels = 0;  // the stream's, set while stopped
    pw_thread_loop* m_loop = nullptr;
    pw_context* m_context = nullptr;
    pw_core* m_core = nullptr;
    pw_registry* m_registry = nullptr;
    pw_stream* m_stream = nullptr;
    spa_source* m_timer = nullptr;
    spa_hook m_coreListener{};
    spa_hook m_registryListener{};
    spa_hook m_streamListener{};
    std::map<std::uint32_t, Bound> m_clients;
    std::map<std::uint32_t, Bound> m_nodes;  // application output nodes
    std::vector<pw_proxy*> m_links;
    std::atomic<linuxaudio::PacketBuffer*> m_buffer{nullptr};  // set while started; read on the data thread
    int m_syncSeq = 0;
    bool m_synced = false;
    bool m_serverGone = false;
    bool m_stopping = false;  // the stream is being destroyed by stop()
};

}  // namespace

}  // namespace pipewire

namespace linuxaudio {

HRESULT createPipeWireEngine(std::shared_ptr<ProcessTreeFilter> filter,
                             std::unique_ptr<ServerEngine>& engine) {
    // Without the library there is no PipeWire to reach from here.
    if (pipewire::library() == nullptr) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    pw_init(nullptr, nullptr);
    auto pipewire = std::make_unique<pipewire::PipeWireEngine>(std::move(filter));
    const HRESULT status = pipewire->connect();
    if (FAILED(status)) return status;
    engine = std::move(pipewire);
    return S_OK;
}

}  // namespace linuxaudio
