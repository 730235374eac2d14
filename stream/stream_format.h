// The stream's formats (the default one, and any other a parent asks for) and the clock every position
// is counted on: all frame and time arithmetic lives here. Both builds, the reader and the tools include
// this, so it holds no platform types.
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
constexpr std::uint64_t kTicksPerMillisecond = kTicksPerSecond / 1000;

// The engine's period, a packet every 10 ms (Windows' shared-mode engine's; the other engines keep it), and
// the buffer the program asks the engine for: two periods.
constexpr std::uint64_t kPeriodMilliseconds = 10;
constexpr std::uint64_t kBufferMilliseconds = 2 * kPeriodMilliseconds;

// 100 ns units from a performance counter reading and its frequency, without overflow for any counter.
constexpr std::uint64_t ticksFromCounter(std::int64_t counter, std::int64_t frequency) {
    if (counter <= 0 || frequency <= 0) return 0;
    const auto count = static_cast<std::uint64_t>(counter);
    const auto hertz = static_cast<std::uint64_t>(frequency);
    return count / hertz * kTicksPerSecond + count % hertz * kTicksPerSecond / hertz;
}

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

// A stream format chosen at run time: 32-bit float samples at `rate` frames a second, `channels` each.
// Every frame and time rule works in it; none may assume 48000 or 2.
class StreamFormat {
  public:
    constexpr StreamFormat(std::uint32_t rate, std::uint32_t channels)
        : m_rate(rate),
          m_channels(channels),
          m_framesPerStep(rate / detail::gcd(rate, kTicksPerSecond)),
          m_ticksPerStep(kTicksPerSecond / detail::gcd(rate, kTicksPerSecond)) {}

    constexpr std::uint32_t rate() const { return m_rate; }
    constexpr std::uint32_t channels() const { return m_channels; }
    constexpr std::uint32_t frameBytes() const { return m_channels * kBitsPerSample / 8; }
    constexpr std::uint32_t bytesPerSecond() const { return m_rate * frameBytes(); }
    // The whole frames in `milliseconds` (22.05 frames a millisecond at 22050 Hz: never a per-millisecond
    // count times milliseconds).
    constexpr std::uint64_t framesFromMilliseconds(std::uint64_t milliseconds) const {
        return milliseconds * m_rate / 1000;
    }

    // The time `frames` frames last, rounded down to a whole tick.
    constexpr std::uint64_t ticksFromFramesDown(std::uint64_t frames) const {
        return frames / m_framesPerStep * m_ticksPerStep +
               frames % m_framesPerStep * m_ticksPerStep / m_framesPerStep;
    }
    // The whole frames that fit in `ticks`.
    constexpr std::uint64_t framesFromTicksDown(std::uint64_t ticks) const {
        return ticks / m_ticksPerStep * m_framesPerStep +
               ticks % m_ticksPerStep * m_framesPerStep / m_ticksPerStep;
    }
    // The frames nearest to `ticks` (a gap measured by timestamps that jitter either way).
    constexpr std::uint64_t framesFromTicksNearest(std::uint64_t ticks) const {
        return ticks / m_ticksPerStep * m_framesPerStep +
               (ticks % m_ticksPerStep * m_framesPerStep + m_ticksPerStep / 2) / m_ticksPerStep;
    }

    constexpr bool operator==(const StreamFormat& other) const {
        return m_rate == other.m_rate && m_channels == other.m_channels;
    }
    constexpr bool operator!=(const StreamFormat& other) const { return !(*this == other); }

  private:
    // The rate as a reduced fraction of the tick rate, so conversions stay exact and multiply only by
    // small numbers: no overflow until the result itself would overflow.
    std::uint32_t m_rate;
    std::uint32_t m_channels;
    std::uint64_t m_framesPerStep;
    std::uint64_t m_ticksPerStep;
};

// What a call without options gets.
constexpr StreamFormat kDefaultFormat{kSampleRate, kChannels};
static_assert(kDefaultFormat.frameBytes() == kFrameBytes &&
                  kDefaultFormat.bytesPerSecond() == kBytesPerSecond,
              "the default format is the constants above");
static_assert(StreamFormat(22050, 1).ticksFromFramesDown(22050) == kTicksPerSecond &&
                  StreamFormat(44100, 2).framesFromTicksDown(kTicksPerSecond) == 44100,
              "whole seconds convert exactly at every rate");

}  // namespace stream
