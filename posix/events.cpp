// Kernel events over a mutex and a condition variable, with the Windows semantics. A wait holds its own
// reference to the event, so closing the handle meanwhile (a fault) leaves the wait well defined.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "posix/handles.h"
#include "posix/kernel.h"

namespace {

struct Event final : posix::KernelObject {
    explicit Event(bool manual, bool initial)
        : KernelObject(Kind::Event), manualReset(manual), signalled(initial) {}
    std::mutex mutex;
    std::condition_variable changed;
    const bool manualReset;
    bool signalled;
};

std::shared_ptr<Event> eventOf(HANDLE handle) {
    std::shared_ptr<posix::KernelObject> object = posix::objectOf(handle);
    if (object == nullptr) return nullptr;
    if (object->kind != posix::KernelObject::Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<Event>(object);
}

}  // namespace

HANDLE posix::createEvent(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    return openHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

DWORD posix::waitForSingleObject(HANDLE handle, DWORD milliseconds) {
    const std::shared_ptr<Event> event = eventOf(handle);
    if (event == nullptr) return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(event->mutex);
    const auto isSignalled = [&event] { return event->signalled; };
    if (milliseconds == INFINITE) {
        event->changed.wait(lock, isSignalled);
    } else if (!event->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), isSignalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manualReset) event->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL posix::closeKernelHandle(HANDLE handle) {
    const std::shared_ptr<posix::KernelObject> object = posix::objectOf(handle);
    // The standard handles belong to the runtime; the program never closes them.
    if (object == nullptr || object->kind == posix::KernelObject::Kind::StdFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return posix::closeHandle(handle) ? TRUE : FALSE;
}

BOOL SetEvent(HANDLE handle) {
    const std::shared_ptr<Event> event = eventOf(handle);
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
    const std::shared_ptr<Event> event = eventOf(handle);
    if (event == nullptr) return FALSE;
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = false;
    return TRUE;
}

// Weak, so that a simulated platform linked into the program can stand in front of them, observing and
// failing them by name as a test build on Windows does through kernel32's import pointers.
__attribute__((weak)) HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                          BOOL initialState, LPCWSTR name) {
    return posix::createEvent(attributes, manualReset, initialState, name);
}

__attribute__((weak)) DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return posix::waitForSingleObject(handle, milliseconds);
}

__attribute__((weak)) BOOL CloseHandle(HANDLE handle) { return posix::closeKernelHandle(handle); }

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId) {
    // The thread's handle is a manual-reset event the thread sets as it ends; the thread holds a handle of
    // its own to it, so the caller may close its handle first.
    HANDLE handle = posix::createEvent(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) return nullptr;
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        posix::closeKernelHandle(handle);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = 0;
    std::thread([start, parameter, own] {
        start(parameter);
        SetEvent(own);
        posix::closeKernelHandle(own);
    }).detach();
    return handle;
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-2)); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

BOOL SetThreadPriority(HANDLE thread, int priority) {
    if (thread != GetCurrentThread() || priority > 0) return FALSE;
    // A lower priority is a higher nice value of this thread alone (Linux keeps one per thread).
    const auto self = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, self);
    if (errno != 0) return FALSE;
    return setpriority(PRIO_PROCESS, self, nice - 5 * priority) == 0 ? TRUE : FALSE;
}
