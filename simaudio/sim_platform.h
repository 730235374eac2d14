// The simulated platform's entry points. Each host binds them to the names the program calls
// (posix_binding.cpp, windows_binding.cpp), passing the platform's own COM start-up to fall back on.
#pragma once

#include "winaudio/windows_audio.h"

namespace simaudio {

HRESULT simCoInitializeEx(LPVOID reserved, DWORD coInit, HRESULT (*platform)(LPVOID, DWORD));
void simCoUninitialize(void (*platform)());
HRESULT simActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                       IActivateAudioInterfaceCompletionHandler* handler,
                                       IActivateAudioInterfaceAsyncOperation** operation);

}  // namespace simaudio
