// Now on the performance counter, in the 100 ns units of the positions GetBuffer reports.
#pragma once

#include <cstdint>

#include "stream/stream_format.h"
#include "winaudio/windows_audio.h"

inline std::uint64_t performanceClockNow() {
    LARGE_INTEGER counter{};
    LARGE_INTEGER frequency{};
    if (!QueryPerformanceCounter(&counter) || !QueryPerformanceFrequency(&frequency)) return 0;
    return stream::ticksFromCounter(counter.QuadPart, frequency.QuadPart);
}
