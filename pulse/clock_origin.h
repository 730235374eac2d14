// The clock's sample clock against CLOCK_MONOTONIC. Every frame is stamped with the time it was captured:
// the time of frame 0 plus the frames before it, so a backlog handed over late (the helper was stopped,
// the machine is loaded) keeps the time it was captured at instead of the time it arrived.
#pragma once

#include <algorithm>
#include <cstdint>

#include "stream/stream_format.h"

namespace pulse {

// The time of frame 0 is the earliest any frame's arrival implies: arrivals are late, never early. It
// moves later (a sink clock slower than ours, frames the server lost) only when two windows in a row
// implied a later one, which the single burst of a backlog cannot do.
class ClockOrigin {
  public:
    explicit ClockOrigin(std::int64_t windowTicks = 2 * static_cast<std::int64_t>(stream::kTicksPerSecond),
                         stream::StreamFormat format = stream::kDefaultFormat)
        : m_window(windowTicks), m_format(format) {}

    // Starts again, counting frames of `format`.
    void reset(stream::StreamFormat format) {
        m_format = format;
        m_known = false;
    }
    // framesSoFar frames of the clock had arrived by `now`; returns the time of frame 0.
    std::int64_t arrived(std::uint64_t framesSoFar, std::int64_t now) {
        const std::int64_t candidate =
            now - static_cast<std::int64_t>(m_format.ticksFromFramesDown(framesSoFar));
        if (!m_known) {
            m_known = true;
            m_origin = m_windowMin = m_previousMin = candidate;
            m_windowStart = now;
            return m_origin;
        }
        m_origin = std::min(m_origin, candidate);
        m_windowMin = std::min(m_windowMin, candidate);
        if (now - m_windowStart >= m_window) {
            if (m_windowMin > m_origin && m_previousMin > m_origin)
                m_origin = std::min(m_windowMin, m_previousMin);
            m_previousMin = m_windowMin;
            m_windowMin = candidate;
            m_windowStart = now;
        }
        return m_origin;
    }
    std::int64_t origin() const { return m_origin; }

  private:
    std::int64_t m_window;
    stream::StreamFormat m_format;
    bool m_known = false;
    std::int64_t m_origin = 0;
    std::int64_t m_windowStart = 0;
    std::int64_t m_windowMin = 0;
    std::int64_t m_previousMin = 0;
};

}  // namespace pulse
