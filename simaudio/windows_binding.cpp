// Binds the simulated platform to the names the program calls on Windows, in place of mmdevapi's
// ActivateAudioInterfaceAsync and ole32's COM start-up. ole32's functions are reached through their
// import pointers (__imp_*), so the test build defines those pointers itself and links no ole32.
#include "simaudio/sim_platform.h"

namespace {

template <class Function>
Function ole32(const char* name) {
    static HMODULE module = LoadLibraryW(L"ole32.dll");
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HRESULT ole32CoInitializeEx(LPVOID reserved, DWORD coInit) {
    static auto function = ole32<HRESULT(WINAPI*)(LPVOID, DWORD)>("CoInitializeEx");
    return function(reserved, coInit);
}

void ole32CoUninitialize() {
    static auto function = ole32<void(WINAPI*)()>("CoUninitialize");
    function();
}

HRESULT WINAPI boundCoInitializeEx(LPVOID reserved, DWORD coInit) {
    return simaudio::simCoInitializeEx(reserved, coInit, ole32CoInitializeEx);
}

void WINAPI boundCoUninitialize() { simaudio::simCoUninitialize(ole32CoUninitialize); }

}  // namespace

extern "C" {

HRESULT(WINAPI* __imp_CoInitializeEx)(LPVOID, DWORD) = boundCoInitializeEx;
void(WINAPI* __imp_CoUninitialize)() = boundCoUninitialize;

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    return simaudio::simActivateAudioInterfaceAsync(path, riid, params, handler, operation);
}

}  // extern "C"
