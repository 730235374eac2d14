// The PulseAudio engine's timeline: streams recorded separately, mixed on one sink monitor's clock.
#include <gtest/gtest.h>

#include <vector>

#include "pulse/stream_mixer.h"

namespace {

using pulse::StreamMixer;

constexpr std::size_t kCushion = 960;
constexpr std::size_t kAhead = 1920;
constexpr std::size_t kCapacity = 24000;
constexpr std::size_t kTick = 480;

// Stereo frames whose left sample counts up from `first` (a ramp shows every lost or repeated frame),
// the right one its negative.
std::vector<float> ramp(float first, std::size_t frames) {
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = first + static_cast<float>(i);
        samples[2 * i + 1] = -(first + static_cast<float>(i));
    }
    return samples;
}

// Mixes one clock tick and returns the left channel.
std::vector<float> tick(StreamMixer& mixer, std::size_t frames = kTick) {
    std::vector<float> out(frames * 2, 123.0f);
    EXPECT_EQ(mixer.mixClockFrames(frames, out.data()), frames);
    std::vector<float> left(frames);
    for (std::size_t i = 0; i < frames; ++i) left[i] = out[2 * i];
    return left;
}

// Left samples: the silent cushion first, then the ramp 1, 2, 3, ... without a gap.
void expectCushionThenRamp(const std::vector<float>& left, std::size_t cushion) {
    for (std::size_t i = 0; i < left.size(); ++i) {
        const float expected = i < cushion ? 0.0f : static_cast<float>(i - cushion + 1);
        ASSERT_EQ(left[i], expected) << "frame " << i;
    }
}

// A stream's deliveries may come just before or just after the clock's, or in other sizes: its audio
// comes out whole, behind the cushion, one output frame per clock frame.
TEST(StreamMixer, StreamComesOutWholeBehindTheCushionWhateverTheDeliveryOrder) {
    struct Case {
        const char* name;
        std::size_t streamChunk;
        bool streamFirst;
    };
    const Case cases[] = {
        {"stream before clock", kTick, true},
        {"stream after clock", kTick, false},
        {"stream in 441-frame pieces", 441, true},
        {"stream in 960-frame pieces", 960, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamMixer mixer(kCushion, kAhead, kCapacity);
        mixer.addStream(7);
        std::vector<float> heard;
        float next = 1.0f;
        std::size_t delivered = 0;  // frames the stream had at the clock's pace
        for (int t = 0; t < 50; ++t) {
            const auto deliver = [&] {
                while (delivered < static_cast<std::size_t>(t + 1) * kTick) {
                    const auto chunk = ramp(next, c.streamChunk);
                    mixer.pushStream(7, chunk.data(), c.streamChunk);
                    next += static_cast<float>(c.streamChunk);
                    delivered += c.streamChunk;
                }
            };
            if (c.streamFirst) deliver();
            const auto left = tick(mixer);
            heard.insert(heard.end(), left.begin(), left.end());
            if (!c.streamFirst) deliver();
        }
        ASSERT_EQ(heard.size(), 50 * kTick);
        expectCushionThenRamp(heard, c.streamFirst ? kCushion : kCushion + kTick);
    }
}

TEST(StreamMixer, StreamsAddUpAndRightChannelKeepsItsOwnSamples) {
    StreamMixer mixer(kCushion, kAhead, kCapacity);
    mixer.addStream(1);
    mixer.addStream(2);
    const auto a = ramp(1.0f, 2 * kCushion);
    const auto b = ramp(1000.0f, 2 * kCushion);
    mixer.pushStream(1, a.data(), 2 * kCushion);
    mixer.pushStream(2, b.data(), 2 * kCushion);
    std::vector<float> out(2 * kCushion * 2);
    mixer.mixClockFrames(2 * kCushion, out.data());
    for (std::size_t i = kCushion; i < 2 * kCushion; ++i) {
        const float sum = a[2 * (i - kCushion)] + b[2 * (i - kCushion)];
        ASSERT_EQ(out[2 * i], sum);
        ASSERT_EQ(out[2 * i + 1], -sum);
    }
}

// Short: the missing part is zeros and time goes on; the stream resumes behind a new cushion and loses
// nothing. Ahead: it is trimmed back to the cushion, oldest first.
TEST(StreamMixer, ShortStreamIsZeroFilledAndOneRunningAheadIsTrimmed) {
    StreamMixer mixer(kCushion, kAhead, kCapacity);
    mixer.addStream(3);
    const auto first = ramp(1.0f, 100);
    mixer.pushStream(3, first.data(), 100);
    auto left = tick(mixer, kCushion + 300);
    expectCushionThenRamp(std::vector<float>(left.begin(), left.begin() + kCushion + 100), kCushion);
    for (std::size_t i = kCushion + 100; i < left.size(); ++i) ASSERT_EQ(left[i], 0.0f);
    EXPECT_EQ(mixer.queuedFrames(3), 0u);

    const auto more = ramp(101.0f, kCushion + kAhead + 500);
    mixer.pushStream(3, more.data(), more.size() / 2);  // new cushion + far more than the clock took
    left = tick(mixer, kTick);
    for (float sample : left) ASSERT_EQ(sample, 0.0f);  // the new cushion
    EXPECT_EQ(mixer.queuedFrames(3), kCushion);         // trimmed, oldest first
    left = tick(mixer, kTick);
    const float newest = 101.0f + static_cast<float>(more.size() / 2) - 1;
    EXPECT_EQ(left[0], newest - static_cast<float>(kCushion) + 1);
}

TEST(StreamMixer, HoleKeepsTimeAndReaddingKeepsTheQueueAndRemovedStreamIsSilent) {
    StreamMixer mixer(kCushion, kAhead, kCapacity);
    mixer.addStream(4);
    const auto a = ramp(1.0f, 100);
    mixer.pushStream(4, a.data(), 100);
    mixer.pushStreamSilence(4, 50);
    const auto b = ramp(151.0f, 100);
    mixer.pushStream(4, b.data(), 100);
    mixer.addStream(4);  // a reopen after a move: same stream, same queue
    EXPECT_EQ(mixer.queuedFrames(4), kCushion + 250);
    const auto left = tick(mixer, kCushion + 250);
    for (std::size_t i = 0; i < 250; ++i) {
        const float expected = (i >= 100 && i < 150) ? 0.0f : static_cast<float>(i + 1);
        ASSERT_EQ(left[kCushion + i], expected) << i;
    }
}

// A reopened recording (after a move) goes on behind what is still queued, topped up with silence to the
// cushion; what was queued plays on meanwhile.
TEST(StreamMixer, ResumedStreamIsToppedUpToItsCushion) {
    StreamMixer mixer(kCushion, kAhead, kCapacity);
    mixer.addStream(6);
    const auto a = ramp(1.0f, kTick);
    mixer.pushStream(6, a.data(), kTick);
    expectCushionThenRamp(tick(mixer, kCushion + 100), kCushion);  // 380 frames left
    mixer.resumeStream(6);
    const auto b = ramp(5000.0f, kTick);
    mixer.pushStream(6, b.data(), kTick);
    EXPECT_EQ(mixer.queuedFrames(6), kCushion + kTick);
    const auto left = tick(mixer, kCushion + kTick);
    for (std::size_t i = 0; i < kCushion + kTick; ++i) {
        const float expected = i < 380        ? static_cast<float>(101 + i)
                               : i < kCushion ? 0.0f
                                              : static_cast<float>(5000 + i - kCushion);
        ASSERT_EQ(left[i], expected) << i;
    }
}

// A stream that ends still plays out what it queued (its last cushion), then leaves the mix.
TEST(StreamMixer, EndedStreamPlaysOutItsQueueThenLeaves) {
    StreamMixer mixer(kCushion, kAhead, kCapacity);
    mixer.addStream(5);
    const auto a = ramp(1.0f, 100);
    mixer.pushStream(5, a.data(), 100);
    mixer.removeStream(5);
    EXPECT_FALSE(mixer.hasStream(5));
    EXPECT_EQ(mixer.streamCount(), 0u);
    mixer.pushStream(5, a.data(), 100);  // nothing new is taken
    expectCushionThenRamp(tick(mixer, kCushion + 100), kCushion);
    for (float sample : tick(mixer, 2000)) ASSERT_EQ(sample, 0.0f);
    EXPECT_EQ(mixer.queuedFrames(5), 0u);
}

}  // namespace
