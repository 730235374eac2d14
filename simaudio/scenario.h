// What the simulated audio engine does, set by the environment variable AUDIO_HELPER_SIM: a comma-separated
// list of key=value items or bare keys. A malformed list is an error, never silently ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/stream_format.h"
#include "winaudio/windows_audio.h"

namespace simaudio {

enum class Source { Tone, Ramp, Silence };

constexpr std::uint64_t kNever = UINT64_MAX;

struct Scenario {
    // Statuses the calls give; S_OK lets the call do its work.
    HRESULT coinit = S_OK;
    HRESULT activate = S_OK;
    HRESULT result = S_OK;
    HRESULT initialize = S_OK;
    HRESULT service = S_OK;
    HRESULT start = S_OK;
    bool noClient = false;
    std::uint64_t delayMs = 2;  // kNever: the completion never arrives

    Source source = Source::Tone;
    // Per packet; unless given, a period of the stream's format.
    std::uint32_t frames = static_cast<std::uint32_t>(
        stream::kDefaultFormat.framesFromMilliseconds(stream::kPeriodMilliseconds));
    bool framesGiven = false;
    // 0: a new batch as soon as the reader has taken the last.
    std::uint32_t periodMs = stream::kPeriodMilliseconds;
    std::uint32_t burst = 1;         // packets ready at each wake-up
    std::uint64_t packets = kNever;  // then the engine produces nothing more
    // The engine's buffer; 0: the buffer the client asks for, as on Windows, or one wake-up's burst where
    // that is more (a burst is packets the engine holds at once). On overflow the oldest audio is dropped and
    // the next packet handed out is flagged.
    std::uint32_t capacityFrames = 0;

    // Stretches of engine time (from, length, in ms) in which the engine hands out nothing and signals
    // nothing, as a real engine does while nothing plays; its time runs on.
    struct Quiet {
        std::uint64_t fromMs;
        std::uint64_t lengthMs;
    };
    std::vector<Quiet> quiet;
    // Stretches in which a session plays in the render meters while nothing of it reaches the capture (an
    // application whose audio process loopback never gets): the engine hands out nothing, as in quiet.
    std::vector<Quiet> unheard;
    std::uint32_t jitterUs = 0;  // packet positions wander by up to this much either way
    // Packet positions run this many millionths off the frame count (positive: the device is slow against
    // the counter); device positions keep counting frames.
    std::int32_t driftPpm = 0;
    // GetBuffer's device position counts frames; false: it is 0 on every packet, as a process-loopback
    // client's is on Windows.
    bool devicePositions = false;
    // After packet `after`, `count` packets are lost: made (time runs on) but never handed out, and the
    // packet after them is not flagged.
    struct Loss {
        std::uint64_t after;
        std::uint64_t count;
    };
    std::vector<Loss> unflaggedLosses;
    // Every stamp lies this many milliseconds off the counter, either way: stamps on a wrong base.
    std::int64_t stampOffsetMs = 0;
    // The event is signalled this often with nothing ready, as some engines do; 0: never.
    std::uint32_t emptyWakesMs = 0;
    // Packets stamped with a broken position: 0, a day early or a day late.
    enum class BadPosition { Zero, DayBack, DayAhead };
    struct BadPositionAt {
        std::uint64_t packet;  // 1-based
        BadPosition kind;
    };
    std::vector<BadPositionAt> badPositions;

    // Faults, by 1-based packet or call number; 0 or kNever: none.
    std::uint64_t silentEvery = 0;
    std::uint64_t failSizeAfter = kNever;
    // After N packets the stream is invalidated and the event is never signalled again.
    std::uint64_t invalidateAfter = kNever;
    std::uint64_t failBufferAt = 0;
    std::uint64_t discontinuityAt = 0;
    std::uint64_t discontinuityEvery = 0;
    std::uint64_t zeroPacketAt = 0;

    // Calls that take this long before doing their work, for stop requests at awkward moments.
    std::uint32_t stallCoinitMs = 0;
    std::uint32_t stallInitializeMs = 0;
    std::uint32_t stallServiceMs = 0;
    std::uint32_t stallStartMs = 0;

    std::string tracePath;  // where the call log goes at exit; empty: none

    // Not from the variable: the format the program's Initialize asked for, which the engine delivers.
    stream::StreamFormat format = stream::kDefaultFormat;

    // Kernel faults, for the events the program makes: that event's CreateEventW fails, or every wait on
    // it fails at once.
    bool failCompletionEvent = false;
    bool failCaptureEvent = false;
    bool failActivationWait = false;
    bool failCaptureWait = false;
    // After N packets, the next packet-size query fails once, then all is normal again; 0: none.
    std::uint64_t failSizeOnceAfter = 0;

    // A console stop request raised at one exact point (stop_at=...); it has been handled when the
    // point passes.
    enum class StopPoint { None, Coinit, Initialize, Service, Start, Packet, Release };
    StopPoint stopAt = StopPoint::None;
    std::uint64_t stopPacket = 0;  // Packet: just before packet N is readied; Release: as N is released
};

// The engine's buffer in frames, as the scenario sets it.
std::uint32_t engineCapacity(const Scenario& scenario);

// Parses `text` into `scenario` (starting from the defaults). On failure returns false and sets `error`
// to one line naming the bad item.
bool parseScenario(const std::string& text, Scenario& scenario, std::string& error);

// The scenario in force: from AUDIO_HELPER_SIM unless set with useScenario. A malformed variable yields
// the defaults and an error (see scenarioError).
const Scenario& currentScenario();
const std::string& scenarioError();
void useScenario(const Scenario& scenario);

}  // namespace simaudio
