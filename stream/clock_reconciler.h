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

  private:
    StreamFormat m_format;
    std::uint64_t m_catchUpFrames;
    std::uint64_t m_device = 0;          // device position of the next frame delivered
    std::uint64_t m_anchorPosition = 0;  // clock position of device position m_anchorDevice; 0: none yet
    std::uint64_t m_anchorDevice = 0;
    std::uint64_t m_originPosition = 0;  // clock position of device position m_originDevice; 0: none yet
    std::uint64_t m_originDevice = 0;
};

// The time of frame 0 of a sample clock whose frames carry no time (PulseAudio's), so that a backlog handed
// over late keeps the time it was captured at: the earliest any arrival implies, as arrivals are late, never
// early, until two windows in a row imply a later one (a slower sink clock, frames the server lost).
class ClockOrigin {
  public:
    explicit ClockOrigin(const StreamFormat& format = kDefaultFormat) : m_format(format) {}
    // `framesSoFar` frames of the clock had arrived by `now`.
    void arrived(std::uint64_t framesSoFar, std::int64_t now) {
        const std::int64_t candidate =
            now - static_cast<std::int64_t>(m_format.ticksFromFramesDown(framesSoFar));
        if (!m_known) {
            m_known = true;
            m_origin = m_windowMin = m_previousMin = candidate;
            m_windowStart = now;
            return;
        }
        m_origin = std::min(m_origin, candidate);
        m_windowMin = std::min(m_windowMin, candidate);
        if (now - m_windowStart >= kOriginWindowTicks) {
            if (m_windowMin > m_origin && m_previousMin > m_origin)
                m_origin = std::min(m_windowMin, m_previousMin);
            m_previousMin = m_windowMin;
            m_windowMin = candidate;
            m_windowStart = now;
        }
    }
    // The time `frame` of the clock was captured.
    std::int64_t timeOf(std::uint64_t frame) const {
        return m_origin + static_cast<std::int64_t>(m_format.ticksFromFramesDown(frame));
    }

  private:
    StreamFormat m_format;
    bool m_known = false;
    std::int64_t m_origin = 0;
    std::int64_t m_windowStart = 0;
    std::int64_t m_windowMin = 0;
    std::int64_t m_previousMin = 0;
};

}  // namespace stream
