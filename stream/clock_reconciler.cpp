#include "stream/clock_reconciler.h"

namespace stream {

ClockReconciler::Placement ClockReconciler::deliver(const float* frames, std::uint32_t frameCount,
                                                    std::uint64_t measured) {
    Placement out;
    if (m_originPosition == 0) {
        m_originPosition = measured;
        m_originDevice = m_device;
    }
    // Frames ahead of the clock since the start (a graph whose cycles ran faster than time, as on a quantum
    // change): silence is left out until the stream is back on time; sound never is. Half of a delivery at
    // most, so the reader still gets packets and does not take the time for quiet.
    const std::uint64_t onTime =
        m_originDevice +
        (measured > m_originPosition ? m_format.framesFromTicksNearest(measured - m_originPosition) : 0);
    if (m_device > onTime + m_catchUpFrames) {
        const std::uint64_t limit = std::min<std::uint64_t>(frameCount / 2, m_device - onTime);
        const std::size_t channels = m_format.channels();
        while (out.skipped < limit &&
               std::all_of(frames + out.skipped * channels, frames + (out.skipped + 1) * channels,
                           [](float sample) { return sample == 0.0f; }))
            ++out.skipped;
        // What follows is stamped with the clock as measured.
        if (out.skipped > 0) {
            m_anchorPosition = measured + m_format.ticksFromFramesDown(out.skipped);
            m_anchorDevice = m_device;
        }
    }
    const std::uint64_t first = measured + m_format.ticksFromFramesDown(out.skipped);
    const std::uint64_t expected = clockAt(m_device);
    const std::uint64_t distance = first > expected ? first - expected : expected - first;
    if (m_anchorPosition == 0 || distance > kRealignTicks) {
        if (m_anchorPosition != 0) {
            out.breaks = true;
            // A clock ahead of the frames means audio the engine did not deliver: the device position skips
            // it, so the reader places what follows exactly.
            if (first > expected) {
                m_device += m_format.framesFromTicksNearest(distance);
                out.missing = true;
            }
        }
        m_anchorPosition = first;
        m_anchorDevice = m_device;
    }
    out.device = m_device;
    m_device += frameCount - out.skipped;
    return out;
}

void ClockReconciler::sampleClockArrived(std::uint64_t framesSoFar, std::int64_t now) {
    const std::int64_t candidate = now - static_cast<std::int64_t>(m_format.ticksFromFramesDown(framesSoFar));
    if (!m_clockKnown) {
        m_clockKnown = true;
        m_clockOrigin = m_windowMin = m_previousMin = candidate;
        m_windowStart = now;
        return;
    }
    m_clockOrigin = std::min(m_clockOrigin, candidate);
    m_windowMin = std::min(m_windowMin, candidate);
    if (now - m_windowStart >= kOriginWindowTicks) {
        if (m_windowMin > m_clockOrigin && m_previousMin > m_clockOrigin)
            m_clockOrigin = std::min(m_windowMin, m_previousMin);
        m_previousMin = m_windowMin;
        m_windowMin = candidate;
        m_windowStart = now;
    }
}

}  // namespace stream
