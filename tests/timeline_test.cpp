// The stream's clock: how many zero frames each packet position and each quiet wait call for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "stream/clock_reconciler.h"
#include "stream/stream_format.h"
#include "stream/stream_mix.h"
#include "stream/timeline.h"

namespace {

using stream::ticksFromFramesDown;
using stream::Timeline;

constexpr std::uint64_t kStart = 5000000000;  // a performance counter some minutes after boot
constexpr std::uint32_t kPacket = 480;
constexpr std::uint32_t kDiscontinuity = stream::kFlagDiscontinuity;
constexpr std::uint32_t kTimestampError = stream::kFlagTimestampError;
constexpr std::uint64_t kMs = 10000;

// A packet is handed out a period after its first frame.
constexpr std::uint64_t kHandedOut = 10 * kMs;

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
                          : clock.framesBeforePacket(step.devicePosition, step.position, kPacket, step.flags,
                                                     step.position + kHandedOut);
        EXPECT_EQ(zeros, step.zeros) << "step " << i;
    }
}

TEST(Timeline, FillsWhatThePositionsShowIsMissing) {
    const std::uint64_t j = 2 * kMs;  // timestamp jitter, well under half a packet
    play("contiguous packets, jittered",
         {{at(0) + j, 0, 0, 0}, {at(480) - j, 0, 0, 0}, {at(960) + j, 0, 0, 0}});
    play("two packets late once is a stamp out of line",
         {{at(0), 0, 0, 0}, {at(3 * 480), 0, 0, 0}, {at(960), 0, 0, 0}});
    play("a packet ahead, and the next too: one lost without a flag",
         {{at(0), 0, 0, 0}, {at(960) + j, 0, 0, 0}, {at(1440) - j, 0, 0, 480}, {at(1920), 0, 0, 0}});
    play("two packets ahead twice: two lost", {{at(0), 0, 0, 0}, {at(1440), 0, 0, 0}, {at(1920), 0, 0, 960}});
    play("a stamp a packet late, then back in line",
         {{at(0), 0, 0, 0}, {at(960) - j, 0, 0, 0}, {at(960) + j, 0, 0, 0}, {at(1440), 0, 0, 0}});
    play("two packets late once, then back in line",
         {{at(0), 0, 0, 0}, {at(480) + 19 * kMs, 0, 0, 0}, {at(960) + 2 * kMs, 0, 0, 0}});
    play("ahead twice, by less than a packet less the stamps' wander on average",
         {{at(0), 0, 0, 0}, {at(480) + 6 * kMs, 0, 0, 0}, {at(960) + 45 * kMs / 10, 0, 0, 0}});
    play("ahead by less than half a packet is jitter",
         {{at(0), 0, 0, 0}, {at(480) + 4 * kMs, 0, 0, 0}, {at(960) + 4 * kMs, 0, 0, 0}, {at(1440), 0, 0, 0}});
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
// 7 s every 10 minutes: zeros only there, each stretch at its true place in the stream. An engine that
// loses packets without a flag every minute (one, then two) gets zeros of their length within a packet of
// their place, and the stream's length stays the engine's time.
TEST(Timeline, FollowsTheEngineClockOverHours) {
    struct Engine {
        const char* name;
        std::int64_t driftPpm;
        bool devicePositions;
        std::uint64_t jitterTicks;  // either way
        std::uint64_t flagEvery;    // packets flagged as discontinuities; 0: none
        bool losses = false;        // packets lost without a flag every minute
    } engines[] = {
        {"300 ppm slow", 300, true, 0, 0},
        {"300 ppm fast", -300, true, 0, 0},
        {"300 ppm slow, stamps only", 300, false, 0, 0},
        {"300 ppm fast, stamps only", -300, false, 0, 0},
        {"4 ms jitter, flagged, stamps only", 100, false, 4 * kMs, 7},
        {"4 ms jitter, flagged", -100, true, 4 * kMs, 3},
        {"unflagged losses, stamps only", 0, false, 0, 0, true},
        {"unflagged losses, 4 ms jitter, stamps only", 0, false, 4 * kMs, 0, true},
        {"unflagged losses, 4 ms jitter, 100 ppm fast, stamps only", -100, false, 4 * kMs, 0, true},
    };
    constexpr std::uint64_t kPackets = 2 * 3600 * 100;
    constexpr std::uint64_t kQuietEvery = 60000, kQuietPackets = 700, kLossEvery = 6000;
    for (const Engine& engine : engines) {
        SCOPED_TRACE(engine.name);
        Timeline clock(kStart);
        std::uint64_t random = 0x9E3779B97F4A7C15u, written = 0, stretches = 0, faults = 0, lost = 0;
        std::uint64_t lossEnd = 0;  // the packet after the last loss
        std::uint64_t end = 0;      // the engine's time at the end of the last packet
        for (std::uint64_t n = 0; n < kPackets; ++n) {
            const bool quiet = n % kQuietEvery >= kQuietEvery - kQuietPackets;
            if (quiet) continue;
            const std::uint64_t lossPackets = 1 + n / kLossEvery % 2;
            if (engine.losses && n % kLossEvery >= kLossEvery / 2 &&
                n % kLossEvery < kLossEvery / 2 + lossPackets) {
                lossEnd = n + 1;
                ++lost;
                continue;
            }
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
                clock.framesBeforePacket(engine.devicePositions ? frame + 1 : 0, position, kPacket, flags,
                                         kStart + static_cast<std::uint64_t>(elapsed) + kHandedOut);
            const bool afterQuiet = n >= kQuietEvery && n % kQuietEvery == 0;
            if (afterQuiet) ++stretches;
            const bool afterLoss = lossEnd != 0 && n - lossEnd <= 1;
            if (zeros != 0 && !afterQuiet && !(afterLoss && zeros == lost * kPacket) && ++faults < 5)
                ADD_FAILURE() << zeros << " zeros before packet " << n;
            if (zeros != 0 && afterLoss) lost = 0;
            written += zeros;
            if (afterQuiet && (written + kPacket < frame || written > frame + kPacket) && ++faults < 5)
                ADD_FAILURE() << "packet " << n << " at stream frame " << written << ", not " << frame;
            written += kPacket;
            end = frame + kPacket;
        }
        EXPECT_EQ(stretches, kPackets / kQuietEvery - 1);
        EXPECT_EQ(faults, 0u);
        EXPECT_EQ(lost, 0u) << "a loss never written as zeros";
        EXPECT_LE(written > end ? written - end : end - written, 960u)
            << "length " << written << ", not " << end;
    }
}

TEST(Timeline, PacketsOfAFewFramesTolerateTheClientBuffer) {
    Timeline clock(kStart);
    EXPECT_EQ(clock.framesBeforePacket(0, at(900), 1, 0, at(900) + kHandedOut), 0u)
        << "an engine that starts 19 ms after Start";
    EXPECT_EQ(clock.framesBeforePacket(0, at(901), 1, 0, at(901) + kHandedOut), 0u);
    EXPECT_EQ(clock.framesBeforePacket(0, at(902 + 900), 1, 0, at(902 + 900) + kHandedOut), 0u)
        << "19 ms late is jitter";
    EXPECT_EQ(clock.framesBeforePacket(0, at(1803 + 1001), 1, 0, at(1803 + 1001) + kHandedOut), 1001u)
        << "21 ms past the packet before";
}

// Stamps that lie 2 s off the counter, either way, from the start: no zeros for the offset at the start or
// after a silence; the frames are counted and the quiet filled by the counter, so a second of sound, 2.7 s of
// quiet and another second stand where stamps on the right base put them, within 20 ms.
TEST(Timeline, StampsOnAWrongBaseAreLeftForTheFrameCount) {
    const struct {
        const char* name;
        std::int64_t offset;
        bool trusted;
    } cases[] = {{"right base", 0, true},
                 {"2 s ahead", 2000 * kMs, false},
                 {"2 s behind", -2000 * static_cast<std::int64_t>(kMs), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Timeline clock(kStart);
        std::uint64_t written = 0;
        const auto packet = [&](std::uint64_t n) {
            const std::uint64_t time = at(n * kPacket) + kMs / 2;
            const std::uint64_t zeros = clock.framesBeforePacket(
                0, static_cast<std::uint64_t>(static_cast<std::int64_t>(time) + c.offset), kPacket, 0,
                time + kHandedOut);
            written += zeros + kPacket;
            return zeros;
        };
        for (std::uint64_t n = 0; n < 100; ++n) ASSERT_EQ(packet(n), 0u) << n;
        for (std::uint64_t ms = 1500; ms <= 3500; ms += 500)
            written += clock.framesWhileQuiet(kStart + ms * kMs);
        packet(370);
        for (std::uint64_t n = 371; n < 470; ++n) ASSERT_EQ(packet(n), 0u) << n;
        EXPECT_EQ(clock.trustsStamps(), c.trusted);
        EXPECT_LE(written > 470 * kPacket ? written - 470 * kPacket : 470 * kPacket - written, 960u)
            << written;
    }
    Timeline late(kStart);
    late.framesBeforePacket(0, at(0), kPacket, 0, at(0) + 600 * kMs);
    late.framesBeforePacket(0, at(480), kPacket, 0, at(480) + kHandedOut);
    EXPECT_TRUE(late.trustsStamps()) << "one packet handed out late is no wrong base";
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

TEST(Timeline, CountsInTheStreamsOwnRate) {
    // 10 ms packets at each rate: gaps, quiet waits and the tolerance in the stream's frames.
    const std::uint64_t margin = stream::kQuietMarginTicks;
    for (const stream::StreamFormat format :
         {stream::StreamFormat(16000, 1), stream::StreamFormat(44100, 2), stream::StreamFormat(22050, 1)}) {
        SCOPED_TRACE(format.rate());
        const auto packet = static_cast<std::uint32_t>(format.rate() / 100);
        auto at = [&](std::uint64_t frame) { return kStart + format.ticksFromFramesDown(frame); };
        Timeline clock(kStart, format);
        EXPECT_EQ(clock.framesBeforePacket(0, at(0), packet, 0, at(0) + kHandedOut), 0u);
        // Two packets late is jitter, three missing a gap of three packets.
        EXPECT_EQ(clock.framesBeforePacket(0, at(packet), packet, 0, at(packet) + kHandedOut), 0u);
        EXPECT_EQ(clock.framesBeforePacket(0, at(5 * packet), packet, 0, at(5 * packet) + kHandedOut),
                  3u * packet);
        // A second of quiet after the margin is a second of the rate, in whole packets.
        const std::uint64_t second = format.rate() / packet * packet;
        EXPECT_EQ(clock.framesWhileQuiet(at(6 * packet) + margin + 1000 * kMs), second);
        EXPECT_EQ(clock.streamTime(), at(6 * packet + second));
    }
}

// Where each engine's deliveries land: on the sample clock while they are only late or early, on the
// measured clock after a stall, with the device position skipping exactly the frames missing, and without
// the leading silence of cycles that ran ahead of time. Times are frames after kStart plus ticks.
TEST(ClockReconciler, PlacesDeliveriesAsEachEngineHandsThemOver) {
    struct Delivery {
        std::uint32_t frames;
        bool silent;
        std::uint64_t atFrames;  // measured time of its first frame
        std::uint64_t atTicks;
        // expected
        std::uint32_t skipped;
        std::uint64_t device;
        std::uint64_t positionFrames;
        std::uint64_t positionTicks;
        bool breaks, missing;
    };
    const std::uint64_t realign = stream::kRealignTicks;
    const std::uint64_t second = 1000 * kMs;
    const struct {
        const char* name;
        std::vector<Delivery> deliveries;
    } cases[] = {
        {"PipeWire: a cycle late by load, up to the realign threshold, stays on the sample clock",
         {{1024, false, 0, 0, 0, 0, 0, 0, false, false},
          {1024, false, 1024, 50 * kMs, 0, 1024, 1024, 0, false, false},
          {1024, false, 2048, realign, 0, 2048, 2048, 0, false, false}}},
        {"PipeWire stall: a cycle later than the threshold jumps by exactly the frames missing",
         {{1024, false, 0, 0, 0, 0, 0, 0, false, false},
          {1024, false, 1024, realign + 1, 0, 1024 + 9600, 1024, realign + 1, true, true},
          {1024, false, 2048, 300 * kMs + realign, 0, 2048 + 9600 + 14400, 2048, 300 * kMs + realign, true,
           true}}},
        {"helper stopped 1 s under PipeWire: the cycles queued meanwhile come at once, stamped alike",
         {{1024, false, 0, 0, 0, 0, 0, 0, false, false},
          {1024, false, 1024, second, 0, 1024 + 48000, 1024, second, true, true},
          {1024, false, 1024, second, 0, 2048 + 48000, 2048, second, false, false}}},
        {"helper stopped 1 s under PulseAudio: the backlog comes in a burst, stamped when it was captured",
         {{4800, false, 0, 0, 0, 0, 0, 0, false, false},
          {4800, false, 4800, 0, 0, 4800, 4800, 0, false, false},
          {48000, false, 9600, 0, 0, 9600, 9600, 0, false, false},
          {4800, false, 57600, 0, 0, 57600, 57600, 0, false, false}}},
        {"a clock stepped back: the measured clock, with no frames missing",
         {{600, false, 0, 300 * kMs, 0, 0, 0, 300 * kMs, false, false},
          {480, false, 600, 0, 0, 600, 600, 0, true, false}}},
        {"a cycle 1024 frames early, then silence: half of each silent one left out until on time",
         {{1024, false, 0, 0, 0, 0, 0, 0, false, false},
          {1024, false, 0, 0, 0, 1024, 1024, 0, false, false},
          {1024, true, 1024, 0, 512, 2048, 1536, 0, false, false},
          {1024, true, 2048, 0, 512, 2560, 2560, 0, false, false},
          {1024, true, 3072, 0, 0, 3072, 3072, 0, false, false}}},
        {"within 5 ms of the clock, silence is kept",
         {{1024, false, 0, 0, 0, 0, 0, 0, false, false},
          {1024, true, 800, 0, 0, 1024, 1024, 0, false, false},
          {1024, true, 1824, 0, 0, 2048, 2048, 0, false, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stream::ClockReconciler clock;
        for (std::size_t i = 0; i < c.deliveries.size(); ++i) {
            const Delivery& d = c.deliveries[i];
            std::vector<float> samples(2 * std::size_t{d.frames}, d.silent ? 0.0f : 0.5f);
            const auto placed = clock.deliver(samples.data(), d.frames, at(d.atFrames) + d.atTicks);
            EXPECT_EQ(placed.skipped, d.skipped) << i;
            EXPECT_EQ(placed.device, d.device) << i;
            // Within 2 ticks: frames left out move the stamp by their time rounded down.
            EXPECT_NEAR(static_cast<double>(clock.clockAt(placed.device)),
                        static_cast<double>(at(d.positionFrames) + d.positionTicks), 2.0)
                << i;
            EXPECT_EQ(placed.breaks, d.breaks) << i;
            EXPECT_EQ(placed.missing, d.missing) << i;
        }
    }
}

// Several sources summed into one stream: (source, samples or a run of zeros) in, mono runs out.
TEST(StreamMix, SumsFrameByFrameAndWaitsForAQuietSourceOnlyForTheHold) {
    struct Add {
        std::size_t source;
        std::vector<float> samples;  // empty: `zeros` zero frames
        std::uint64_t zeros = 0;
    };
    struct Case {
        const char* name;
        std::size_t sources;
        std::vector<Add> adds;
        std::vector<float> out;  // every frame handed out, zeros as 0
        std::size_t zeroRuns;    // runs handed out as zeros (no samples)
    } cases[] = {
        {"one source passes through bit for bit", 1, {{0, {-0.0f, 1, 2}}}, {-0.0f, 1, 2}, 0},
        {"two sources summed frame by frame, as far as both go",
         2,
         {{0, {1, 2, 3}}, {1, {10, 20}}},
         {11, 22},
         0},
        {"the rest once the other catches up",
         2,
         {{0, {1, 2, 3}}, {1, {10, 20}}, {1, {30}}},
         {11, 22, 33},
         0},
        {"a quiet source holds the other back only for the hold (4 frames)",
         2,
         {{0, {1, 2, 3, 4, 5, 6}}},
         {1, 2},
         0},
        {"what it brings later for frames already out is dropped",
         2,
         {{0, {1, 2, 3, 4, 5, 6}}, {1, {100, 200, 300, 400}}},
         {1, 2, 303, 404},
         0},
        {"zeros in every source go out as zeros (the first past the hold at once)",
         2,
         {{0, {}, 5}, {1, {}, 5}},
         {0, 0, 0, 0, 0},
         2},
        {"zeros beside audio are the audio", 2, {{0, {}, 2}, {1, {7, 8}}}, {7, 8}, 0},
        {"empty runs change nothing",
         2,
         {{0, {}, 0}, {0, {1, 2}}, {0, {}, 0}, {1, {5, 6}}, {0, {3}}, {1, {7}}},
         {6, 8, 10},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamMix mix(c.sources, 1, 4);
        std::vector<float> out;
        std::size_t zeroRuns = 0;
        for (const Add& add : c.adds) {
            mix.add(add.source, add.samples.empty() ? nullptr : add.samples.data(),
                    add.samples.empty() ? add.zeros : add.samples.size());
            mix.mix([&](const float* samples, std::uint64_t frames) {
                if (samples == nullptr) ++zeroRuns;
                for (std::uint64_t i = 0; i < frames; ++i)
                    out.push_back(samples == nullptr ? 0.0f : samples[i]);
            });
        }
        ASSERT_EQ(out.size(), c.out.size());
        EXPECT_EQ(std::memcmp(out.data(), c.out.data(), out.size() * sizeof(float)), 0);
        EXPECT_EQ(mix.mixed(), c.out.size());
        EXPECT_EQ(zeroRuns, c.zeroRuns);
    }
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

// Frame 0's time is the earliest arrival implies: the burst of a PulseAudio backlog after the helper was
// stopped leaves it; arrivals later for two windows in a row (frames the server lost, a slower sink clock)
// move it.
TEST(ClockReconciler, SampleClockFollowsTheEarliestArrivalAndMovesLaterOnlyForGood) {
    constexpr std::int64_t ms = 10000;
    const std::int64_t t0 = 5000 * ms;  // when frame 0 was captured
    // 10 ms deliveries captured up to `until` ms after t0, each arriving `delay` ms after its last frame
    // (1 ms more every other one), or all at `burstAt`; the last `lost` ms of the clock never came.
    const struct {
        const char* name;
        std::int64_t until, delay, burstAt, lost, origin;
    } phases[] = {
        {"arrivals 1 or 2 ms after capture", 1000, 1, -1, 0, 1},
        {"stopped for 2 s: the backlog arrives in one burst", 3000, 0, 3005, 0, 1},
        {"on time again", 4000, 1, -1, 0, 1},
        {"300 ms lost for good: one window later is not enough", 8200, 1, -1, 300, 1},
        {"two are", 9100, 1, -1, 300, 301},
    };
    stream::ClockReconciler origin;
    std::int64_t captured = 0;  // ms after t0 of the newest frame
    for (const auto& p : phases) {
        SCOPED_TRACE(p.name);
        while (captured < p.until) {
            captured += 10;
            const std::int64_t arrival =
                p.burstAt >= 0 ? p.burstAt : captured + p.delay + (captured % 20 == 0 ? 1 : 0);
            origin.sampleClockArrived(static_cast<std::uint64_t>(48 * (captured - p.lost)),
                                      t0 + arrival * ms);
        }
        EXPECT_EQ(origin.sampleClockTime(0), t0 + p.origin * ms);
    }
    // A new start forgets the old clock: its first arrival sets frame 0, though later than before.
    origin.restartSampleClock();
    origin.sampleClockArrived(480, t0 + 20010 * ms);
    EXPECT_EQ(origin.sampleClockTime(0), t0 + 20000 * ms);
    // Frames of another rate count as that rate's time: 3 s of 22.05 kHz frames.
    origin = stream::ClockReconciler(stream::StreamFormat(22050, 1));
    origin.sampleClockArrived(3 * 22050, t0 + 3000 * ms);
    EXPECT_EQ(origin.sampleClockTime(0), t0);
    EXPECT_EQ(origin.sampleClockTime(22050), t0 + 1000 * ms);
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
        {1513728000001, 315360000000208, 1513728000000, 1513728000001},  // a year and a frame
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
