#include "stream/stream_mix.h"

#include <algorithm>

namespace {

// Runs of audio are mixed this many frames at a time, so the scratch buffer stays small.
constexpr std::uint64_t kMixChunkFrames = 4096;

}  // namespace

StreamMix::StreamMix(std::size_t sources, std::uint32_t channels, std::uint64_t holdFrames)
    : m_sources(sources), m_channels(channels), m_holdFrames(holdFrames) {}

void StreamMix::add(std::size_t index, const float* samples, std::uint64_t frames) {
    if (frames == 0) return;  // an empty run would hold the mix in place
    Source& source = m_sources[index];
    const std::uint64_t begin = source.end;
    source.end += frames;
    if (source.end <= m_mixed) return;  // late: those frames are already out
    if (begin < m_mixed) {
        const std::uint64_t late = m_mixed - begin;
        if (samples != nullptr) samples += late * m_channels;
        frames -= late;
    }
    if (samples == nullptr && !source.runs.empty() && source.runs.back().samples.empty()) {
        source.runs.back().frames += frames;
        return;
    }
    Run run{frames, {}};
    if (samples != nullptr) run.samples.assign(samples, samples + frames * m_channels);
    source.runs.push_back(std::move(run));
}

std::uint64_t StreamMix::target() const {
    std::uint64_t least = UINT64_MAX;
    std::uint64_t most = 0;
    for (const Source& source : m_sources) {
        least = std::min(least, source.end);
        most = std::max(most, source.end);
    }
    if (m_sources.empty()) return m_mixed;
    const std::uint64_t held = most > m_holdFrames ? most - m_holdFrames : 0;
    return std::max({least, held, m_mixed});
}

void StreamMix::dropBefore(Source& source, std::uint64_t frame) {
    // The source's first run begins at end less everything it holds.
    std::uint64_t held = 0;
    for (const Run& run : source.runs) held += run.frames;
    held -= source.consumed;
    std::uint64_t at = source.end - held;
    while (at < frame && !source.runs.empty()) {
        Run& first = source.runs.front();
        const std::uint64_t left = first.frames - source.consumed;
        const std::uint64_t take = std::min(left, frame - at);
        at += take;
        source.consumed += take;
        if (source.consumed == first.frames) {
            source.runs.pop_front();
            source.consumed = 0;
        }
    }
}

bool StreamMix::nextRun(std::uint64_t limit, std::uint64_t& frames) {
    frames = limit;
    bool audio = false;
    for (const Source& source : m_sources) {
        if (source.runs.empty()) continue;  // nothing here yet: silence for now
        const Run& first = source.runs.front();
        frames = std::min(frames, first.frames - source.consumed);
        if (!first.samples.empty()) audio = true;
    }
    if (!audio) return false;
    frames = std::min(frames, kMixChunkFrames);
    m_scratch.assign(static_cast<std::size_t>(frames * m_channels), 0.0f);
    bool first = true;
    for (const Source& source : m_sources) {
        if (source.runs.empty() || source.runs.front().samples.empty()) continue;
        const float* from = source.runs.front().samples.data() + source.consumed * m_channels;
        const std::size_t count = static_cast<std::size_t>(frames * m_channels);
        // The first source is copied, not added to zero, so one source alone passes through bit for bit.
        if (first) {
            std::copy(from, from + count, m_scratch.begin());
        } else {
            for (std::size_t i = 0; i < count; ++i) m_scratch[i] += from[i];
        }
        first = false;
    }
    return true;
}
