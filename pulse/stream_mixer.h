// The PulseAudio engine's timeline: it mixes the separately recorded application streams into one
// 48 kHz stereo float stream whose pace is set by one sink's monitor (the clock). Pure logic, no server.
//
// Every clock delivery of N frames produces exactly N mixed frames, so time is never stretched. Each
// stream waits in a queue of its own; it starts (and restarts after running dry) behind a small cushion
// of silence so that its monitor's deliveries may come a little after the clock's without a gap. A
// stream that is short at a clock tick is filled with zeros; one that runs ahead (another sink's clock,
// a burst after a reopen) is trimmed back to the cushion, oldest frames first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pulse {

constexpr std::size_t kChannels = 2;
constexpr std::uint32_t kRate = 48000;

class StreamMixer {
  public:
    // cushionFrames: the silence a stream starts behind; aheadFrames: how far past the cushion a stream
    // may run before it is trimmed; capacityFrames: each stream's queue, and the largest clock delivery
    // mixed in one call.
    StreamMixer(std::size_t cushionFrames, std::size_t aheadFrames, std::size_t capacityFrames);

    // Streams are named by the caller's id (the sink input's index). Adding an existing id keeps its
    // queue, so a stream reopened after a move continues where it was.
    void addStream(std::uint32_t id);
    // The stream has ended: what it queued still plays out (its last cushion), then it is forgotten.
    void removeStream(std::uint32_t id);
    bool hasStream(std::uint32_t id) const;
    std::size_t streamCount() const;

    // The stream's recording restarts (its monitor was reopened after a move): the audio lost meanwhile is
    // replaced by silence, as much as brings the stream back to its cushion when the new audio arrives, so
    // the stream keeps its latency and the moves do not eat into its cushion.
    void resumeStream(std::uint32_t id);
    // Queues interleaved stereo frames a stream's monitor delivered.
    void pushStream(std::uint32_t id, const float* frames, std::size_t frameCount);
    // Queues silence for frames the server reported lost (a hole), so the stream keeps its time.
    void pushStreamSilence(std::uint32_t id, std::size_t frameCount);

    // The clock delivered frameCount frames: writes that many mixed frames (at most capacityFrames) to
    // out. Returns the frames written.
    std::size_t mixClockFrames(std::size_t frameCount, float* out);

    // Frames queued for a stream, for tests and diagnostics.
    std::size_t queuedFrames(std::uint32_t id) const;

  private:
    // A ring of interleaved frames, its storage allocated once when the stream is added.
    struct Queue {
        std::uint32_t id = 0;
        bool live = false;
        bool ending = false;  // removed: plays out what is queued, takes nothing new
        bool refill = false;  // resumed: its next audio comes a cushion behind what is queued
        bool primed = false;  // false until its cushion is in place: new, or ran dry
        std::vector<float> samples;
        std::size_t head = 0;  // in frames
        std::size_t count = 0;
    };

    Queue* find(std::uint32_t id);
    const Queue* find(std::uint32_t id) const;
    std::size_t capacityFrames() const { return m_capacity; }
    void append(Queue& queue, const float* frames, std::size_t frameCount);
    void appendSilence(Queue& queue, std::size_t frameCount);
    void dropOldest(Queue& queue, std::size_t frameCount);
    void addInto(Queue& queue, float* out, std::size_t frameCount);

    std::size_t m_cushion;
    std::size_t m_ahead;
    std::size_t m_capacity;
    std::vector<Queue> m_queues;  // slots are reused, so a stream that comes back allocates nothing
};

}  // namespace pulse
