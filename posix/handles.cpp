#include "posix/handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace {

struct Table {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<posix::KernelObject>> objects;
    // Handle values are never reused here, so a stale handle is always caught rather than naming
    // some later object.
    std::uintptr_t next = 0x100;
};

Table& table() {
    static Table* instance = new Table;  // never destroyed: threads may close handles during exit
    return *instance;
}

std::uintptr_t key(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

HANDLE posix::openHandle(std::shared_ptr<KernelObject> object) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const std::uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<posix::KernelObject> posix::objectOf(HANDLE handle) {
    Table& t = table();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        const auto found = t.objects.find(key(handle));
        if (found != t.objects.end()) return found->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool posix::closeHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> last;  // freed outside the lock
    Table& t = table();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        const auto found = t.objects.find(key(handle));
        if (found != t.objects.end()) {
            last = std::move(found->second);
            t.objects.erase(found);
            return true;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD error) { t_lastError = error; }

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target, DWORD, BOOL,
                     DWORD) {
    if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() || target == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<posix::KernelObject> object = posix::objectOf(source);
    if (object == nullptr) return FALSE;
    *target = posix::openHandle(std::move(object));
    return TRUE;
}
