// The multimedia class scheduler's calls. Linux has no such service, and the real engines' threads get their
// priority from the sound server's own rules: registering succeeds and changes nothing.
#include "posix/win32.h"

namespace {

// What the task handle points at: any non-null value will do, as nothing is scheduled by it.
int g_task = 0;

}  // namespace

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR /*taskName*/, LPDWORD taskIndex) {
    if (taskIndex != nullptr) *taskIndex = 0;
    return &g_task;
}

BOOL AvRevertMmThreadCharacteristics(HANDLE avrtHandle) { return avrtHandle == &g_task ? TRUE : FALSE; }
