#include "linuxaudio/capture_objects.h"

#include <atomic>
#include <mutex>

#include "winaudio/loopback_client_rules.h"
#include "winaudio/ref_counted.h"

namespace linuxaudio {

namespace {

std::atomic<int> g_live{0};

class AudioClient;

class CaptureClient final : public RefCounted<IAudioCaptureClient> {
  public:
    CaptureClient(IAudioClient* owner, PacketBuffer& buffer)
        : RefCounted(g_live), m_owner(owner), m_buffer(buffer) {
        m_owner->AddRef();  // the buffer lives in the audio client
    }
    ~CaptureClient() override { m_owner->Release(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IAudioCaptureClient, object);
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                        UINT64* qpcPosition) override {
        return m_buffer.getBuffer(data, frames, flags, devicePosition, qpcPosition);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override { return m_buffer.releaseBuffer(frames); }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return m_buffer.nextPacketSize(frames);
    }

  private:
    void destroy() override { delete this; }
    IAudioClient* const m_owner;
    PacketBuffer& m_buffer;
};

class AudioClient final : public LoopbackAudioClient {
  public:
    explicit AudioClient(std::unique_ptr<Engine> engine)
        : LoopbackAudioClient(g_live),
          m_engine(std::move(engine)),
          m_buffer(100, m_engine->maxPacketFrames()) {}
    ~AudioClient() override {
        if (m_running) m_engine->stop();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IAudioClient, object);
    }
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, REFERENCE_TIME,
                                         REFERENCE_TIME, const WAVEFORMATEX* format, LPCGUID) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (format == nullptr) return E_POINTER;
        const HRESULT status = checkLoopbackInitialize(shareMode, streamFlags, *format);
        if (FAILED(status)) return status;
        m_eventDriven = wantsPacketEvents(streamFlags);
        m_initialized = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        if (frames == nullptr) return E_POINTER;
        *frames = m_buffer.capacityFrames();
        return m_initialized ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (m_running) return AUDCLNT_E_NOT_STOPPED;
        if (m_eventDriven && !m_eventSet) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        const HRESULT status = m_engine->start(m_buffer);
        if (SUCCEEDED(status)) m_running = true;
        return status;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (!m_running) return S_FALSE;
        m_engine->stop();
        m_running = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (m_running) return AUDCLNT_E_NOT_STOPPED;
        m_buffer.clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (event == nullptr || event == INVALID_HANDLE_VALUE) return E_INVALIDARG;
        m_buffer.setEvent(event);
        m_eventSet = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
        if (service == nullptr) return E_POINTER;
        *service = nullptr;
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (!IsEqualIID(riid, IID_IAudioCaptureClient)) return E_NOINTERFACE;
        *service = static_cast<IAudioCaptureClient*>(new CaptureClient(this, m_buffer));
        return S_OK;
    }

  private:
    void destroy() override { delete this; }
    std::unique_ptr<Engine> m_engine;
    PacketBuffer m_buffer;
    std::mutex m_mutex;
    bool m_initialized = false;
    bool m_eventDriven = false;
    bool m_eventSet = false;
    bool m_running = false;
};

}  // namespace

IAudioClient* createAudioClient(std::unique_ptr<Engine> engine) { return new AudioClient(std::move(engine)); }

int liveAudioObjects() { return g_live.load(); }

}  // namespace linuxaudio
