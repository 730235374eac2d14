#include "simaudio/packet_source.h"

#include <cmath>
#include <cstring>

#include "stream/stream_format.h"

namespace simaudio {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kToneHz = 440.0;
constexpr double kToneAmplitude = 0.25;
constexpr std::uint64_t kToneWholeHz = 440;

constexpr std::uint64_t gcd(std::uint64_t a, std::uint64_t b) { return b == 0 ? a : gcd(b, a % b); }

}  // namespace

PacketSource::PacketSource(const Scenario& scenario) : m_scenario(scenario) { formatChanged(); }

void PacketSource::formatChanged() {
    // The tone repeats exactly after rate / gcd(rate, 440) frames (1200 at 48 kHz: 11 cycles).
    const std::uint64_t rate = m_scenario.format.rate();
    const std::uint64_t cycleFrames = rate / gcd(rate, kToneWholeHz);
    m_toneCycle.assign(cycleFrames, 0.0f);
    for (std::uint64_t i = 0; i < cycleFrames; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(rate);
        m_toneCycle[i] = static_cast<float>(kToneAmplitude * std::sin(kTwoPi * kToneHz * t));
    }
}

bool PacketSource::quiet(const Packet& packet) const {
    for (const Scenario::Loss& loss : m_scenario.unflaggedLosses) {
        if (packet.number > loss.after && packet.number - loss.after <= loss.count) return true;
    }
    for (const auto* stretches : {&m_scenario.quiet, &m_scenario.unheard}) {
        for (const Scenario::Quiet& stretch : *stretches) {
            const std::uint64_t from = m_scenario.format.framesFromMilliseconds(stretch.fromMs);
            if (packet.firstFrame >= from &&
                packet.firstFrame - from < m_scenario.format.framesFromMilliseconds(stretch.lengthMs))
                return true;
        }
    }
    return false;
}

Packet PacketSource::next(std::uint64_t start) {
    const std::uint64_t number = ++m_produced;
    const std::uint64_t elapsed = m_scenario.format.ticksFromFramesDown(m_nextFrame);
    const std::int64_t drift = static_cast<std::int64_t>(elapsed) / 1000000 * m_scenario.driftPpm +
                               static_cast<std::int64_t>(elapsed % 1000000) * m_scenario.driftPpm / 1000000;
    std::uint64_t position = start + elapsed + static_cast<std::uint64_t>(drift);
    if (m_scenario.stampOffsetMs != 0) {
        const std::uint64_t offset =
            static_cast<std::uint64_t>(m_scenario.stampOffsetMs < 0 ? -m_scenario.stampOffsetMs
                                                                    : m_scenario.stampOffsetMs) *
            stream::kTicksPerMillisecond;
        position =
            m_scenario.stampOffsetMs > 0 ? position + offset : (position > offset ? position - offset : 1);
    }
    if (m_scenario.jitterUs != 0) {
        // xorshift64: the same wander on every run
        m_jitterState ^= m_jitterState << 13;
        m_jitterState ^= m_jitterState >> 7;
        m_jitterState ^= m_jitterState << 17;
        const std::uint64_t span = std::uint64_t{m_scenario.jitterUs} * (stream::kTicksPerSecond / 1000000);
        const std::uint64_t offset = m_jitterState % (2 * span + 1);
        position = position + offset > span ? position + offset - span : 1;
    }
    constexpr std::uint64_t kDay = 86400 * stream::kTicksPerSecond;
    for (const Scenario::BadPositionAt& bad : m_scenario.badPositions) {
        if (bad.packet != number) continue;
        if (bad.kind == Scenario::BadPosition::Zero) position = 0;
        if (bad.kind == Scenario::BadPosition::DayBack) position = position > kDay ? position - kDay : 1;
        if (bad.kind == Scenario::BadPosition::DayAhead) position += kDay;
    }
    Packet packet{number, m_nextFrame, m_scenario.frames, 0, position};
    if (number == m_scenario.zeroPacketAt) packet.frames = 0;
    const bool silent = m_scenario.source == Source::Silence ||
                        (m_scenario.silentEvery != 0 && number % m_scenario.silentEvery == 0);
    if (silent) packet.flags |= AUDCLNT_BUFFERFLAGS_SILENT;
    if (number == m_scenario.discontinuityAt ||
        (m_scenario.discontinuityEvery != 0 && number % m_scenario.discontinuityEvery == 0))
        packet.flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    m_nextFrame += packet.frames;
    return packet;
}

void PacketSource::render(const Packet& packet, std::vector<float>& samples) const {
    const std::size_t channels = m_scenario.format.channels();
    const std::size_t count = std::size_t{packet.frames} * channels;
    if (samples.size() < count) samples.resize(count);
    if ((packet.flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
        std::memset(samples.data(), 0xA5, count * sizeof(float));
        return;
    }
    for (std::uint32_t i = 0; i < packet.frames; ++i) {
        const std::uint64_t frame = packet.firstFrame + i;
        float left;
        float right;
        if (m_scenario.source == Source::Ramp) {
            left = rampValue(frame);
            right = channels == 1 ? left : -left;
        } else {
            left = right = m_toneCycle[frame % m_toneCycle.size()];
        }
        if (channels == 1) {
            samples[i] = (left + right) / 2;
        } else {
            samples[2 * i] = left;
            samples[2 * i + 1] = right;
        }
    }
}

}  // namespace simaudio
