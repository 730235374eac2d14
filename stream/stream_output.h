// The stream after its header: packets and zero frames, in order, through writeAll. A write that fails or
// stops short (a full disk, a reader that went away) leaves bytes owed: the rest of a frame cut in two, so
// the stream stays frame-aligned, and the frames that did not go out, which the stream's clock counts as
// written. Once writes go through again the owed bytes go out as zeros before anything else, so every
// later frame still stands at its time. Owed frames beyond the timeline's longest gap are a stretch the
// timeline would not fill either: they are forgotten, the rest of a cut frame never is.
#pragma once

#include <cstdint>

#include "stream/silence.h"
#include "stream/stream_format.h"

class StreamOutput {
  public:
    explicit StreamOutput(const stream::StreamFormat& format);

    // Writes `bytes` (whole frames) from `data`, after whatever is owed.
    void audio(const void* data, std::uint64_t bytes);
    // Writes `bytes` zero bytes (whole frames), after whatever is owed.
    void zeros(std::uint64_t bytes);

    std::uint64_t owedBytes() const { return m_owed; }

  private:
    // Writes what is owed; true once nothing is.
    bool settle();
    void owe(std::uint64_t bytes);

    Silence m_silence;
    std::uint64_t m_owed = 0;
    std::uint32_t m_frameBytes;
    std::uint64_t m_longestOwedBytes;  // the timeline's longest gap
};
