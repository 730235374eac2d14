#pragma once

#include "loopback/ref_counted.h"

// The audio client as the process-loopback engine offers it: these calls have no meaning for a
// process-loopback stream (it has no device, mix format or period of its own), and the program never makes
// them, so every engine answers them alike.
class LoopbackAudioClient : public RefCounted<IAudioClient> {
  public:
    using RefCounted::RefCounted;
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                                WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
};
