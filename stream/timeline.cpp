#include "stream/timeline.h"

namespace stream {

Timeline::Timeline(std::uint64_t start, const StreamFormat& format)
    : m_format(format),
      m_toleratedFrames(format.framesFromMilliseconds(kBufferMilliseconds)),
      m_maxGapFrames(maxGapFrames(format)),
      m_reference(start),
      // Before the first packet there is no packet size to count in: the engine's usual period.
      m_packetFrames(static_cast<std::uint32_t>(format.framesFromMilliseconds(kPeriodMilliseconds))) {}

std::uint64_t Timeline::streamTime() const {
    return m_reference + m_format.ticksFromFramesDown(m_framesSinceReference);
}

void Timeline::restartAt(std::uint64_t time, std::uint64_t framesWritten) {
    m_reference = time;
    m_framesSinceReference = framesWritten;
}

void Timeline::follow(std::uint64_t position, std::uint64_t frames) {
    const std::uint64_t now = streamTime();
    const std::uint64_t distance = position > now ? position - now : now - position;
    if (distance > kFollowTicks) {
        restartAt(position, frames);
        return;
    }
    const std::uint64_t step = distance / kFollowShare;
    if (position > now) {
        m_reference += step;
    } else if (m_reference >= step) {
        m_reference -= step;
    }
    m_framesSinceReference += frames;
}

bool Timeline::judgeStamps(std::uint64_t position, std::uint64_t now) {
    if (m_stamps != Stamps::Unjudged) return m_stamps == Stamps::Trusted;
    const std::uint64_t off = position > now ? position - now : now - position;
    if (off <= kWrongBaseTicks) {
        m_stamps = Stamps::Trusted;
        return true;
    }
    if (++m_wrongBasePackets >= kWrongBasePackets) m_stamps = Stamps::WrongBase;
    return false;
}

std::uint64_t Timeline::framesBeforePacket(std::uint64_t devicePosition, std::uint64_t position,
                                           std::uint32_t frames, std::uint32_t flags,
                                           std::uint64_t counterNow) {
    m_lastZerosLost = false;
    if (frames == 0) return 0;  // an empty packet carries no time
    m_packetFrames = frames;
    const bool firstPacket = !m_sawPacket;
    m_sawPacket = true;
    // An engine without device positions gives 0, or one that stands still: neither ever continues.
    const bool deviceContinues = !firstPacket && devicePosition == m_nextDevicePosition;
    m_nextDevicePosition = devicePosition + frames;
    const bool quietBefore = m_quietBefore;
    m_quietBefore = false;
    // No timestamp: the packet follows on from the last one.
    if (position == 0 || (flags & kFlagTimestampError) != 0) {
        m_framesSinceReference += frames;
        return 0;
    }
    if (!judgeStamps(position, counterNow)) {
        // Stamps on a wrong base: the packet follows on from the last one, except after quiet filled by the
        // counter, where it stands no earlier than the counter shows: handed out at most its own length and
        // the tolerance after its first frame.
        std::uint64_t zeros = 0;
        const std::uint64_t handedOutWithin =
            m_format.ticksFromFramesDown(std::uint64_t{frames} + m_toleratedFrames);
        const std::uint64_t written = streamTime();
        if (quietBefore && counterNow > handedOutWithin && counterNow - handedOutWithin > written) {
            zeros = m_format.framesFromTicksDown(counterNow - handedOutWithin - written) / frames * frames;
            if (zeros > m_maxGapFrames) zeros = 0;
        }
        m_framesSinceReference += zeros + frames;
        return zeros;
    }
    const std::uint64_t wasAhead = m_aheadTicks;
    m_aheadTicks = 0;
    const std::uint64_t now = streamTime();
    const std::uint64_t distance = position > now ? position - now : now - position;
    if (distance > kMaxGapTicks) {
        // A stamp that jumped. On a device clock that runs on it is not followed; else the count starts
        // again.
        if (deviceContinues) {
            m_framesSinceReference += frames;
        } else {
            restartAt(position, frames);
        }
        return 0;
    }
    if (deviceContinues) {
        follow(position, frames);
        return 0;
    }
    std::uint64_t gapPackets = 0;
    if (position > now) gapPackets = (m_format.framesFromTicksNearest(position - now) + frames / 2) / frames;
    bool gap;
    if ((flags & kFlagDiscontinuity) != 0) {
        // The engine says audio is missing; the stamp must still lie beyond its own wander.
        gap = position > now && position - now > kFollowTicks;
        if (gap && gapPackets == 0) gapPackets = 1;
        m_lastZerosLost = gap;
    } else {
        const std::uint64_t toleratedPackets =
            m_toleratedFrames / frames > kToleratedPackets ? m_toleratedFrames / frames : kToleratedPackets;
        gap = gapPackets > toleratedPackets;
        const std::uint64_t packetTicks = m_format.ticksFromFramesDown(frames);
        if (!gap && wasAhead != 0 && position > now && position - now > packetTicks / 4) {
            // Still ahead after a packet that was: packets were lost if the two leads come to a whole packet,
            // less the stamps' wander, on average. One stamp out of line, and the next back in line, does
            // not.
            const std::uint64_t lead = (wasAhead + (position - now)) / 2;
            gapPackets = (m_format.framesFromTicksNearest(lead) + frames / 2) / frames;
            gap = gapPackets > 0 && lead + kStampWanderTicks >= packetTicks;
            m_lastZerosLost = gap;
        } else if (!gap && gapPackets > 0 && !firstPacket && packetTicks >= kLeadPacketTicks) {
            // Ahead once: written as it is, against the stream's time as it was, so that the next packet
            // shows which.
            m_aheadTicks = position - now;
            m_framesSinceReference += frames;
            return 0;
        }
    }
    if (!gap) {
        // Early, overlapping or jittered: written as it is. The first packet is the reference from now on,
        // so the engine's own grid of packets is what later gaps are measured against.
        if (firstPacket) {
            restartAt(position, frames);
        } else {
            follow(position, frames);
        }
        return 0;
    }
    const std::uint64_t zeros = gapPackets * frames;
    m_framesSinceReference += zeros;
    follow(position, frames);
    return zeros;
}

std::uint64_t Timeline::framesWhileQuiet(std::uint64_t now) {
    m_quietBefore = true;
    if (now <= kQuietMarginTicks) return 0;
    const std::uint64_t target = now - kQuietMarginTicks;
    const std::uint64_t written = streamTime();
    if (target <= written) return 0;
    if (target - written > kMaxGapTicks) {
        restartAt(target, 0);
        return 0;
    }
    // Whole packets, so the stream stays on the engine's grid for the packet that ends the silence.
    const std::uint64_t zeros =
        m_format.framesFromTicksDown(target - written) / m_packetFrames * m_packetFrames;
    m_framesSinceReference += zeros;
    return zeros;
}

}  // namespace stream
