// Binds the simulated platform to the names the program calls on POSIX hosts. The stand-in layer's
// CoInitializeEx and CoUninitialize are weak, so these take their place and fall back on its apartments.
#include "simaudio/sim_platform.h"

HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) {
    return simaudio::simCoInitializeEx(reserved, coInit, posix::joinApartment);
}

void CoUninitialize() { simaudio::simCoUninitialize(posix::leaveApartment); }

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    return simaudio::simActivateAudioInterfaceAsync(path, riid, params, handler, operation);
}
