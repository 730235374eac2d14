// The COM objects of the simulated platform: the activation operation, the audio client and the capture
// client, with reference counts that free them at zero. Every call is checked the way the real platform
// checks it, so a program that passes the wrong values fails here as it would on Windows.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "simaudio/simulated_engine.h"
#include "simaudio/kernel_model.h"
#include "simaudio/scenario.h"
#include "simaudio/sim_platform.h"
#include "simaudio/threads.h"
#include "simaudio/trace.h"
#include "loopback/loopback_client.h"
#include "loopback/loopback_client_rules.h"
#include "loopback/ref_counted.h"

namespace simaudio {

namespace {

std::string hex(HRESULT status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
    return text;
}

// The whole structure as the engine reads it: sizeof(WAVEFORMATEX) plus cbSize bytes, so a wrong cbSize
// reads past the program's format (the address sanitizer sees that) and shows in the trace.
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

void noteRelease(const char* object, ULONG refs) {
    trace(std::string("Release ") + object + " -> " + std::to_string(refs));
}

const ClientBook& book() {
    static const ClientBook kept{&liveObjects().clients, &liveObjects().captureClients,
                                 &liveObjects().operations, noteRelease};
    return kept;
}

// The shared client's rules, with each call traced and the scenario's stalls and stop requests around it.
class AudioClient final : public LoopbackClient<SimulatedEngine, std::mutex> {
  public:
    explicit AudioClient(const Scenario& scenario) : LoopbackClient(book(), scenario), m_scenario(scenario) {}

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                                         REFERENCE_TIME bufferDuration, REFERENCE_TIME periodicity,
                                         const WAVEFORMATEX* format, LPCGUID session) override {
        trace("Initialize mode=" + std::to_string(shareMode) +
              " flags=" + hex(static_cast<HRESULT>(streamFlags)) +
              " duration=" + std::to_string(bufferDuration) + " periodicity=" + std::to_string(periodicity) +
              " format=" + describe(format) + " session=" + (session == nullptr ? "null" : "set"));
        sleepFor(std::chrono::milliseconds(m_scenario.stallInitializeMs));
        const HRESULT status =
            LoopbackClient::Initialize(shareMode, streamFlags, bufferDuration, periodicity, format, session);
        if (SUCCEEDED(status)) stopPoint(Scenario::StopPoint::Initialize);
        return status;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        trace("Start");
        sleepFor(std::chrono::milliseconds(m_scenario.stallStartMs));
        const HRESULT status = LoopbackClient::Start();
        if (SUCCEEDED(status)) stopPoint(Scenario::StopPoint::Start);
        return status;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        trace("Stop");
        return LoopbackClient::Stop();
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        trace(std::string("SetEventHandle ") + (event == nullptr ? "null" : "set"));
        return LoopbackClient::SetEventHandle(event);
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
        trace("GetService");
        sleepFor(std::chrono::milliseconds(m_scenario.stallServiceMs));
        const HRESULT status = LoopbackClient::GetService(riid, service);
        if (SUCCEEDED(status)) stopPoint(Scenario::StopPoint::Service);
        return status;
    }

  private:
    const Scenario& m_scenario;
};

// An activated object that is not an audio client (the `noclient` scenario).
class OtherObject final : public RefCounted<IUnknown> {
  public:
    OtherObject() : RefCounted(liveObjects().clients) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IUnknown, object);
    }
};

}  // namespace

HRESULT simCoInitializeEx(LPVOID reserved, DWORD coInit, HRESULT (*platform)(LPVOID, DWORD)) {
    const Scenario& scenario = currentScenario();
    rememberProgramThread();
    trace("CoInitializeEx model=" + std::to_string(coInit));
    if (scenario.stallCoinitMs != 0) {
        // Nothing on stderr marks this moment (the console handler is in place, COM not yet joined);
        // the trace written so far lets a test see it.
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
    ProcessLoopbackRequest request;
    const bool valid = readProcessLoopbackRequest(path, riid, params, request);
    std::string pids;
    for (const DWORD pid : request.pids) pids += (pids.empty() ? "" : ",") + std::to_string(pid);
    trace("ActivateAudioInterfaceAsync " +
          (valid ? "pid=" + pids + " mode=" + std::to_string(request.mode) : std::string("invalid")));
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
    auto* op = new ActivationOperation(book());
    op->complete(scenario.result, activated);
    *operation = op;
    handler->AddRef();  // the platform's own reference while the activation is pending
    if (scenario.delayMs == kNever) return S_OK;

    op->AddRef();
    const auto delay = std::chrono::milliseconds(scenario.delayMs);
    ++liveObjects().completing;
    // Left to run on its own: the temporary lets it go.
    Thread([handler, op, delay] {
        sleepFor(delay);
        handler->ActivateCompleted(op);
        handler->Release();
        op->RefCounted::Release();
        --liveObjects().completing;
    });
    return S_OK;
}

}  // namespace simaudio
