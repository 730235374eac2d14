#include "status/level_meter.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace status {

LevelMeter::LevelMeter(std::uint32_t channels, std::uint64_t blockFrames)
    : m_channels(channels),
      m_blockFrames(blockFrames == 0 ? 1 : blockFrames),
      m_peak(channels, 0.0f),
      m_squares(channels, 0.0),
      m_peakDb(channels, 0.0),
      m_rmsDb(channels, 0.0) {}

void LevelMeter::add(const unsigned char* data, std::uint64_t frames) {
    for (std::uint64_t frame = 0; frame < frames; ++frame) {
        for (std::uint32_t channel = 0; channel < m_channels; ++channel) {
            float sample;  // the engine's buffer need not be aligned for a float
            std::memcpy(&sample, data, sizeof sample);
            data += sizeof sample;
            const float magnitude = std::fabs(sample);
            if (magnitude > m_peak[channel]) m_peak[channel] = magnitude;
            if (magnitude > 0.0f) m_heard = true;
            m_squares[channel] += double{sample} * double{sample};
        }
    }
}

void LevelMeter::finish() {
    const double silence = -std::numeric_limits<double>::infinity();
    for (std::uint32_t channel = 0; channel < m_channels; ++channel) {
        const double peak = m_peak[channel];
        const double meanSquare = m_squares[channel] / static_cast<double>(m_blockFrames);
        m_peakDb[channel] = peak > 0 ? 20.0 * std::log10(peak) : silence;
        m_rmsDb[channel] = meanSquare > 0 ? 10.0 * std::log10(meanSquare) : silence;
        m_peak[channel] = 0.0f;
        m_squares[channel] = 0.0;
    }
}

}  // namespace status
