// Reference counting for the COM objects an engine hands to the program: freed at zero, with a count of
// the live objects of a kind so a test can see that nothing leaks.
#pragma once

#include <atomic>

#include "winaudio/windows_audio.h"

template <class Interface>
class RefCounted : public Interface {
  public:
    explicit RefCounted(std::atomic<int>& live) : RefCounted(&live) {}
    // `live` may be null: a kind nobody counts.
    explicit RefCounted(std::atomic<int>* live = nullptr) : m_live(live) {
        if (m_live != nullptr) ++*m_live;
    }
    virtual ~RefCounted() = default;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = --m_refs;
        if (refs == 0) {
            if (m_live != nullptr) --*m_live;
            destroy();
        }
        return refs;
    }

  protected:
    // Release, then the platform's note of it (`note` may be null). Both arguments are copies, as the
    // release may free this object.
    ULONG releaseNoted(void (*note)(const char* object, ULONG refs), const char* object) {
        const ULONG refs = RefCounted::Release();
        if (note != nullptr) note(object, refs);
        return refs;
    }
    // Frees the object; an object that holds another may release it here, after its own end.
    virtual void destroy() = 0;
    HRESULT queryFor(REFIID riid, const IID& own, void** object) {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, own)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

  private:
    std::atomic<int>* const m_live;
    std::atomic<ULONG> m_refs{1};
};

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
