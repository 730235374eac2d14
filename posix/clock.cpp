// QueryPerformanceCounter over CLOCK_MONOTONIC, which never jumps with the wall clock.
#include <ctime>

#include "posix/win32.h"

namespace {

// 10 MHz, the frequency Windows 10 and later report on current machines.
constexpr LONGLONG kTicksPerSecond = 10'000'000;
constexpr LONGLONG kNanosecondsPerTick = 1'000'000'000 / kTicksPerSecond;

}  // namespace

BOOL QueryPerformanceCounter(LARGE_INTEGER* count) {
    if (count == nullptr) return FALSE;
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return FALSE;
    count->QuadPart = static_cast<LONGLONG>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / kNanosecondsPerTick;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    if (frequency == nullptr) return FALSE;
    frequency->QuadPart = kTicksPerSecond;
    return TRUE;
}
