// The PulseAudio engine's timeline: streams recorded separately, mixed on one sink monitor's clock, and
// stamped with the clock's capture times (the ClockReconciler's sample clock, tested with the stream's
// clock).
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "pulse/stream_mixer.h"

namespace {

using pulse::MixerLimits;
using pulse::StreamMixer;

constexpr std::size_t kTick = 480;
constexpr std::int64_t kMs = 10000;  // 100 ns units

MixerLimits limits() {
    MixerLimits l;
    l.patienceFrames = 960;  // 20 ms
    l.maxPatienceFrames = 3840;
    l.minPatienceFrames = 480;
    l.shrinkEveryFrames = 48000;
    l.shrinkFrames = 48;
    l.aheadFrames = 1920;
    l.capacityFrames = 24000;
    return l;
}

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

// A mixer driven the way the engine drives it, collecting the left channel of everything mixed.
struct Rig {
    StreamMixer mixer{limits()};
    std::vector<float> left;
    std::int64_t now = 1000 * kMs;

    void drain() {
        std::vector<float> out(2 * 24000, 123.0f);
        while (const std::size_t frames = mixer.mix(out.data(), 24000, now)) {
            for (std::size_t i = 0; i < frames; ++i) left.push_back(out[2 * i]);
        }
    }
    void clock(std::size_t frames = kTick) {
        mixer.addClockFrames(frames, now);
        drain();
    }
    void push(std::uint32_t id, float first, std::size_t frames) {
        const auto samples = ramp(first, frames);
        mixer.pushStream(id, samples.data(), frames);
        drain();
    }
};

// Stream `id` is waited for `patience` after the clock frame it has no audio for arrived, and no longer:
// seen on a copy of the rig, caught up with the clock and then left without audio for a tick.
void expectPatience(const Rig& rig, std::uint32_t id, std::int64_t patience) {
    for (const std::int64_t late : {patience, patience + 1}) {
        Rig probe = rig;
        probe.push(id, 1.0f, probe.mixer.pendingClockFrames() + 1);
        std::size_t mixed = 0;
        do {
            mixed = probe.left.size();
            probe.clock();
        } while (probe.left.size() == mixed + kTick);
        mixed = probe.left.size();
        probe.now += late;
        probe.drain();
        EXPECT_EQ(probe.left.size() == mixed, late == patience) << "late " << late;
    }
}

// From frame `from` on, the ramp 1, 2, 3, ... without a gap; zeros before it.
void expectRampFrom(const std::vector<float>& left, std::size_t from, float first = 1.0f) {
    for (std::size_t i = 0; i < left.size(); ++i) {
        const float expected = i < from ? 0.0f : first + static_cast<float>(i - from);
        ASSERT_EQ(left[i], expected) << "frame " << i;
    }
}

// Whether a stream's delivery comes just before or just after the clock's, or in other sizes, a stream
// that keeps pace comes out whole: no zeros in it, one output frame per clock frame.
TEST(StreamMixer, StreamKeepingPaceComesOutWholeWhateverTheDeliveryOrder) {
    struct Case {
        const char* name;
        std::size_t chunk;
        bool streamFirst;
        std::size_t startsAt;  // a stream is aligned with the clock's newest frame when it starts
    };
    const Case cases[] = {
        {"stream before clock", kTick, true, 0},
        {"stream after clock", kTick, false, kTick},
        {"stream in 441-frame pieces", 441, true, 0},
        {"stream in 960-frame pieces, after", 960, false, kTick},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.mixer.addStream(7);
        float next = 1.0f;
        std::size_t delivered = 0;
        for (std::size_t t = 0; t < 50; ++t) {
            const auto deliver = [&] {
                while (delivered < (t + 1) * kTick) {
                    rig.push(7, next, c.chunk);
                    next += static_cast<float>(c.chunk);
                    delivered += c.chunk;
                }
            };
            if (c.streamFirst) deliver();
            rig.clock();
            rig.now += 10 * kMs;
            if (!c.streamFirst) deliver();
        }
        ASSERT_EQ(rig.left.size(), 50 * kTick);
        expectRampFrom(rig.left, c.startsAt);
        EXPECT_EQ(rig.mixer.dropouts(), 0u);
    }
}

// In any format the engine's tuning is time: a stream 30 ms late is waited for, one 50 ms late is not
// (40 ms of patience), and every channel of the format is mixed.
TEST(StreamMixer, PatienceIsTimeAndFramesHaveTheStreamsChannelsInAnyFormat) {
    for (const stream::StreamFormat format :
         {stream::StreamFormat(16000, 1), stream::StreamFormat(22050, 2), stream::StreamFormat(44100, 1)}) {
        for (const std::int64_t late : {30 * kMs, 50 * kMs}) {
            SCOPED_TRACE(testing::Message() << format.rate() << " Hz " << format.channels() << " ch, "
                                            << late / kMs << " ms late");
            const std::size_t tick = static_cast<std::size_t>(format.framesFromMilliseconds(10));
            const std::size_t channels = format.channels();
            StreamMixer mixer(MixerLimits::forFormat(format), format);
            mixer.addStream(3);
            std::vector<float> out(tick * channels * 10);
            std::vector<float> mixed;  // the first channel
            const auto drain = [&](std::int64_t now) {
                for (std::size_t frames; (frames = mixer.mix(out.data(), out.size() / channels, now)) > 0;) {
                    for (std::size_t i = 0; i < frames; ++i) {
                        mixed.push_back(out[i * channels]);
                        if (channels == 2) {
                            ASSERT_EQ(out[i * channels + 1], -out[i * channels]);
                        }
                    }
                }
            };
            float next = 1.0f;
            const auto push = [&](std::int64_t now) {
                std::vector<float> samples;
                for (std::size_t i = 0; i < tick; ++i, next += 1.0f) {
                    for (std::size_t c = 0; c < channels; ++c) samples.push_back(c == 0 ? next : -next);
                }
                mixer.pushStream(3, samples.data(), tick);
                drain(now);
            };
            push(0);
            // The clock every 10 ms; the stream's part of each tick `late` after it.
            std::int64_t nextClock = 10 * kMs, nextStream = 20 * kMs + late;
            for (int events = 0; events < 30; ++events) {
                if (nextClock <= nextStream) {
                    mixer.addClockFrames(tick, nextClock);
                    drain(nextClock);
                    nextClock += 10 * kMs;
                } else {
                    push(nextStream);
                    nextStream += 10 * kMs;
                }
            }
            const bool dropout = late > 40 * kMs;
            EXPECT_EQ(mixer.dropouts(), dropout ? 1u : 0u);
            if (!dropout) expectRampFrom(mixed, 0);
        }
    }
}

TEST(StreamMixer, StreamsAddUpAndRightChannelKeepsItsOwnSamples) {
    StreamMixer mixer(limits());
    mixer.addStream(1);
    mixer.addStream(2);
    const auto a = ramp(1.0f, 2 * kTick);
    const auto b = ramp(1000.0f, 2 * kTick);
    mixer.pushStream(1, a.data(), 2 * kTick);
    mixer.pushStream(2, b.data(), 2 * kTick);
    mixer.addClockFrames(2 * kTick, 0);
    std::vector<float> out(2 * kTick * 2);
    ASSERT_EQ(mixer.mix(out.data(), 2 * kTick, 0), 2 * kTick);
    for (std::size_t i = 0; i < 2 * kTick; ++i) {
        ASSERT_EQ(out[2 * i], a[2 * i] + b[2 * i]);
        ASSERT_EQ(out[2 * i + 1], -(a[2 * i] + b[2 * i]));
    }
}

// A playing stream's late delivery holds the mix back for as long as its patience (a time since the clock
// frame arrived); later than that, the rest is zeros, the stream is no longer waited for and its patience
// doubles. Steady for a while, the patience shrinks slowly, never below the least.
TEST(StreamMixer, LateStreamIsWaitedForWithinItsPatienceWhichGrowsOnAnUnderrunAndShrinksSlowly) {
    struct Case {
        std::int64_t late;  // how long after the clock's each stream delivery comes
        bool dropout;
    };
    const Case cases[] = {{5 * kMs, false}, {20 * kMs, false}, {30 * kMs, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.late);
        Rig rig;
        rig.mixer.addStream(9);
        rig.push(9, 1.0f, kTick);
        // The clock every 10 ms; the stream's part of each tick `late` after it (the clock first on a tie).
        std::int64_t nextClock = 10 * kMs, nextStream = 20 * kMs + c.late;
        float next = 1.0f + kTick;
        for (int events = 0; events < 40; ++events) {
            if (nextClock <= nextStream) {
                rig.now = 1000 * kMs + nextClock;
                rig.clock();
                nextClock += 10 * kMs;
            } else {
                rig.now = 1000 * kMs + nextStream;
                rig.push(9, next, kTick);
                next += kTick;
                nextStream += 10 * kMs;
            }
        }
        EXPECT_EQ(rig.mixer.dropouts(), c.dropout ? 1u : 0u);
        expectPatience(rig, 9, c.dropout ? 40 * kMs : 20 * kMs);
        if (c.dropout) {
            EXPECT_GT(std::count(rig.left.begin(), rig.left.end(), 0.0f), 0);
        } else {
            expectRampFrom(rig.left, 0);
        }
    }

    Rig stopped;  // a stream that stops delivering holds the mix back once, not at every tick after
    stopped.mixer.addStream(2);
    stopped.push(2, 1.0f, kTick);
    stopped.clock();
    stopped.clock();
    stopped.now += 30 * kMs;
    stopped.clock();
    EXPECT_EQ(stopped.left.size(), 3 * kTick);
    stopped.clock();
    EXPECT_EQ(stopped.left.size(), 4 * kTick);

    Rig rig;  // grows to the most, then shrinks by 48 frames per 48000 steady ones, to the least
    rig.mixer.addStream(5);
    for (int underrun = 0; underrun < 4; ++underrun) {
        rig.push(5, 1.0f, kTick);
        rig.clock(kTick);
        rig.clock(kTick);  // nothing for it
        rig.now += 100 * kMs;
        rig.clock(kTick);
    }
    expectPatience(rig, 5, 80 * kMs);
    const std::size_t dropouts = rig.mixer.dropouts();
    for (std::size_t t = 0; t < 100 * 70; ++t) {
        rig.push(5, 1.0f, kTick);
        rig.clock();
    }
    EXPECT_EQ(rig.mixer.dropouts(), dropouts);
    expectPatience(rig, 5, 10 * kMs);
}

// After the helper was stopped, the server hands over seconds of clock and stream in a burst: the clock's
// part may come well ahead of the stream's, but all at once, so the stream is not late.
TEST(StreamMixer, BacklogHandedOverInABurstIsMixedWhole) {
    Rig rig;
    rig.mixer.addStream(3);
    rig.push(3, 1.0f, kTick);
    rig.clock();
    rig.now += 2000 * kMs;
    for (int t = 0; t < 200; ++t) rig.clock();  // 2 s of clock first
    EXPECT_LT(rig.left.size(), 2 * kTick);      // held for the stream
    for (std::size_t t = 1; t <= 200; ++t) rig.push(3, 1.0f + static_cast<float>(t * kTick), kTick);
    ASSERT_EQ(rig.left.size(), 201 * kTick);
    expectRampFrom(rig.left, 0);
    EXPECT_EQ(rig.mixer.dropouts(), 0u);
}

// A stream far ahead of the clock is trimmed, oldest first; a hole keeps its time; re-adding keeps the
// queue; a resumed stream is waited for while what it queued plays on; a removed one plays out and leaves.
TEST(StreamMixer, TrimHoleResumeAndEnd) {
    {
        Rig rig;
        rig.mixer.addStream(3);
        rig.push(3, 1.0f, 4000);
        rig.clock();
        EXPECT_EQ(rig.mixer.roomFor(3), 1920u - 1920u / 2);  // half the lead queued
        expectRampFrom(rig.left, 0);
        rig.clock();
        EXPECT_EQ(rig.left[kTick], 4001.0f - 960.0f);
    }
    {  // while the clock has a backlog, a stream queues no further ahead than a trim allows
        Rig rig;
        rig.mixer.addStream(8);
        EXPECT_EQ(rig.mixer.roomFor(8), 1920u);
        rig.mixer.addClockFrames(960, rig.now);
        EXPECT_EQ(rig.mixer.roomFor(8), 1920u);  // its first audio goes at the clock's newest frame
        rig.push(8, 1.0f, kTick);
        EXPECT_EQ(rig.mixer.roomFor(8), 1920u - kTick);
        EXPECT_EQ(rig.mixer.roomFor(99), 0u);
    }
    {
        Rig rig;
        rig.mixer.addStream(4);
        rig.push(4, 1.0f, 100);
        rig.mixer.pushStreamSilence(4, 50);
        rig.push(4, 151.0f, 100);
        rig.mixer.addStream(4);
        EXPECT_EQ(rig.mixer.roomFor(4), 1920u - 250u);  // all it queued
        rig.clock(250);
        for (std::size_t i = 0; i < 250; ++i) {
            ASSERT_EQ(rig.left[i], (i >= 100 && i < 150) ? 0.0f : static_cast<float>(i + 1)) << i;
        }
    }
    {  // a reopened recording is waited for, and its first audio ends at the clock's newest frame
        Rig rig;
        rig.mixer.addStream(6);
        rig.push(6, 1.0f, kTick);
        rig.clock(100);
        rig.mixer.resumeStream(6);
        rig.now += 100 * kMs;
        rig.clock(kTick);  // 380 queued, then the mix waits
        rig.clock(kTick);
        rig.push(6, 5000.0f, kTick);
        ASSERT_EQ(rig.left.size(), 100 + 2 * kTick);
        for (std::size_t i = 0; i < rig.left.size(); ++i) {
            const float expected = i < kTick         ? static_cast<float>(i + 1)
                                   : i < 100 + kTick ? 0.0f
                                                     : static_cast<float>(5000 + i - 100 - kTick);
            ASSERT_EQ(rig.left[i], expected) << i;
        }
        EXPECT_EQ(rig.mixer.dropouts(), 0u);
    }
    {  // a reopening slower than the patience: silence, but no dropout and no more patience
        Rig rig;
        rig.mixer.addStream(7);
        rig.push(7, 1.0f, kTick);
        rig.clock(kTick);
        rig.mixer.resumeStream(7);
        rig.clock(kTick);
        EXPECT_EQ(rig.left.size(), kTick) << "waited for";
        rig.now += 20 * kMs + 1;
        rig.drain();
        rig.clock(kTick);
        rig.push(7, 5000.0f, kTick);
        rig.clock(kTick);
        ASSERT_EQ(rig.left.size(), 4 * kTick);
        for (std::size_t i = 0; i < rig.left.size(); ++i) {
            const float expected = i < kTick       ? static_cast<float>(i + 1)
                                   : i < 3 * kTick ? 0.0f
                                                   : static_cast<float>(5000 + i - 3 * kTick);
            ASSERT_EQ(rig.left[i], expected) << i;
        }
        EXPECT_EQ(rig.mixer.dropouts(), 0u);
        expectPatience(rig, 7, 20 * kMs);
    }
    {
        Rig rig;
        rig.mixer.addStream(5);
        rig.push(5, 1.0f, 100);
        rig.mixer.removeStream(5);
        rig.push(5, 1.0f, 100);  // nothing new is taken
        rig.clock(2000);         // and the ended stream is not waited for
        ASSERT_EQ(rig.left.size(), 2000u);
        for (std::size_t i = 0; i < 2000; ++i)
            ASSERT_EQ(rig.left[i], i < 100 ? static_cast<float>(i + 1) : 0.0f);
        EXPECT_EQ(rig.mixer.dropouts(), 0u);
    }
}

}  // namespace
