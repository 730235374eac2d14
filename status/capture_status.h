// What the capture tells its parent on the status channel: the events, their fields and when each is due.
// Every call does nothing when the parent asked for no channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "status/level_meter.h"
#include "status/status_channel.h"
#include "stream/stream_format.h"

namespace status {

// Why zeros went into the stream for audio that was lost.
enum class GapCause { EngineOverflow, UnflaggedLoss, StalledReader, FailedWrite };

class CaptureStatus {
  public:
    // Levels every 100 ms of stream, a sync pair every second of it.
    static constexpr std::uint64_t kLevelMilliseconds = 100;
    // How long a failed set-up waits for its reader to take the last events.
    static constexpr DWORD kCloseMilliseconds = 300;
    // A capture all zeros for this long while the render side says audio for it plays is a silent capture.
    static constexpr std::uint64_t kSilentCaptureTicks = 3 * stream::kTicksPerSecond;
    // How often the render side is asked.
    static constexpr DWORD kSilentCaptureWatchMs = 250;

    // `fd`: the parent's descriptor, or -1 for none. The channel opens at once, so set-up can report.
    explicit CaptureStatus(int fd);

    bool on() const { return m_channel.load() != nullptr; }

    // The stream in `format` began; frame 0 stands for `startTicks` on the performance clock. Makes the
    // level meter's storage, before the capture thread needs it.
    void started(stream::StreamFormat format, std::uint64_t startTicks);

    // The capture thread's calls, in stream order. Zeros for time in which nothing played carry no cause.
    void zeros(std::uint64_t frames);
    void gap(std::uint64_t frames, GapCause cause);
    // A packet's frames (`data` null: flagged silent), stamped `stampTicks` by the engine (0: no stamp
    // to trust).
    void packet(const void* data, std::uint64_t frames, std::uint64_t stampTicks);

    // Zeros written for a write that failed, at stream frame `frame` (the writer's thread).
    void failedWrite(std::uint64_t frame, std::uint64_t frames);

    // Watches the rule: the root processes of its trees (a `tree` event when one ends; capture goes on),
    // and whether what plays for the capture is heard (`silent-capture`), on threads of their own. After
    // started().
    void watch(DWORD firstRoot, const std::vector<std::uint32_t>& moreRoots, bool include);

    // A failure, with the call that failed and its status (and the status's name where it is a known one).
    void error(const char* call, std::uint32_t code);
    // An engine's failure: the call, an errno value (0: none) and what it says.
    void engineError(const char* call, int error, const char* text);

    // Set-up failed at `call` with `code`: the error, then the end, after which the channel is closed
    // (bounded, as at the end of a capture). Returns `exitCode`, the process's exit code.
    int failed(const char* call, std::uint32_t code, int exitCode);

    // The capture ended for `reason`, with `frames` frames written to the stream; the channel is closed
    // after that event, waiting at most `milliseconds` for the reader.
    void ended(const char* reason, std::uint64_t frames, DWORD milliseconds);

    std::uint64_t frames() const { return m_frames.load(std::memory_order_relaxed); }

  private:
    void post(const char* name, const char* members);
    // Levels and sync for frames in stream order.
    void feed(const void* data, std::uint64_t frames, std::uint64_t stampTicks);
    // Posts the gap that consecutive lost packets made, if one is pending.
    void flushGap();
    void postGap(std::uint64_t frame, std::uint64_t frames, GapCause cause);

    std::atomic<StatusChannel*> m_channel;
    StatusChannel* m_closed =
        nullptr;  // after the end: left to the process's end, as its writer may still run
    stream::StreamFormat m_format = stream::kDefaultFormat;
    LevelMeter m_meter{0, 1};
    static void treeEnded(void* context, DWORD pid);
    // The silent-capture watchdog's thread: polls the render side, compares with the last audio heard.
    static DWORD WINAPI watchSilence(LPVOID parameter);
    // Whether the watch should say so, given `silentTicks` without a sound and what the render side says.
    static bool silentCapture(std::uint64_t silentTicks, int playing) {
        return playing == 1 && silentTicks >= kSilentCaptureTicks;
    }

    // Frames the stream carries so far, as queued: the capture thread's, read by others for their events.
    std::atomic<std::uint64_t> m_frames{0};
    std::uint64_t m_nextSync = 0;
    std::atomic<std::uint64_t> m_lastHeard{0};
    std::vector<DWORD> m_roots;  // the rule's trees, for the render side; made before the watch starts
    bool m_include = false;      // when the capture last held a sound (performance clock)
    // Consecutive losses of one cause are one gap.
    std::uint64_t m_gapFrame = 0;
    std::uint64_t m_gapFrames = 0;
    GapCause m_gapCause = GapCause::EngineOverflow;
};

// The clock a sync pair's reading is on, from the performance clock's 100 ns ticks.
std::uint64_t statusClockFromTicks(std::uint64_t ticks);

}  // namespace status
