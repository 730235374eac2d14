// Binds the simulated platform to the names the program calls on POSIX hosts. The stand-in layer's
// CoInitializeEx and CoUninitialize are weak, so these take their place and fall back on its apartments.
#include "posix/kernel.h"
#include "simaudio/kernel_model.h"
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

// The program's own events, observed and failed by name (the stand-in layer's versions are weak).
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    return simaudio::simCreateEventW(attributes, manualReset, initialState, name, posix::createEvent);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return simaudio::simWaitForSingleObject(handle, milliseconds, posix::waitForSingleObject);
}

BOOL CloseHandle(HANDLE handle) { return simaudio::simCloseHandle(handle, posix::closeKernelHandle); }

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED) {
    DWORD taken = 0;
    const BOOL written = posix::writeFile(file, buffer, bytesToWrite, &taken);
    if (bytesWritten != nullptr) *bytesWritten = taken;
    simaudio::simOutputWritten(file, written ? taken : bytesToWrite);
    return written;
}

void simaudio::raiseConsoleStop() { posix::raiseConsoleEvent(CTRL_C_EVENT); }
