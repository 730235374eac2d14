#include "winaudio/activation_handler.h"

ActivationHandler::ActivationHandler()
    : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_client(nullptr),
      m_activateResult(E_FAIL),
      m_refCount(1) {}

HRESULT STDMETHODCALLTYPE ActivationHandler::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IActivateAudioInterfaceCompletionHandler)) {
        *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (IsEqualIID(riid, IID_IAgileObject)) {
        *object = static_cast<IAgileObject*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE ActivationHandler::AddRef() { return m_refCount.fetch_add(1) + 1; }

ULONG STDMETHODCALLTYPE ActivationHandler::Release() {
    const ULONG count = m_refCount.fetch_sub(1) - 1;
    if (count != 0) return count;
    if (m_event != nullptr) CloseHandle(m_event);
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE
ActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
    HRESULT status = E_FAIL;
    IUnknown* activated = nullptr;
    operation->GetActivateResult(&status, &activated);
    m_activateResult = status;
    if (activated != nullptr) {
        if (SUCCEEDED(status))
            activated->QueryInterface(IID_IAudioClient, reinterpret_cast<void**>(&m_client));
        // Released on a failure status too: the platform handed us a reference either way.
        activated->Release();
    }
    SetEvent(m_event);
    return S_OK;
}
