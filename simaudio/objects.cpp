// The COM objects of the simulated platform: the activation operation, the
// audio client and the capture client, with reference counts that free them at
// zero. Every call is checked the way the real platform checks it, so a program
// that passes the wrong values fails here as it would on Windows.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "simaudio/engine.h"
#include "simaudio/kernel_model.h"
#include "simaudio/scenario.h"
#include "simaudio/sim_platform.h"
#include "simaudio/threads.h"
#include "simaudio/trace.h"
#include "winaudio/loopback_client_rules.h"
#include "winaudio/ref_counted.h"

namespace simaudio {

namespace {

std::string hex(HRESULT status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
    return text;
}

// The whole structure as the engine reads it: sizeof(WAVEFORMATEX) plus cbSize
// bytes, so a wrong cbSize reads past the program's format (the address
// sanitizer sees that) and shows in the trace.
std::string describe(const WAVEFORMATEX* format) {
    if (format == nullptr) return "null";
    std::vector<BYTE> whole(sizeof(WAVEFORMATEX) + format->cbSize);
    std::memcpy(whole.data(), format, whole.size());
    WAVEFORMATEX f;
    std::memcpy(&f, whole.data(), sizeof f);
    return "tag" + std::to_string(f.wFormatTag) + "/ch" + std::to_string(f.nChannels) + "/" +
           std::to_string(f.nSamplesPerSec) + "Hz/" + std::to_string(f.nAvgBytesPerSec) + "B/s/align" +
           std::to_string(f.nBlockAlign) + "/bits" + std::to_string(f.wBitsPerSample) + "/cb" +
           std::to_string(f.cbSize);
}

class AudioClient;

class CaptureClient final : public RefCounted<IAudioCaptureClient> {
  public:
    CaptureClient(AudioClient* owner, Engine& engine);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IAudioCaptureClient, object);
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                        UINT64* qpcPosition) override {
        return m_engine.getBuffer(data, frames, flags, devicePosition, qpcPosition);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override { return m_engine.releaseBuffer(frames); }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return m_engine.nextPacketSize(frames);
    }
    ULONG STDMETHODCALLTYPE Release() override;

  private:
    void destroy() override;
    AudioClient* m_owner;  // one reference, so the engine outlives the capture client
    Engine& m_engine;
};

class AudioClient final : public LoopbackAudioClient {
  public:
    explicit AudioClient(const Scenario& scenario)
        : LoopbackAudioClient(liveObjects().clients), m_scenario(scenario), m_engine(scenario) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IAudioClient, object);
    }
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                         REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID session) override {
        trace("Initialize mode=" + std::to_string(shareMode) +
              " flags=" + hex(static_cast<HRESULT>(streamFlags)) +
              " duration=" + std::to_string(bufferDuration) + " periodicity=" + std::to_string(periodicity) +
              " format=" + describe(format) + " session=" + (session == nullptr ? "null" : "set"));
        sleepFor(std::chrono::milliseconds(m_scenario.stallInitializeMs));
        if (m_initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (format == nullptr) return E_POINTER;
        if (FAILED(m_scenario.initialize)) return m_scenario.initialize;
        const HRESULT status = checkLoopbackInitialize(shareMode, streamFlags, *format);
        if (FAILED(status)) return status;
        m_eventDriven = wantsPacketEvents(streamFlags);
        m_initialized = true;
        stopPoint(Scenario::StopPoint::Initialize);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        if (frames == nullptr) return E_POINTER;
        *frames = m_scenario.capacityFrames;
        return m_initialized ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        trace("Start");
        sleepFor(std::chrono::milliseconds(m_scenario.stallStartMs));
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (FAILED(m_scenario.start)) return m_scenario.start;
        if (m_eventDriven && !m_eventSet) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        m_engine.start();
        stopPoint(Scenario::StopPoint::Start);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        trace("Stop");
        m_engine.stop();
        return m_initialized ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        trace(std::string("SetEventHandle ") + (event == nullptr ? "null" : "set"));
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (event == nullptr || event == INVALID_HANDLE_VALUE) return E_INVALIDARG;
        // The engine keeps its own reference to the event, as the real one
        // duplicates the handle.
        if (!m_engine.setEvent(event)) return E_INVALIDARG;
        m_eventSet = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
        trace("GetService");
        sleepFor(std::chrono::milliseconds(m_scenario.stallServiceMs));
        if (service == nullptr) return E_POINTER;
        *service = nullptr;
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (FAILED(m_scenario.service)) return m_scenario.service;
        if (!IsEqualIID(riid, IID_IAudioCaptureClient)) return E_NOINTERFACE;
        m_captureClient = new CaptureClient(this, m_engine);
        *service = static_cast<IAudioCaptureClient*>(m_captureClient);
        stopPoint(Scenario::StopPoint::Service);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = RefCounted::Release();
        trace("Release client -> " + std::to_string(refs));
        return refs;
    }
    void forgetCaptureClient(const CaptureClient* client) {
        if (m_captureClient == client) m_captureClient = nullptr;
    }

  private:
    void destroy() override { delete this; }
    const Scenario& m_scenario;
    Engine m_engine;
    // The platform knows the service it handed out: one a program leaves to
    // process exit (after a failed Start) is still held, not lost.
    CaptureClient* m_captureClient = nullptr;
    bool m_initialized = false;
    bool m_eventDriven = false;
    bool m_eventSet = false;
};

CaptureClient::CaptureClient(AudioClient* owner, Engine& engine)
    : RefCounted(liveObjects().captureClients), m_owner(owner), m_engine(engine) {
    m_owner->AddRef();
}

ULONG STDMETHODCALLTYPE CaptureClient::Release() {
    const ULONG refs = RefCounted::Release();
    trace("Release capture -> " + std::to_string(refs));
    return refs;
}

void CaptureClient::destroy() {
    AudioClient* owner = m_owner;
    owner->forgetCaptureClient(this);
    delete this;
    owner->RefCounted::Release();  // the engine's own reference, not the
                                   // program's: not traced
}

// An activated object that is not an audio client (the `noclient` scenario).
class OtherObject final : public RefCounted<IUnknown> {
  public:
    OtherObject() : RefCounted(liveObjects().clients) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IUnknown, object);
    }

  private:
    void destroy() override { delete this; }
};

class Operation final : public RefCounted<IActivateAudioInterfaceAsyncOperation> {
  public:
    Operation(HRESULT status, IUnknown* activated)
        : RefCounted(liveObjects().operations), m_status(status), m_activated(activated) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IActivateAudioInterfaceAsyncOperation, object);
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* status, IUnknown** activated) override {
        if (status == nullptr || activated == nullptr) return E_POINTER;
        *status = m_status;
        *activated = m_activated;
        if (m_activated != nullptr) m_activated->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = RefCounted::Release();
        trace("Release operation -> " + std::to_string(refs));
        return refs;
    }

  private:
    void destroy() override {
        if (m_activated != nullptr) m_activated->Release();
        delete this;
    }
    const HRESULT m_status;
    IUnknown* const m_activated;
};

}  // namespace

HRESULT simCoInitializeEx(LPVOID reserved, DWORD coInit, HRESULT (*platform)(LPVOID, DWORD)) {
    const Scenario& scenario = currentScenario();
    rememberProgramThread();
    trace("CoInitializeEx model=" + std::to_string(coInit));
    if (scenario.stallCoinitMs != 0) {
        // Nothing on stderr marks this moment (the console handler is in place, COM
        // not yet joined); the trace written so far lets a test see it.
        flushTrace();
        sleepFor(std::chrono::milliseconds(scenario.stallCoinitMs));
    }
    if (scenario.coinit != S_OK) {
        if (SUCCEEDED(scenario.coinit)) ++liveObjects().comJoins;  // S_FALSE still needs CoUninitialize
        return scenario.coinit;
    }
    const HRESULT status = platform(reserved, coInit);
    if (SUCCEEDED(status)) ++liveObjects().comJoins;
    stopPoint(Scenario::StopPoint::Coinit);
    return status;
}

void simCoUninitialize(void (*platform)()) {
    trace("CoUninitialize (handler refs=" + std::to_string(handlerReferences()) + ")");
    --liveObjects().comJoins;
    platform();
}

HRESULT simActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                       IActivateAudioInterfaceCompletionHandler* handler,
                                       IActivateAudioInterfaceAsyncOperation** operation) {
    const Scenario& scenario = currentScenario();
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS loopback{};
    const bool valid = readProcessLoopbackRequest(path, riid, params, loopback);
    trace("ActivateAudioInterfaceAsync " + (valid
                                                ? "pid=" + std::to_string(loopback.TargetProcessId) +
                                                      " mode=" + std::to_string(loopback.ProcessLoopbackMode)
                                                : std::string("invalid")));
    if (operation == nullptr || handler == nullptr) return E_POINTER;
    *operation = nullptr;
    if (!valid) return E_INVALIDARG;
    rememberHandler(handler);
    if (FAILED(scenario.activate)) return scenario.activate;

    IUnknown* activated = nullptr;
    if (SUCCEEDED(scenario.result)) {
        activated = scenario.noClient ? static_cast<IUnknown*>(new OtherObject)
                                      : static_cast<IUnknown*>(new AudioClient(scenario));
    }
    auto* op = new Operation(scenario.result, activated);
    *operation = op;
    handler->AddRef();  // the platform's own reference while the activation is
                        // pending
    if (scenario.delayMs == kNever) return S_OK;

    op->AddRef();
    const auto delay = std::chrono::milliseconds(scenario.delayMs);
    ++liveObjects().completing;
    Thread([handler, op, delay] {
        sleepFor(delay);
        handler->ActivateCompleted(op);
        handler->Release();
        op->RefCounted::Release();
        --liveObjects().completing;
    }).detach();
    return S_OK;
}

}  // namespace simaudio
