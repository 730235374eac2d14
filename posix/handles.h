// What a HANDLE points at in the stand-in layer: a kernel object with a kind, so that calls given the
// wrong kind of handle fail as on Windows instead of corrupting memory.
#pragma once

#include "posix/win32.h"

namespace posix {

struct KernelObject {
    enum class Kind { Event, StdFile };
    explicit KernelObject(Kind k) : kind(k) {}
    const Kind kind;
};

// Events created and not yet closed, so tests can see that a handle was closed exactly once.
int liveEvents();

inline KernelObject* asKernelObject(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    return static_cast<KernelObject*>(handle);
}

}  // namespace posix
