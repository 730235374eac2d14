// Binds the simulated platform to the names the program calls on Windows, in place of mmdevapi's
// ActivateAudioInterfaceAsync, ole32's COM start-up and avrt's thread registration. ole32's functions are
// reached through their import pointers (__imp_*), so the test build defines those pointers itself and links
// no ole32. The kernel32 calls on the program's events are bound the same way, in front of kernel32's own, so
// that the engine sees the program create, wait on and close them (and can fail them) as it does natively.
#include <atomic>

#include "simaudio/kernel_model.h"
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

// kernel32's own function; looked up without a guarded static, since the runtime's own locking may come
// through these very calls.
template <class Function>
Function kernel32(std::atomic<void*>& cache, const char* name) {
    void* function = cache.load();
    if (function == nullptr) {
        function = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name));
        cache.store(function);
    }
    return reinterpret_cast<Function>(function);
}

std::atomic<void*> g_createEventW{nullptr};
std::atomic<void*> g_waitForSingleObject{nullptr};
std::atomic<void*> g_closeHandle{nullptr};
std::atomic<void*> g_setConsoleCtrlHandler{nullptr};
std::atomic<void*> g_writeFile{nullptr};

HANDLE kernel32CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                            LPCWSTR name) {
    using Function = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
    return kernel32<Function>(g_createEventW, "CreateEventW")(attributes, manualReset, initialState, name);
}

DWORD kernel32WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    using Function = DWORD(WINAPI*)(HANDLE, DWORD);
    return kernel32<Function>(g_waitForSingleObject, "WaitForSingleObject")(handle, milliseconds);
}

BOOL kernel32CloseHandle(HANDLE handle) {
    return kernel32<BOOL(WINAPI*)(HANDLE)>(g_closeHandle, "CloseHandle")(handle);
}

HANDLE WINAPI boundCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                                LPCWSTR name) {
    return simaudio::simCreateEventW(attributes, manualReset, initialState, name, kernel32CreateEventW);
}

DWORD WINAPI boundWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return simaudio::simWaitForSingleObject(handle, milliseconds, kernel32WaitForSingleObject);
}

BOOL WINAPI boundCloseHandle(HANDLE handle) { return simaudio::simCloseHandle(handle, kernel32CloseHandle); }

BOOL WINAPI boundWriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                           LPOVERLAPPED overlapped) {
    using Function = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    DWORD taken = 0;
    const BOOL written =
        kernel32<Function>(g_writeFile, "WriteFile")(file, buffer, bytesToWrite, &taken, overlapped);
    if (bytesWritten != nullptr) *bytesWritten = taken;
    simaudio::simOutputWritten(file, written ? taken : bytesToWrite);
    return written;
}

// The program's console handlers, most recent last, so the engine can deliver a console event itself.
constexpr int kMaxHandlers = 8;
std::atomic<PHANDLER_ROUTINE> g_handlers[kMaxHandlers];
std::atomic<int> g_handlerCount{0};

BOOL WINAPI boundSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    const int slot = g_handlerCount.load();
    if (handler != nullptr && add != FALSE && slot < kMaxHandlers) {
        g_handlers[slot].store(handler);
        g_handlerCount.store(slot + 1);
    }
    using Function = BOOL(WINAPI*)(PHANDLER_ROUTINE, BOOL);
    return kernel32<Function>(g_setConsoleCtrlHandler, "SetConsoleCtrlHandler")(handler, add);
}

// As Windows does: a new thread runs the handlers, the most recently added first, until one answers TRUE.
DWORD WINAPI deliverCtrlC(LPVOID) {
    for (int i = g_handlerCount.load() - 1; i >= 0; --i) {
        if (g_handlers[i].load()(CTRL_C_EVENT) != FALSE) return 0;
    }
    return 0;
}

// avrt's own function, if the system has it: the test build links no avrt, yet registers its capture
// thread for real where it can.
template <class Function>
Function avrt(const char* name) {
    static HMODULE module = LoadLibraryW(L"avrt.dll");
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

extern "C" {

HRESULT(WINAPI* __imp_CoInitializeEx)(LPVOID, DWORD) = boundCoInitializeEx;
void(WINAPI* __imp_CoUninitialize)() = boundCoUninitialize;
HANDLE(WINAPI* __imp_CreateEventW)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR) = boundCreateEventW;
DWORD(WINAPI* __imp_WaitForSingleObject)(HANDLE, DWORD) = boundWaitForSingleObject;
BOOL(WINAPI* __imp_CloseHandle)(HANDLE) = boundCloseHandle;
BOOL(WINAPI* __imp_WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = boundWriteFile;
BOOL(WINAPI* __imp_SetConsoleCtrlHandler)(PHANDLER_ROUTINE, BOOL) = boundSetConsoleCtrlHandler;

HRESULT WINAPI ActivateAudioInterfaceAsync(LPCWSTR path, REFIID riid, PROPVARIANT* params,
                                           IActivateAudioInterfaceCompletionHandler* handler,
                                           IActivateAudioInterfaceAsyncOperation** operation) {
    return simaudio::simActivateAudioInterfaceAsync(path, riid, params, handler, operation);
}

HANDLE WINAPI AvSetMmThreadCharacteristicsW(LPCWSTR taskName, LPDWORD taskIndex) {
    static auto function = avrt<HANDLE(WINAPI*)(LPCWSTR, LPDWORD)>("AvSetMmThreadCharacteristicsW");
    return function != nullptr ? function(taskName, taskIndex) : nullptr;
}

WINBOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE avrtHandle) {
    static auto function = avrt<WINBOOL(WINAPI*)(HANDLE)>("AvRevertMmThreadCharacteristics");
    return function != nullptr ? function(avrtHandle) : FALSE;
}

}  // extern "C"

void simaudio::raiseConsoleStop() {
    HANDLE thread = CreateThread(nullptr, 0, deliverCtrlC, nullptr, 0, nullptr);
    if (thread == nullptr) return;
    kernel32WaitForSingleObject(thread, INFINITE);
    kernel32CloseHandle(thread);
}
