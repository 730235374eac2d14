// The stream's clock: how many zero frames each packet position and each quiet wait call for.
#include <gtest/gtest.h>

#include <cstdint>

#include "stream/stream_format.h"
#include "stream/timeline.h"

namespace {

using stream::ticksFromFramesDown;
using stream::Timeline;

constexpr std::uint64_t kStart = 5000000000;  // a performance counter some minutes after boot
constexpr std::uint32_t kPacket = 480;
constexpr std::uint32_t kDiscontinuity = 0x1;
constexpr std::uint32_t kTimestampError = 0x4;
constexpr std::uint64_t kMs = 10000;

std::uint64_t at(std::uint64_t frame) { return kStart + ticksFromFramesDown(frame); }

struct Step {
    std::uint64_t position;  // 0: a quiet wait at `now` instead of a packet
    std::uint64_t now;
    std::uint32_t flags;
    std::uint64_t zeros;               // expected
    std::uint64_t devicePosition = 0;  // none
};

void play(const char* name, const std::vector<Step>& steps) {
    SCOPED_TRACE(name);
    Timeline clock(kStart);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        const std::uint64_t zeros =
            step.now != 0 ? clock.framesWhileQuiet(step.now)
                          : clock.framesBeforePacket(step.devicePosition, step.position, kPacket, step.flags);
        EXPECT_EQ(zeros, step.zeros) << "step " << i;
    }
}

TEST(Timeline, FillsWhatThePositionsShowIsMissing) {
    const std::uint64_t j = 2 * kMs;  // timestamp jitter, well under half a packet
    play("contiguous packets, jittered",
         {{at(0) + j, 0, 0, 0}, {at(480) - j, 0, 0, 0}, {at(960) + j, 0, 0, 0}});
    play("two packets late is jitter", {{at(0), 0, 0, 0}, {at(3 * 480), 0, 0, 0}});
    play("three packets missing are a gap", {{at(0), 0, 0, 0}, {at(4 * 480) + j, 0, 0, 3 * 480}});
    play("a second of quiet", {{at(0), 0, 0, 0}, {at(48480) - j, 0, 0, 48000}, {at(48960), 0, 0, 0}});
    play("a discontinuity makes one packet a gap", {{at(0), 0, 0, 0}, {at(960) - j, 0, kDiscontinuity, 480}});
    play("a discontinuity with nothing lost", {{at(0), 0, 0, 0}, {at(480), 0, kDiscontinuity, 0}});
    play("a discontinuity stamped 6 ms late lost nothing",
         {{at(0), 0, 0, 0}, {at(480) + 6 * kMs, 0, kDiscontinuity, 0}, {at(960) + 6 * kMs, 0, 0, 0}});
    play("a device position that continues outweighs a late stamp",
         {{at(0), 0, 0, 0, 1000},
          {at(480) + 50 * kMs, 0, kDiscontinuity, 0, 1480},
          {at(960) + 50 * kMs, 0, 0, 0, 1960}});
    play("a device position that jumps lets the stamp decide",
         {{at(0), 0, 0, 0, 1000}, {at(5 * 480), 0, 0, 4 * 480, 1000 + 5 * 480}});
    play("a device position that stands still lets the stamp decide",
         {{at(0), 0, 0, 0, 1000}, {at(480), 0, 0, 0, 1000}, {at(6 * 480), 0, 0, 4 * 480, 1000}});
    play("early and overlapping packets are written as they are, and followed",
         {{at(0), 0, 0, 0}, {at(100), 0, 0, 0}, {at(0), 0, 0, 0}, {at(10 * 480), 0, 0, 9 * 480}});
    play("the first packet after a quiet start fills from Start",
         {{at(10 * 480), 0, 0, 10 * 480}, {at(11 * 480), 0, 0, 0}});
    play("the first packet is the reference at once, not followed a little",
         {{at(280), 0, 0, 0}, {at(760) + kMs, 0, kDiscontinuity, 0}});
    play("the first packet soon after Start is the reference",
         {{at(300), 0, 0, 0}, {at(300 + 480), 0, 0, 0}, {at(300 + 5 * 480), 0, 0, 3 * 480}});
}

// Two hours of 10 ms packets from an engine whose clock runs off the counter, with a quiet stretch of
// 7 s every 10 minutes: zeros only there, each stretch at its true place in the stream.
TEST(Timeline, FollowsTheEngineClockOverHours) {
    struct Engine {
        const char* name;
        std::int64_t driftPpm;
        bool devicePositions;
        std::uint64_t jitterTicks;  // either way
        std::uint64_t flagEvery;    // packets flagged as discontinuities; 0: none
    } engines[] = {
        {"300 ppm slow", 300, true, 0, 0},
        {"300 ppm fast", -300, true, 0, 0},
        {"300 ppm slow, stamps only", 300, false, 0, 0},
        {"300 ppm fast, stamps only", -300, false, 0, 0},
        {"4 ms jitter, flagged, stamps only", 100, false, 4 * kMs, 7},
        {"4 ms jitter, flagged", -100, true, 4 * kMs, 3},
    };
    constexpr std::uint64_t kPackets = 2 * 3600 * 100;
    constexpr std::uint64_t kQuietEvery = 60000, kQuietPackets = 700;
    for (const Engine& engine : engines) {
        SCOPED_TRACE(engine.name);
        Timeline clock(kStart);
        std::uint64_t random = 0x9E3779B97F4A7C15u, written = 0, stretches = 0, faults = 0;
        for (std::uint64_t n = 0; n < kPackets; ++n) {
            const bool quiet = n % kQuietEvery >= kQuietEvery - kQuietPackets;
            if (quiet) continue;
            const std::uint64_t frame = n * kPacket;
            const auto elapsed = static_cast<std::int64_t>(ticksFromFramesDown(frame));
            random ^= random << 13;
            random ^= random >> 7;
            random ^= random << 17;
            const std::uint64_t wander = engine.jitterTicks == 0 ? 0 : random % (2 * engine.jitterTicks + 1);
            const std::uint64_t position = static_cast<std::uint64_t>(
                static_cast<std::int64_t>(kStart) + elapsed + elapsed * engine.driftPpm / 1000000 +
                static_cast<std::int64_t>(wander) - static_cast<std::int64_t>(engine.jitterTicks));
            const std::uint32_t flags =
                engine.flagEvery != 0 && n % engine.flagEvery == 0 ? kDiscontinuity : 0;
            const std::uint64_t zeros =
                clock.framesBeforePacket(engine.devicePositions ? frame + 1 : 0, position, kPacket, flags);
            const bool afterQuiet = n >= kQuietEvery && n % kQuietEvery == 0;
            if (afterQuiet) ++stretches;
            if (zeros != 0 && !afterQuiet && ++faults < 5)
                ADD_FAILURE() << zeros << " zeros before packet " << n;
            written += zeros;
            if (afterQuiet && (written + kPacket < frame || written > frame + kPacket) && ++faults < 5)
                ADD_FAILURE() << "packet " << n << " at stream frame " << written << ", not " << frame;
            written += kPacket;
        }
        EXPECT_EQ(stretches, kPackets / kQuietEvery - 1);
        EXPECT_EQ(faults, 0u);
    }
}

TEST(Timeline, PacketsOfAFewFramesTolerateTheClientBuffer) {
    Timeline clock(kStart);
    EXPECT_EQ(clock.framesBeforePacket(0, at(900), 1, 0), 0u) << "an engine that starts 19 ms after Start";
    EXPECT_EQ(clock.framesBeforePacket(0, at(901), 1, 0), 0u);
    EXPECT_EQ(clock.framesBeforePacket(0, at(902 + 900), 1, 0), 0u) << "19 ms late is jitter";
    EXPECT_EQ(clock.framesBeforePacket(0, at(1803 + 1001), 1, 0), 1001u) << "21 ms past the packet before";
}

TEST(Timeline, QuietWaitsWriteWholePacketsUpToTheMargin) {
    const std::uint64_t margin = stream::kQuietMarginTicks;
    play("nothing before the margin has passed", {{0, kStart + margin, 0, 0}});
    play("a quiet start counts from Start", {{0, kStart + margin + 1000 * kMs, 0, 48000}});
    play("whole packets only, then the packet that ends it stands at its time",
         {{at(0), 0, 0, 0},
          {0, at(480) + margin + 25 * kMs, 0, 2 * 480},
          {0, at(480) + margin + 29 * kMs, 0, 0},
          {0, at(480) + margin + 5500 * kMs, 0, 548 * 480},
          {at(480 + 600 * 480), 0, 0, 50 * 480}});
    play("a packet that arrives later than the margin overlaps and is kept",
         {{at(0), 0, 0, 0}, {0, at(480) + margin + 500 * kMs, 0, 50 * 480}, {at(480 + 40 * 480), 0, 0, 0}});
}

TEST(Timeline, BadPositionsNeverWriteMoreThanTheGuardAllows) {
    const std::uint64_t day = 86400ull * 10000000;
    const std::uint64_t limitFrames = stream::kMaxGapTicks * 3 / 625;
    play("position 0 and flagged timestamps follow on",
         {{at(0), 0, 0, 0}, {0, 0, 0, 0}, {at(5 * 480), 0, kTimestampError, 0}, {at(3 * 480), 0, 0, 0}});
    play("a jump of a day and back", {{at(0), 0, 0, 0},
                                      {at(480) + day, 0, 0, 0},
                                      {at(960), 0, 0, 0},
                                      {at(1440), 0, 0, 0},
                                      {at(1920) + 500 * kMs, 0, 0, 24000}});
    play("backwards by a day", {{at(0) + day, 0, 0, 0}, {at(480), 0, 0, 0}, {at(960), 0, 0, 0}});
    play("a clock that jumped during quiet",
         {{at(0), 0, 0, 0}, {0, at(480) + day, 0, 0}, {0, at(480) + day + 1000 * kMs, 0, 48000}});
    play("the largest gap filled", {{at(0), 0, 0, 0}, {at(480) + stream::kMaxGapTicks, 0, 0, limitFrames}});
    play("positions at the end of the counter",
         {{at(0), 0, 0, 0}, {UINT64_MAX, 0, 0, 0}, {0, UINT64_MAX, 0, 0}});
}

TEST(Timeline, CounterReadingsBecome100nsUnits) {
    struct Case {
        std::int64_t counter, frequency;
        std::uint64_t ticks;
    } cases[] = {
        {10000000, 10000000, 10000000},
        {3000000000, 3000000000, 10000000},  // a 3 GHz counter, one second
        {INT64_MAX, 10000000, static_cast<std::uint64_t>(INT64_MAX)},
        {INT64_MAX, 3000000000, 30744573456182586},  // no overflow in the multiplication
        {1, 3, 3333333},
        {0, 10000000, 0},
        {-5, 10000000, 0},
        {5, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stream::ticksFromCounter(c.counter, c.frequency), c.ticks) << c.counter;
}

TEST(StreamFormat, FramesAndTicksConvertExactlyAndWithoutOverflow) {
    struct Case {
        std::uint64_t frames, ticks;  // ticksFromFramesDown(frames) == ticks
        std::uint64_t framesDown;     // framesFromTicksDown(ticks)
        std::uint64_t framesNearest;  // framesFromTicksNearest(ticks)
    } cases[] = {
        {0, 0, 0, 0},
        {1, 208, 0, 1},  // 208.33 ticks
        {2, 416, 1, 2},  // 416.67 ticks
        {3, 625, 3, 3},
        {48000, 10000000, 48000, 48000},
        {30000000000000000, 6250000000000000000, 30000000000000000,
         30000000000000000},  // frames * 625 overflows
    };
    for (const Case& c : cases) {
        EXPECT_EQ(stream::ticksFromFramesDown(c.frames), c.ticks) << c.frames;
        EXPECT_EQ(stream::framesFromTicksDown(c.ticks), c.framesDown) << c.ticks;
        EXPECT_EQ(stream::framesFromTicksNearest(c.ticks), c.framesNearest) << c.ticks;
    }
    struct Rounding {
        std::uint64_t ticks, down, nearest;
    } roundings[] = {{104, 0, 0},
                     {105, 0, 1},
                     {624, 2, 3},
                     {6250000000000000000 + 105, 30000000000000000, 30000000000000001}};
    for (const Rounding& r : roundings) {
        EXPECT_EQ(stream::framesFromTicksDown(r.ticks), r.down) << r.ticks;
        EXPECT_EQ(stream::framesFromTicksNearest(r.ticks), r.nearest) << r.ticks;
    }
    // A packet's position turned back into frames is its frame count, whatever the remainder.
    for (std::uint64_t frames = 0; frames < 2000; ++frames)
        ASSERT_EQ(stream::framesFromTicksNearest(stream::ticksFromFramesDown(frames)), frames);
}

}  // namespace
