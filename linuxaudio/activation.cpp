// ActivateAudioInterfaceAsync for the native program on a real Linux audio server. As on Windows the
// request is checked at once and completes later on a thread of its own, where the server is reached.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "linuxaudio/capture_objects.h"
#include "linuxaudio/server_engine.h"
#include "loopback/loopback_client.h"
#include "loopback/loopback_client_rules.h"

namespace linuxaudio {

namespace {

// The last completion handler given. The program leaves one reference of its own to process exit, as
// Windows lets it; held here, the handler stays reachable, so the leak checker does not report it.
std::atomic<IActivateAudioInterfaceCompletionHandler*> g_lastHandler{nullptr};

// AUDIO_HELPER_ENGINE: unset or empty for whichever server answers, else the one engine allowed.
std::string engineChoice() {
    const char* only = std::getenv("AUDIO_HELPER_ENGINE");
    return only != nullptr ? only : "";
}

// A name the program does not know stops it before it starts, with one line and exit code 125: left
// unnoticed, a typing error would quietly pick an engine the user did not ask for.
const bool g_engineChecked = [] {
    const std::string choice = engineChoice();
    if (!choice.empty() && choice != "pipewire" && choice != "pulse") {
        std::fprintf(stderr, "AUDIO_HELPER_ENGINE: '%s' is not an engine (pipewire or pulse)\n",
                     choice.c_str());
        std::fflush(stderr);
        std::_Exit(125);
    }
    return true;
}();

}  // namespace

HRESULT createEngine(std::shared_ptr<ProcessTreeFilter> filter, std::unique_ptr<ServerEngine>& engine) {
    const std::string choice = engineChoice();
    HRESULT status = AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (choice.empty() || choice == "pipewire") {
        status = createPipeWireEngine(filter, engine);
        if (SUCCEEDED(status) || !choice.empty()) return status;
    }
    return createPulseEngine(filter, engine);
}

}  // namespace linuxaudio

#if defined(__SANITIZE_ADDRESS__)
// glibc keeps a failed dlopen's message in a buffer of the calling thread's own, freed as that thread
// ends: the activation thread that looked for a missing library may still be ending as the process does.
extern "C" const char* __lsan_default_suppressions() { return "leak:_dlerror_run\n"; }
#endif

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    using namespace linuxaudio;
    if (operation == nullptr || handler == nullptr) return E_POINTER;
    *operation = nullptr;
    ProcessLoopbackRequest request;
    if (!readProcessLoopbackRequest(path, riid, params, request)) return E_INVALIDARG;

    g_lastHandler.store(handler);
    auto* op = new ActivationOperation(ClientBook{});
    *operation = op;
    op->AddRef();
    handler->AddRef();  // both stay alive until the completion has been delivered
    std::thread([op, handler, request] {
        auto filter = std::make_shared<ProcessTreeFilter>(request.pids, request.mode);
        std::unique_ptr<ServerEngine> engine;
        const HRESULT status = createEngine(filter, engine);
        op->complete(status, SUCCEEDED(status) ? createAudioClient(std::move(engine)) : nullptr);
        handler->ActivateCompleted(op);
        handler->Release();
        op->Release();
    }).detach();
    return S_OK;
}
