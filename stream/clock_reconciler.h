// Where each delivery of frames lies in time. Positions follow the frames delivered (the engine's sample
// clock): they continue exactly while audio is continuous, and jump forward by exactly the frames missing
// when the measured clock moved ahead of them (a graph that stalled or was suspended). A delivery that is
// only late keeps its place on the sample clock, so lateness never reads as lost time, and frames that ran
// ahead of the clock lose their leading silence until they are on time again. An engine that gives no time
// of its own (PulseAudio) stamps its frames by a ClockOrigin. All times are 100 ns units.
#pragma once

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
static_assert(kCatchUpMilliseconds * kTicksPerSecond / 1000 > kStampWanderTicks,
              "a lead within the stamps' wander is no lead");
// How long arrivals must imply a later frame 0, twice in a row, before it moves: a backlog's burst (the
// helper was stopped) arrives at once, within one window, while frames the server lost are followed after
// two to four seconds. A move is a jump of the stamps, which the reconciler follows past kRealignTicks.
constexpr std::int64_t kOriginWindowTicks = 2 * static_cast<std::int64_t>(kTicksPerSecond);

class ClockReconciler {
  public:
    explicit ClockReconciler(const StreamFormat& format = kDefaultFormat);

    struct Placement {
        std::uint64_t device = 0;    // device position of the first frame kept
        std::uint64_t position = 0;  // clock position of the first frame kept
        std::uint32_t skipped = 0;   // leading frames left out (silence ahead of the clock)
        bool breaks = false;         // the frames do not continue those before, on either clock
        bool missing = false;        // ... and audio is missing before them: the device position skips it
    };
    // `frameCount` interleaved frames whose first was measured at `measured`; they count as delivered.
    Placement deliver(const float* frames, std::uint32_t frameCount, std::uint64_t measured);
    // The clock position of `device`, a device position handed out since the last break.
    std::uint64_t clockAt(std::uint64_t device) const;

  private:
    void catchUp(const float* frames, std::uint32_t frameCount, std::uint64_t measured, Placement& out);

    StreamFormat m_format;
    std::uint64_t m_catchUpFrames;
    std::uint64_t m_device = 0;          // device position of the next frame delivered
    std::uint64_t m_anchorPosition = 0;  // clock position of device position m_anchorDevice; 0: none yet
    std::uint64_t m_anchorDevice = 0;
    std::uint64_t m_originPosition = 0;  // clock position of device position m_originDevice; 0: none yet
    std::uint64_t m_originDevice = 0;
};

// The time of frame 0 of a sample clock whose frames carry no time, from when they arrive. Every frame is
// stamped with the time it was captured: the time of frame 0 plus the frames before it, so a backlog
// handed over late keeps the time it was captured at instead of the time it arrived. Frame 0's time is the
// earliest any arrival implies, as arrivals are late, never early; it moves later (a sink clock slower
// than ours, frames the server lost) only when two windows in a row implied a later one.
class ClockOrigin {
  public:
    explicit ClockOrigin(const StreamFormat& format = kDefaultFormat) : m_format(format) {}

    // Starts again, counting frames of `format`.
    void reset(const StreamFormat& format);
    // `framesSoFar` frames of the clock had arrived by `now`.
    void arrived(std::uint64_t framesSoFar, std::int64_t now);
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
