// The PulseAudio engine's timeline: it mixes the separately recorded application streams into one float
// stream of the capture's format whose pace is set by one sink's monitor (the clock). Pure logic, no server.
//
// Every clock frame becomes exactly one mixed frame, so time is never stretched. Each stream waits in a
// queue of its own, aligned on its first delivery with the clock's newest frame. A clock frame is mixed
// once every stream that is playing has delivered its audio for it: a stream whose delivery comes after
// the clock's holds the mix back instead of being filled with zeros, for as long as its patience allows.
// Patience is time since the clock frame arrived, not frames, so a backlog handed over in one burst (after
// the helper was stopped) is never taken for a late stream. Only a stream later than that is filled with
// zeros (a dropout); its patience then grows, so a server that delivers late under load is waited for,
// and shrinks again slowly while it keeps pace. A stream
// that runs ahead (another sink's clock, a burst after a reopen) is trimmed, oldest frames first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stream/stream_format.h"

namespace pulse {

// Patience is given in frames of the stream's rate and measured against arrival times in 100 ns units.
// The engine's tuning is in time (forFormat). Waiting costs latency only while a stream is late, so the
// patience starts where a loaded machine needs it (a delivery 20 ms late was seen under load) and never
// shrinks below that.
struct MixerLimits {
    std::size_t patienceFrames;     // late before a new stream's first dropout
    std::size_t maxPatienceFrames;  // the most an underrun may grow it to
    std::size_t minPatienceFrames;
    std::size_t shrinkEveryFrames;  // mixed without an underrun before ...
    std::size_t shrinkFrames;       // ... the patience shrinks by this
    std::size_t aheadFrames;        // how far a stream may run ahead of the clock before a trim
    std::size_t capacityFrames;     // each stream's queue, and the most mixed in one call

    static constexpr MixerLimits forFormat(const stream::StreamFormat& format) {
        const auto ms = [&format](std::uint64_t milliseconds) {
            return static_cast<std::size_t>(format.framesFromMilliseconds(milliseconds));
        };
        return {ms(40), ms(80), ms(40), ms(10000), ms(1), ms(40), ms(500)};
    }
};

class StreamMixer {
  public:
    // Mixes frames of `format`: its channel count, and its rate for patience in time.
    explicit StreamMixer(const MixerLimits& limits, stream::StreamFormat format = stream::kDefaultFormat);

    // Streams are named by the caller's id (the sink input's index). Adding an existing id keeps its
    // queue, so a stream reopened after a move continues where it was.
    void addStream(std::uint32_t id);
    // The stream has ended: what it queued still plays out, it is no longer waited for, then forgotten.
    void removeStream(std::uint32_t id);

    // The stream's recording restarts (its monitor was reopened after a move). A stream under way is waited
    // for as a late one; the new recording's first audio was rendered with the clock's newest frames, so it
    // ends there, the time lost meanwhile silent. A reopening slower than the patience is no dropout.
    void resumeStream(std::uint32_t id);
    // Queues interleaved frames a stream's monitor delivered.
    void pushStream(std::uint32_t id, const float* frames, std::size_t frameCount);
    // Queues silence for frames the server reported lost (a hole), so the stream keeps its time.
    void pushStreamSilence(std::uint32_t id, std::size_t frameCount);

    // The clock delivered frameCount frames at `now`: they wait to be mixed.
    void addClockFrames(std::size_t frameCount, std::int64_t now);
    // Writes up to maxFrames mixed frames to out, as many as are ready at `now`; returns the count. Call
    // it again until it returns 0, after every delivery of the clock or of a stream.
    std::size_t mix(float* out, std::size_t maxFrames, std::int64_t now);

    // Frames the stream may queue now without running further ahead of the clock than a trim allows: while
    // the clock's backlog is held back, what a stream delivers beyond this waits with the server's library.
    std::size_t roomFor(std::uint32_t id) const;

    // Clock frames waiting to be mixed, and the times a late stream was filled with zeros.
    std::size_t pendingClockFrames() const { return m_pending; }
    std::uint64_t dropouts() const { return m_dropouts; }

  private:
    // A ring of interleaved frames, its storage allocated once when the stream is added.
    struct Queue {
        std::uint32_t id = 0;
        bool live = false;
        bool ending = false;   // removed: plays out what is queued, takes nothing new
        bool waited = false;   // playing: the mix waits for its audio; false until it delivers
        bool resumed = false;  // its recording was reopened and has not delivered yet
        std::size_t patience = 0;
        std::size_t steadyFrames = 0;  // mixed since its last underrun or shrink
        std::vector<float> samples;
        std::size_t head = 0;  // in frames
        std::size_t count = 0;
    };

    Queue* find(std::uint32_t id);
    const Queue* find(std::uint32_t id) const;
    void append(Queue& queue, const float* frames, std::size_t frameCount);
    void appendSilence(Queue& queue, std::size_t frameCount);
    void dropOldest(Queue& queue, std::size_t frameCount);
    void addInto(Queue& queue, float* out, std::size_t frameCount);
    void keepPace(Queue& queue, std::size_t mixed, bool underrun);
    std::int64_t arrivalOf(std::uint64_t clockFrame) const;

    // When the clock frames not yet mixed arrived: each delivery's end (a clock frame index) and time.
    struct Delivery {
        std::uint64_t end = 0;
        std::int64_t arrival = 0;
    };

    MixerLimits m_limits;
    stream::StreamFormat m_format;
    std::size_t m_channels;
    std::size_t m_pending = 0;           // clock frames not yet mixed
    std::uint64_t m_mixed = 0;           // clock frames mixed
    std::vector<Delivery> m_deliveries;  // a ring, oldest at m_firstDelivery
    std::size_t m_firstDelivery = 0;
    std::size_t m_deliveryCount = 0;
    std::uint64_t m_dropouts = 0;
    std::vector<Queue> m_queues;  // slots are reused, so a stream that comes back allocates nothing
};

}  // namespace pulse
