// The process's handle table. As on Windows, a HANDLE names one reference to a kernel object: the object
// lives while any handle (or a call still using it) refers to it, CloseHandle drops exactly one handle,
// and a handle that is unknown or already closed fails with ERROR_INVALID_HANDLE instead of touching
// freed memory.
#pragma once

#include <memory>

#include "posix/win32.h"

namespace posix {

struct KernelObject {
    enum class Kind { Event, StdFile };
    explicit KernelObject(Kind k) : kind(k) {}
    virtual ~KernelObject() = default;
    const Kind kind;
};

// A new handle for the object.
HANDLE openHandle(std::shared_ptr<KernelObject> object);
// The object a handle names, or null (and ERROR_INVALID_HANDLE) for an unknown or closed one.
std::shared_ptr<KernelObject> objectOf(HANDLE handle);
// Drops the handle; false (and ERROR_INVALID_HANDLE) when there is none.
bool closeHandle(HANDLE handle);

}  // namespace posix
