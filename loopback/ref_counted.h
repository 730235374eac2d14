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
    // Frees the object; one that holds another may release it here, after its own end.
    virtual void destroy() { delete this; }
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
