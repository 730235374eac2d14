// The simulated render meters: a session plays, unheard by the capture, in the scenario's unheard
// stretches of engine time; nothing plays in them otherwise (the simulated audio itself is heard).
#include <atomic>

#include "simaudio/scenario.h"
#include "stream/performance_clock.h"
#include "winaudio/windows_audio.h"

namespace simaudio {
extern std::atomic<std::uint64_t> g_engineStart;
}

int playingForCapture(const DWORD*, unsigned, bool) {
    const std::uint64_t start = simaudio::g_engineStart.load();
    if (start == 0) return 0;
    const std::uint64_t nowMs = (performanceClockNow() - start) / stream::kTicksPerMillisecond;
    for (const simaudio::Scenario::Quiet& stretch : simaudio::currentScenario().unheard) {
        if (nowMs >= stretch.fromMs && nowMs - stretch.fromMs < stretch.lengthMs) return 1;
    }
    return 0;
}
