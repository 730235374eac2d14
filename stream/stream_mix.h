// Several capture clients (one per process tree, where a client takes only one) summed into the one
// stream. Each source's frames arrive already placed by its own timeline, frame n of every source standing
// for the same time, so mixing is adding frame n to frame n. A source that falls behind (a tree that plays
// nothing hands out nothing for a while) does not hold the others back for longer than `holdFrames`: the
// stream goes on with the frames it has, and what that source brings later for frames already out is
// dropped, as its timeline had counted it as silence.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

class StreamMix {
  public:
    StreamMix(std::size_t sources, std::uint32_t channels, std::uint64_t holdFrames);

    // Source `source`'s next `frames` frames: interleaved samples, or zeros when `samples` is null.
    void add(std::size_t source, const float* samples, std::uint64_t frames);

    // Hands every frame that may go out now to `emit(samples, frames)` in order, in runs: `samples` null
    // for a run where no source has anything but zeros. The frames a run shows stay valid during the call.
    template <class Emit>
    void mix(Emit&& emit);

    // Frames handed out so far.
    std::uint64_t mixed() const { return m_mixed; }

  private:
    struct Run {
        std::uint64_t frames;
        std::vector<float> samples;  // empty: zeros
    };
    struct Source {
        std::deque<Run> runs;
        std::uint64_t end = 0;       // frames added, ever
        std::uint64_t consumed = 0;  // frames of the first run already mixed
    };

    // Where the stream may go now: every source's end, or the leader's less the hold.
    std::uint64_t target() const;
    // Drops what a source holds before the frames already mixed.
    void dropBefore(Source& source, std::uint64_t frame);
    // The next run's length at the mixed position: where some source's run ends, at most `limit`;
    // fills m_scratch and returns true when any source has audio there.
    bool nextRun(std::uint64_t limit, std::uint64_t& frames);

    std::vector<Source> m_sources;
    std::uint32_t m_channels;
    std::uint64_t m_holdFrames;
    std::uint64_t m_mixed = 0;
    std::vector<float> m_scratch;
};

template <class Emit>
void StreamMix::mix(Emit&& emit) {
    const std::uint64_t until = target();
    while (m_mixed < until) {
        std::uint64_t frames = 0;
        const bool audio = nextRun(until - m_mixed, frames);
        emit(audio ? m_scratch.data() : nullptr, frames);
        m_mixed += frames;
        for (Source& source : m_sources) dropBefore(source, m_mixed);
    }
}
