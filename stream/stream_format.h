// The one format the helper asks for, captures and writes, and the clock every position is counted on.
// Both builds, the reader and the tools include this, so it holds no platform types.
#pragma once

#include <cstdint>

namespace stream {

constexpr std::uint32_t kSampleRate = 48000;
constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kBitsPerSample = 32;  // IEEE float
constexpr std::uint32_t kFrameBytes = kChannels * kBitsPerSample / 8;
constexpr std::uint32_t kBytesPerSecond = kSampleRate * kFrameBytes;
constexpr std::uint32_t kFramesPerMillisecond = kSampleRate / 1000;

// Positions are performance-counter times in 100 ns units, the unit GetBuffer gives them in.
constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kNanosecondsPerTick = 1000000000 / kTicksPerSecond;

namespace detail {
// The rate as a reduced fraction of the tick rate, so conversions stay exact and multiply only by small
// numbers: no overflow until the result itself would overflow.
constexpr std::uint64_t gcd(std::uint64_t a, std::uint64_t b) { return b == 0 ? a : gcd(b, a % b); }
constexpr std::uint64_t kFramesPerStep = kSampleRate / gcd(kSampleRate, kTicksPerSecond);
constexpr std::uint64_t kTicksPerStep = kTicksPerSecond / gcd(kSampleRate, kTicksPerSecond);
}  // namespace detail

// The time `frames` frames last, rounded down to a whole tick.
constexpr std::uint64_t ticksFromFramesDown(std::uint64_t frames) {
    using namespace detail;
    return frames / kFramesPerStep * kTicksPerStep + frames % kFramesPerStep * kTicksPerStep / kFramesPerStep;
}

// The whole frames that fit in `ticks`.
constexpr std::uint64_t framesFromTicksDown(std::uint64_t ticks) {
    using namespace detail;
    return ticks / kTicksPerStep * kFramesPerStep + ticks % kTicksPerStep * kFramesPerStep / kTicksPerStep;
}

// The frames nearest to `ticks` (a gap measured by timestamps that jitter either way).
constexpr std::uint64_t framesFromTicksNearest(std::uint64_t ticks) {
    using namespace detail;
    return ticks / kTicksPerStep * kFramesPerStep +
           (ticks % kTicksPerStep * kFramesPerStep + kTicksPerStep / 2) / kTicksPerStep;
}

}  // namespace stream
