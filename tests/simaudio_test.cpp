// The simulated engine on its own: scenario parsing, packet order, ramp continuity, faults and the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "simaudio/simulated_engine.h"
#include "simaudio/sim_platform.h"
#include "simaudio/scenario.h"
#include "loopback/loopback_client_rules.h"
#include "stream/performance_clock.h"

namespace {

using simaudio::Scenario;
using simaudio::SimulatedEngine;

TEST(Scenario, ParsesEveryKindOfItem) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(simaudio::parseScenario(
        "source=ramp,frames=960,period=0,burst=3,packets=7,noclient,delay=never,result=0x8007000E,"
        "coinit=0x00000001,silent_every=4,fail_size_after=0,fail_buffer_at=2,discontinuity_at=5,"
        "zero_packet_at=6,capacity=1920,stall=service:20,trace=/tmp/x y,fail_event=capture,"
        "fail_wait=activation,fail_size_once_after=3,stop_at=release:11,drift=-300,device_position=count,"
        "empty_wakes=100,invalidate_after=4,discontinuity_every=9,drop_unflagged=5:2,drop_unflagged=9:1,"
        "stamp_offset=-2000",
        s, error))
        << error;
    EXPECT_EQ(s.source, simaudio::Source::Ramp);
    EXPECT_EQ(s.frames, 960u);
    EXPECT_EQ(s.periodMs, 0u);
    EXPECT_EQ(s.burst, 3u);
    EXPECT_EQ(s.packets, 7u);
    EXPECT_TRUE(s.noClient);
    EXPECT_EQ(s.delayMs, simaudio::kNever);
    EXPECT_EQ(static_cast<std::uint32_t>(s.result), 0x8007000Eu);
    EXPECT_EQ(s.coinit, S_FALSE);
    EXPECT_EQ(s.silentEvery, 4u);
    EXPECT_EQ(s.failSizeAfter, 0u);
    EXPECT_EQ(s.failBufferAt, 2u);
    EXPECT_EQ(s.discontinuityAt, 5u);
    EXPECT_EQ(s.zeroPacketAt, 6u);
    EXPECT_EQ(s.capacityFrames, 1920u);
    EXPECT_EQ(s.stallServiceMs, 20u);
    EXPECT_EQ(s.tracePath, "/tmp/x y");
    EXPECT_TRUE(s.failCaptureEvent && s.failActivationWait && !s.failCompletionEvent && !s.failCaptureWait);
    EXPECT_EQ(s.failSizeOnceAfter, 3u);
    EXPECT_EQ(s.stopAt, Scenario::StopPoint::Release);
    EXPECT_EQ(s.stopPacket, 11u);
    EXPECT_EQ(s.driftPpm, -300);
    EXPECT_TRUE(s.devicePositions);
    ASSERT_EQ(s.unflaggedLosses.size(), 2u);
    EXPECT_TRUE(s.unflaggedLosses[1].after == 9 && s.unflaggedLosses[1].count == 1);
    EXPECT_EQ(s.stampOffsetMs, -2000);
    EXPECT_EQ(s.emptyWakesMs, 100u);
    EXPECT_EQ(s.invalidateAfter, 4u);
    EXPECT_EQ(s.discontinuityEvery, 9u);

    ASSERT_TRUE(simaudio::parseScenario("", s, error));
    EXPECT_EQ(s.source, simaudio::Source::Tone);
    EXPECT_EQ(s.frames, 480u);
    EXPECT_EQ(s.periodMs, 10u);
    EXPECT_FALSE(s.devicePositions) << "a process-loopback client on Windows gives none";
#ifndef AUDIO_HELPER_SIM_SANITIZED  // a sanitizer build's engine holds 2 s: its timing is not the program's
    EXPECT_EQ(simaudio::engineCapacity(s), 960u) << "the 20 ms buffer the client asks for";
    s.burst = 3;
    EXPECT_EQ(simaudio::engineCapacity(s), 1440u) << "a burst is held at once";
#endif
}

TEST(Scenario, RejectsMalformedItemsNamingThem) {
    for (const char* bad : {"bogus",
                            "frames=",
                            "frames=0",
                            "frames=12x",
                            "frames=-1",
                            "noclient=1",
                            "delay=soon",
                            "source=noise",
                            "source",
                            "activate=80004005",
                            "activate=0x",
                            "activate=0x123456789",
                            "activate=0xZZ",
                            "frames=1,frames=2",
                            "stall=start",
                            "stall=foo:1",
                            "trace=",
                            "period=10001",
                            "frames=480,,burst=2",
                            ",",
                            "burst=0",
                            "fail_event=handler",
                            "fail_wait",
                            "stop_at=packet",
                            "stop_at=release:0",
                            "stop_at=start:1",
                            "stop_at=later",
                            "quiet=5",
                            "quiet=5:0",
                            "quiet=:5",
                            "jitter=1000001",
                            "bad_position=0:zero",
                            "bad_position=3:soon",
                            "bad_position=3",
                            "drift=",
                            "drift=-",
                            "drift=100001",
                            "drift=+5",
                            "device_position=frames",
                            "drop_unflagged=5",
                            "drop_unflagged=5:0",
                            "stamp_offset=+5",
                            "stamp_offset=86400001",
                            "empty_wakes=0"}) {
        SCOPED_TRACE(bad);
        Scenario s;
        s.frames = 123;
        std::string error;
        EXPECT_FALSE(simaudio::parseScenario(bad, s, error));
        EXPECT_EQ(s.frames, 123u);  // untouched on failure
        EXPECT_NE(error.find("AUDIO_HELPER_SIM"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

TEST(AudioClient, InitializeChecksTheFormatAsTheEngineDoes) {
    const WAVEFORMATEX good = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0};
    constexpr DWORD kConverts = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
    const struct {
        const char* name;
        void (*change)(WAVEFORMATEX&);
        DWORD flags;
        HRESULT status;
    } cases[] = {
        {"the capture format", [](WAVEFORMATEX&) {}, 0, S_OK},
        {"the capture format, converting", [](WAVEFORMATEX&) {}, kConverts, S_OK},
        {"block align not channels x bits / 8", [](WAVEFORMATEX& f) { f.nBlockAlign = 4; }, 0, E_INVALIDARG},
        {"bytes per second not rate x block align", [](WAVEFORMATEX& f) { f.nAvgBytesPerSec = 192000; }, 0,
         E_INVALIDARG},
        {"no channels", [](WAVEFORMATEX& f) { f.nChannels = 0; }, 0, E_INVALIDARG},
        {"extra bytes on a plain format", [](WAVEFORMATEX& f) { f.cbSize = 22; }, 0, E_INVALIDARG},
        {"integer samples", [](WAVEFORMATEX& f) { f.wFormatTag = WAVE_FORMAT_PCM; }, kConverts,
         AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"mono", [](WAVEFORMATEX& f) { f.nChannels = 1, f.nBlockAlign = 4, f.nAvgBytesPerSec = 192000; }, 0,
         AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"44.1 kHz", [](WAVEFORMATEX& f) { f.nSamplesPerSec = 44100, f.nAvgBytesPerSec = 352800; }, 0,
         AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"16 kHz mono, converting",
         [](WAVEFORMATEX& f) {
             f.nSamplesPerSec = 16000, f.nChannels = 1, f.nBlockAlign = 4, f.nAvgBytesPerSec = 64000;
         },
         kConverts, S_OK},
        {"44.1 kHz, loopback with events but no conversion",
         [](WAVEFORMATEX& f) { f.nSamplesPerSec = 44100, f.nAvgBytesPerSec = 352800; },
         AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK, AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"44.1 kHz, converting",
         [](WAVEFORMATEX& f) { f.nSamplesPerSec = 44100, f.nAvgBytesPerSec = 352800; },
         AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM, S_OK},
        {"11025 Hz, converting", [](WAVEFORMATEX& f) { f.nSamplesPerSec = 11025, f.nAvgBytesPerSec = 88200; },
         kConverts, AUDCLNT_E_UNSUPPORTED_FORMAT},
        {"three channels, converting",
         [](WAVEFORMATEX& f) { f.nChannels = 3, f.nBlockAlign = 12, f.nAvgBytesPerSec = 576000; }, kConverts,
         AUDCLNT_E_UNSUPPORTED_FORMAT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WAVEFORMATEX format = good;
        c.change(format);
        EXPECT_EQ(checkLoopbackCaptureFormat(format, c.flags), c.status);
    }
}

// An engine under test with its event; packets are taken as the program takes them.
struct EngineFixture {
    explicit EngineFixture(const Scenario& s) : scenario(s), engine(scenario) { engine.setEvent(event); }
    ~EngineFixture() {
        engine.stop();
        CloseHandle(event);
    }
    // Takes one packet; returns its frame count and copies its samples.
    HRESULT take(UINT32& frames, DWORD& flags, std::vector<float>& samples) {
        BYTE* data = nullptr;
        const HRESULT hr = engine.getBuffer(&data, &frames, &flags);
        if (FAILED(hr)) return hr;
        const auto* values = reinterpret_cast<const float*>(data);
        samples.assign(values, values + 2 * std::size_t{frames});
        return engine.releaseBuffer(frames);
    }
    // Waits for the engine's signal, takes the packet it made with its positions and releases it; its
    // first sample in `first`. The size query after it makes the engine ready (and signal) the next batch.
    void takeSignalled(UINT64& device, UINT64& position, float& first, DWORD* flagsOut = nullptr) {
        ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
        UINT32 size = 0;
        ASSERT_EQ(engine.nextPacketSize(&size), S_OK);
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        ASSERT_EQ(engine.getBuffer(&data, &frames, &flags, &device, &position), S_OK);
        first = reinterpret_cast<const float*>(data)[0];
        if (flagsOut != nullptr) *flagsOut = flags;
        ASSERT_EQ(engine.releaseBuffer(frames), S_OK);
        ASSERT_EQ(engine.nextPacketSize(&size), S_OK);
    }
    Scenario scenario;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SimulatedEngine engine;
};

Scenario ramp(std::uint32_t frames, std::uint32_t periodMs) {
    Scenario s;
    s.source = simaudio::Source::Ramp;
    s.frames = frames;
    s.periodMs = periodMs;
    return s;
}

TEST(Engine, HandsOutTheRampInOrderOneBatchPerWakeUp) {
    Scenario s = ramp(4, 0);
    s.burst = 3;
    s.silentEvery = 5;
    s.zeroPacketAt = 7;
    s.discontinuityAt = 2;
    s.discontinuityEvery = 11;
    EngineFixture f(s);
    f.engine.start();
    std::uint64_t frame = 0;
    for (std::uint64_t packet = 1; packet <= 12; ++packet) {
        SCOPED_TRACE(packet);
        if ((packet - 1) % 3 == 0) {
            ASSERT_EQ(WaitForSingleObject(f.event, 5000), WAIT_OBJECT_0);  // a new batch was signalled
        }
        UINT32 size = 0;
        ASSERT_EQ(f.engine.nextPacketSize(&size), S_OK);
        ASSERT_GT(size, 0u);
        UINT32 frames = 0;
        DWORD flags = 0;
        std::vector<float> samples;
        ASSERT_EQ(f.take(frames, flags, samples), S_OK);
        EXPECT_EQ(frames, packet == 7 ? 0u : 4u);
        EXPECT_EQ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0, packet % 5 == 0);
        EXPECT_EQ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0, packet == 2 || packet == 11);
        for (UINT32 i = 0; i < frames; ++i, ++frame) {
            if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
                EXPECT_NE(samples[2 * i], 0.0f);  // junk: a program must not write it
                continue;
            }
            EXPECT_EQ(samples[2 * i], simaudio::rampValue(frame));
            EXPECT_EQ(samples[2 * i + 1], -simaudio::rampValue(frame));
        }
        if (packet % 3 == 0) {
            ASSERT_EQ(f.engine.nextPacketSize(&size), S_OK);
            EXPECT_EQ(size, 0u);  // the batch is drained; the next one comes with the event
        }
    }
}

TEST(Engine, QuietStretchesPassEngineTimeWithoutPacketsAndPositionsFollowIt) {
    // 10 ms packets as fast as the reader goes; quiet from 20 ms for 30 ms and from 100 ms for 10 ms; packet
    // 10 lost without a flag.
    Scenario s;
    std::string error;
    ASSERT_TRUE(simaudio::parseScenario(
        "source=ramp,period=0,jitter=300,quiet=20:30,quiet=100:10,device_position=count,drop_unflagged=9:1",
        s, error))
        << error;
    EngineFixture f(s);
    f.engine.start();
    std::uint64_t previous = 0;
    for (std::uint64_t expectedFirst : {0u, 480u, 2400u, 2880u, 3360u, 3840u, 5280u}) {
        SCOPED_TRACE(expectedFirst);
        UINT64 device = 0;
        UINT64 position = 0;
        float first = 0;
        DWORD flags = 0;
        ASSERT_NO_FATAL_FAILURE(f.takeSignalled(device, position, first, &flags));
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(device, expectedFirst);
        EXPECT_EQ(first, simaudio::rampValue(expectedFirst));
        if (previous != 0) {
            // 208.3 ticks of 100 ns per frame, give or take the 300 us jitter at each end
            const double ticks = static_cast<double>(position) - static_cast<double>(previous);
            const double packets = expectedFirst == 2400 ? 4 : expectedFirst == 5280 ? 3 : 1;
            EXPECT_NEAR(ticks, 10000000.0 / 48000 * 480 * packets, 6000.0);
        }
        previous = position;
    }
}

TEST(Engine, PositionsDriftOffTheFrameCountOrTheCounterAndDevicePositionsAreAskedFor) {
    const struct {
        const char* items;
        std::int64_t driftTicks;  // over one second of frames
        std::uint64_t secondDevice;
    } cases[] = {{"frames=48000,device_position=count", 0, 48000},
                 {"frames=48000,drift=300,device_position=count", 3000, 48000},
                 {"frames=48000,drift=-300", -3000, 0},
                 {"frames=48000,stamp_offset=-2000", 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.items);
        Scenario s;
        std::string error;
        ASSERT_TRUE(simaudio::parseScenario(std::string("source=ramp,period=0,") + c.items, s, error));
        EngineFixture f(s);
        const std::uint64_t started = performanceClockNow();
        f.engine.start();
        UINT64 device[2] = {}, position[2] = {};
        float first = 0;
        for (int i = 0; i < 2; ++i) ASSERT_NO_FATAL_FAILURE(f.takeSignalled(device[i], position[i], first));
        EXPECT_EQ(device[0], 0u);
        EXPECT_EQ(device[1], c.secondDevice);
        EXPECT_EQ(static_cast<std::int64_t>(position[1] - position[0]), 10000000 + c.driftTicks);
        const std::uint64_t off = position[0] > started ? position[0] - started : started - position[0];
        EXPECT_EQ(off > 10000000, std::string(c.items).find("stamp_offset") != std::string::npos) << off;
    }
}

TEST(Engine, EmptyWakeUpsAndAnInvalidationThatSignalsNothing) {
    const std::pair<std::uint64_t, std::uint32_t> cases[] = {{simaudio::kNever, 20}, {2, 0}, {2, 20}};
    for (const auto& [invalidateAfter, emptyWakesMs] : cases) {
        SCOPED_TRACE(invalidateAfter);
        SCOPED_TRACE(emptyWakesMs);
        Scenario s = ramp(4, 0);
        s.emptyWakesMs = emptyWakesMs;
        s.packets = 3;
        s.burst = 3;
        s.invalidateAfter = invalidateAfter;
        EngineFixture f(s);
        f.engine.start();
        ASSERT_EQ(WaitForSingleObject(f.event, 5000), WAIT_OBJECT_0);
        UINT32 frames = 0;
        DWORD flags = 0;
        std::vector<float> samples;
        for (std::uint64_t packet = 0; packet < 3 && packet < invalidateAfter; ++packet)
            ASSERT_EQ(f.take(frames, flags, samples), S_OK);
        UINT32 size = 1;
        BYTE* data = nullptr;
        if (invalidateAfter == simaudio::kNever) {
            // Every packet taken, and the event still comes with nothing ready.
            for (int wake = 0; wake < 3; ++wake) ASSERT_EQ(WaitForSingleObject(f.event, 5000), WAIT_OBJECT_0);
            ASSERT_EQ(f.engine.nextPacketSize(&size), S_OK);
            EXPECT_EQ(size, 0u);
            EXPECT_EQ(f.engine.getBuffer(&data, &frames, &flags), AUDCLNT_S_BUFFER_EMPTY);
            continue;
        }
        // Gone, and silent about it: no signal comes any more, not even an empty one.
        EXPECT_EQ(f.engine.nextPacketSize(&size), AUDCLNT_E_DEVICE_INVALIDATED);
        EXPECT_EQ(f.engine.getBuffer(&data, &frames, &flags), AUDCLNT_E_DEVICE_INVALIDATED);
        if (emptyWakesMs != 0) {
            // One empty wake-up may have been under way.
            simaudio::sleepFor(std::chrono::milliseconds(3 * emptyWakesMs));
            WaitForSingleObject(f.event, 0);
        }
        EXPECT_EQ(WaitForSingleObject(f.event, 200), WAIT_TIMEOUT);
    }
}

TEST(Engine, FailedGetBufferLeavesThePacketForTheNextCallAndAnnouncesItAgain) {
    Scenario s = ramp(4, 0);
    s.failBufferAt = 2;
    s.burst = 2;
    EngineFixture f(s);
    f.engine.start();
    ASSERT_EQ(WaitForSingleObject(f.event, 5000), WAIT_OBJECT_0);
    UINT32 frames = 0;
    DWORD flags = 0;
    std::vector<float> samples;
    ASSERT_EQ(f.take(frames, flags, samples), S_OK);
    EXPECT_EQ(f.take(frames, flags, samples), AUDCLNT_E_BUFFER_ERROR);
    // A reader that goes back to waiting after the failure is woken for the packet still there.
    EXPECT_EQ(WaitForSingleObject(f.event, 0), WAIT_OBJECT_0);
    ASSERT_EQ(f.take(frames, flags, samples), S_OK);
    EXPECT_EQ(samples[0], simaudio::rampValue(4));
}

TEST(Engine, GetBufferTwiceWithoutReleaseIsOutOfOrder) {
    EngineFixture f(ramp(4, 0));
    f.engine.start();
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(f.engine.getBuffer(&data, &frames, &flags), S_OK);
    EXPECT_EQ(f.engine.getBuffer(&data, &frames, &flags), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(f.engine.releaseBuffer(frames + 1), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(f.engine.releaseBuffer(frames), S_OK);
}

TEST(Engine, DeviceInvalidatedAfterNPacketsFailsEveryQueryAndSignals) {
    Scenario s = ramp(4, 0);
    s.failSizeAfter = 2;
    s.burst = 5;
    EngineFixture f(s);
    f.engine.start();
    ASSERT_EQ(WaitForSingleObject(f.event, 5000), WAIT_OBJECT_0);
    UINT32 frames = 0;
    DWORD flags = 0;
    std::vector<float> samples;
    ASSERT_EQ(f.take(frames, flags, samples), S_OK);
    ASSERT_EQ(f.take(frames, flags, samples), S_OK);
    EXPECT_EQ(WaitForSingleObject(f.event, 5000), WAIT_OBJECT_0);
    UINT32 size = 0;
    EXPECT_EQ(f.engine.nextPacketSize(&size), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(f.engine.nextPacketSize(&size), AUDCLNT_E_DEVICE_INVALIDATED);
}

TEST(Engine, ClockFillsTheBufferDropsTheOldestWhenFullAndStopsOnStop) {
    Scenario s = ramp(480, 1);
    s.capacityFrames = 960;
    EngineFixture f(s);
    f.engine.start();
    // Each wake-up signals once and nothing is taken: after five, at least three packets went.
    for (int wakeUp = 0; wakeUp < 5; ++wakeUp) ASSERT_EQ(WaitForSingleObject(f.event, 5000), WAIT_OBJECT_0);
    f.engine.stop();

    // What is left is the newest audio, whole packets, the first one flagged as following a gap.
    UINT32 frames = 0;
    DWORD flags = 0;
    std::vector<float> samples;
    ASSERT_EQ(f.take(frames, flags, samples), S_OK);
    EXPECT_NE(flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0u);
    EXPECT_GE(samples[0], simaudio::rampValue(3 * 480));
    ASSERT_EQ(f.take(frames, flags, samples), S_OK);
    UINT32 size = 1;
    ASSERT_EQ(f.engine.nextPacketSize(&size), S_OK);
    EXPECT_EQ(size, 0u);

    // Stopped: no packet and no signal any more.
    WaitForSingleObject(f.event, 0);
    EXPECT_EQ(WaitForSingleObject(f.event, 100), WAIT_TIMEOUT);
    ASSERT_EQ(f.engine.nextPacketSize(&size), S_OK);
    EXPECT_EQ(size, 0u);
}

}  // namespace
