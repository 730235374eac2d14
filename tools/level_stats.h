// Running level statistics per channel: peak, RMS and share of digital silence (samples that
// are exactly zero, as the helper writes for silent packets).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "reader/lbas_reader.h"

namespace lbas2wav {

struct ChannelLevels {
    double peak = 0.0;         // largest |sample| among the numbers; NaNs are counted apart
    double sum_squares = 0.0;  // of the numbers, for RMS
    std::uint64_t zero_samples = 0;
    std::uint64_t nan_samples = 0;
    std::uint64_t samples = 0;

    void Add(float sample);
    double Peak() const;          // NaN when every sample was NaN
    double Rms() const;           // over the numbers; NaN when every sample was NaN
    double SilenceShare() const;  // 0..1; 0 when there are no samples
    double NanShare() const;      // 0..1; 0 when there are no samples
};

struct LevelStats {
    ChannelLevels channel[lbas::kChannels];

    void Add(const lbas::Frame* frames, std::size_t count);
};

// 20*log10(amplitude); -infinity for 0.
double ToDbfs(double amplitude);
// "-6.02 dBFS", "-inf dBFS", "NaN".
std::string FormatDbfs(double amplitude);

}  // namespace lbas2wav
