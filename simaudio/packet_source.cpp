#include "simaudio/packet_source.h"

#include <cmath>
#include <cstring>

namespace simaudio {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kToneHz = 440.0;
constexpr double kToneAmplitude = 0.25;
constexpr double kSampleRate = 48000.0;
constexpr std::uint64_t kToneCycleFrames = 1200;  // 440 Hz repeats exactly every 11 cycles = 1200 frames

}  // namespace

PacketSource::PacketSource(const Scenario& scenario) : m_scenario(scenario), m_toneCycle(kToneCycleFrames) {
    for (std::uint64_t i = 0; i < kToneCycleFrames; ++i) {
        const double t = static_cast<double>(i) / kSampleRate;
        m_toneCycle[i] = static_cast<float>(kToneAmplitude * std::sin(kTwoPi * kToneHz * t));
    }
}

Packet PacketSource::next() {
    const std::uint64_t number = ++m_produced;
    Packet packet{number, m_nextFrame, m_scenario.frames, 0};
    if (number == m_scenario.zeroPacketAt) packet.frames = 0;
    const bool silent = m_scenario.source == Source::Silence ||
                        (m_scenario.silentEvery != 0 && number % m_scenario.silentEvery == 0);
    if (silent) packet.flags |= AUDCLNT_BUFFERFLAGS_SILENT;
    if (number == m_scenario.discontinuityAt) packet.flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    m_nextFrame += packet.frames;
    return packet;
}

void PacketSource::render(const Packet& packet, std::vector<float>& samples) const {
    const std::size_t count = std::size_t{packet.frames} * 2;
    if (samples.size() < count) samples.resize(count);
    if ((packet.flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
        std::memset(samples.data(), 0xA5, count * sizeof(float));
        return;
    }
    for (std::uint32_t i = 0; i < packet.frames; ++i) {
        const std::uint64_t frame = packet.firstFrame + i;
        float value;
        if (m_scenario.source == Source::Ramp) {
            value = rampValue(frame);
            samples[2 * i] = value;
            samples[2 * i + 1] = -value;
            continue;
        }
        value = m_toneCycle[frame % kToneCycleFrames];
        samples[2 * i] = value;
        samples[2 * i + 1] = value;
    }
}

}  // namespace simaudio
