// Where each delivery of frames lies in time, in 100 ns units. Positions follow the frames delivered (the
// engine's sample clock): they continue exactly while audio is continuous, and jump forward by exactly the
// frames missing when the measured clock moved ahead of them (a graph that stalled or was suspended).
#pragma once

#include <algorithm>
#include <cstdint>

#include "stream/stream_format.h"
#include "stream/timeline.h"

namespace stream {

// A delivery further than this from where the sample clock puts it moves the positions to the measured
// clock. The timeline's quiet margin bounds it: a late delivery kept on the sample clock must still lie
// after the silence written meanwhile.
constexpr std::uint64_t kRealignTicks = kQuietMarginTicks;
// Frames further ahead of the clock than this, since the first delivery, lose their leading silence: a
// graph whose cycles ran faster than time (a quantum change). Less is the stamps' own wander.
constexpr std::uint64_t kCatchUpMilliseconds = 5;
static_assert(kCatchUpMilliseconds * kTicksPerMillisecond > kStampWanderTicks,
              "a lead within the stamps' wander is no lead");
// Frame 0 moves later only when arrivals implied it for two windows this long in a row: a backlog's burst
// (the helper was stopped) arrives at once, within one, while frames the server lost are followed in 2-4 s.
constexpr std::int64_t kOriginWindowTicks = 2 * static_cast<std::int64_t>(kTicksPerSecond);

class ClockReconciler {
  public:
    explicit ClockReconciler(const StreamFormat& format = kDefaultFormat)
        : m_format(format), m_catchUpFrames(format.framesFromMilliseconds(kCatchUpMilliseconds)) {}

    struct Placement {
        std::uint64_t device = 0;   // device position of the first frame kept
        std::uint32_t skipped = 0;  // leading frames left out (silence ahead of the clock)
        bool breaks = false;        // the frames do not continue those before, on either clock
        bool missing = false;       // ... and audio is missing before them: the device position skips it
    };
    // `frameCount` interleaved frames whose first was measured at `measured`; they count as delivered.
    Placement deliver(const float* frames, std::uint32_t frameCount, std::uint64_t measured);
    // The clock position of `device` (the first frame kept, or one after it in the same delivery).
    std::uint64_t clockAt(std::uint64_t device) const {
        return m_anchorPosition + m_format.ticksFromFramesDown(device - m_anchorDevice);
    }

    // An engine whose frames carry no time (PulseAudio's) reports its sample clock instead: `framesSoFar`
    // of its frames had arrived by `now`. Frame 0's time is the earliest any arrival implies, as arrivals
    // are late, never early, so a backlog handed over late keeps the time it was captured at; it moves
    // later only when two windows in a row imply a later one (a slower sink clock, frames the server lost).
    void sampleClockArrived(std::uint64_t framesSoFar, std::int64_t now);
    // When frame `frame` of that sample clock was captured: what its frames are delivered at.
    std::int64_t sampleClockTime(std::uint64_t frame) const {
        return m_clockOrigin + static_cast<std::int64_t>(m_format.ticksFromFramesDown(frame));
    }
    // A new start of that clock: what it said before is forgotten.
    void restartSampleClock() { m_clockKnown = false; }

  private:
    StreamFormat m_format;
    std::uint64_t m_catchUpFrames;
    std::uint64_t m_device = 0;          // device position of the next frame delivered
    std::uint64_t m_anchorPosition = 0;  // clock position of device position m_anchorDevice; 0: none yet
    std::uint64_t m_anchorDevice = 0;
    std::uint64_t m_originPosition = 0;  // clock position of device position m_originDevice; 0: none yet
    std::uint64_t m_originDevice = 0;
    // The sample clock's frame 0, and the windows that may move it later.
    bool m_clockKnown = false;
    std::int64_t m_clockOrigin = 0;
    std::int64_t m_windowStart = 0;
    std::int64_t m_windowMin = 0;
    std::int64_t m_previousMin = 0;
};

}  // namespace stream
