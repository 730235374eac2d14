#include "level_stats.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace lbas2wav {

void ChannelLevels::Add(float sample) {
    ++samples;
    const double v = static_cast<double>(sample);
    if (std::isnan(v)) {
        ++nan_samples;
        return;
    }
    peak = std::fmax(peak, std::fabs(v));
    sum_squares += v * v;
    if (v == 0.0) ++zero_samples;
}

double ChannelLevels::Peak() const {
    return samples > 0 && nan_samples == samples ? std::numeric_limits<double>::quiet_NaN() : peak;
}

double ChannelLevels::Rms() const {
    const std::uint64_t numbers = samples - nan_samples;
    if (numbers == 0) return samples == 0 ? 0.0 : std::numeric_limits<double>::quiet_NaN();
    return std::sqrt(sum_squares / static_cast<double>(numbers));
}

double ChannelLevels::SilenceShare() const {
    return samples == 0 ? 0.0 : static_cast<double>(zero_samples) / static_cast<double>(samples);
}

double ChannelLevels::NanShare() const {
    return samples == 0 ? 0.0 : static_cast<double>(nan_samples) / static_cast<double>(samples);
}

void LevelStats::Add(const lbas::Frame* frames, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        channel[0].Add(frames[i].left);
        channel[1].Add(frames[i].right);
    }
}

double ToDbfs(double amplitude) {
    if (amplitude <= 0.0) return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(amplitude);
}

std::string FormatDbfs(double amplitude) {
    if (std::isnan(amplitude)) return "NaN";
    const double db = ToDbfs(amplitude);
    if (std::isinf(db)) return db < 0 ? "-inf dBFS" : "+inf dBFS";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f dBFS", db);
    return text;
}

}  // namespace lbas2wav
