// Kernel events over a mutex and a condition variable, with the Windows semantics.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "posix/handles.h"

namespace {

std::atomic<int> g_liveEvents{0};

struct Event final : posix::KernelObject {
    explicit Event(bool manual, bool initial)
        : KernelObject(Kind::Event), manualReset(manual), signalled(initial) {
        ++g_liveEvents;
    }
    ~Event() { --g_liveEvents; }
    std::mutex mutex;
    std::condition_variable changed;
    const bool manualReset;
    bool signalled;
};

Event* asEvent(HANDLE handle) {
    auto* object = posix::asKernelObject(handle);
    return object != nullptr && object->kind == posix::KernelObject::Kind::Event ? static_cast<Event*>(object)
                                                                                 : nullptr;
}

}  // namespace

int posix::liveEvents() { return g_liveEvents.load(); }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    return new Event(manualReset != FALSE, initialState != FALSE);
}

BOOL SetEvent(HANDLE handle) {
    Event* event = asEvent(handle);
    if (event == nullptr) return FALSE;
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->signalled = true;
    }
    // An auto-reset event releases one waiter; a manual-reset one releases them all.
    if (event->manualReset) {
        event->changed.notify_all();
    } else {
        event->changed.notify_one();
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    Event* event = asEvent(handle);
    if (event == nullptr) return FALSE;
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Event* event = asEvent(handle);
    if (event == nullptr) return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(event->mutex);
    const auto isSignalled = [event] { return event->signalled; };
    if (milliseconds == INFINITE) {
        event->changed.wait(lock, isSignalled);
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), isSignalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) event->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
    auto* object = posix::asKernelObject(handle);
    if (object == nullptr || object->kind == posix::KernelObject::Kind::StdFile) return FALSE;
    delete static_cast<Event*>(object);
    return TRUE;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
