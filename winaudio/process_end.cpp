// A process's end, on Windows: a thread waits on the process handle.
#include "winaudio/windows_audio.h"

namespace {

struct Watch {
    HANDLE process;
    DWORD pid;
    void (*ended)(void*, DWORD);
    void* context;
};

DWORD WINAPI waitForEnd(LPVOID parameter) {
    Watch* watch = static_cast<Watch*>(parameter);
    if (WaitForSingleObject(watch->process, INFINITE) == WAIT_OBJECT_0)
        watch->ended(watch->context, watch->pid);
    CloseHandle(watch->process);
    delete watch;
    return 0;
}

}  // namespace

bool watchProcessEnd(DWORD pid, void (*ended)(void* context, DWORD pid), void* context) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return false;
    auto* watch = new Watch{process, pid, ended, context};
    const HANDLE thread = CreateThread(nullptr, 0, waitForEnd, watch, 0, nullptr);
    if (thread == nullptr) {
        CloseHandle(process);
        delete watch;
        return false;
    }
    CloseHandle(thread);
    return true;
}
