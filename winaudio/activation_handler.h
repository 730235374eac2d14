// Receives the result of the asynchronous audio activation on a platform thread, keeps the status and
// the audio client, and signals the event the driver waits on.
#pragma once

#include <atomic>

#include "winaudio/windows_audio.h"

class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
  public:
    ActivationHandler();
    ActivationHandler(const ActivationHandler&) = delete;
    ActivationHandler& operator=(const ActivationHandler&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    // Written by ActivateCompleted before it sets m_event; read by the driver after its wait on m_event.
    HANDLE m_event;          // manual-reset, owned
    IAudioClient* m_client;  // not owned: the driver takes it over
    HRESULT m_activateResult;

  private:
    ~ActivationHandler() = default;  // only Release destroys the object
    std::atomic<ULONG> m_refCount;
};
