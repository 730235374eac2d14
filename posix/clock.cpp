// QueryPerformanceCounter over CLOCK_MONOTONIC, which never jumps with the wall clock.
#include <ctime>

#include "posix/win32.h"
#include "stream/stream_format.h"

namespace {

constexpr auto kTicksPerSecond = static_cast<LONGLONG>(stream::kTicksPerSecond);
constexpr auto kNanosecondsPerTick = static_cast<LONGLONG>(stream::kNanosecondsPerTick);

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
