// Live progress on stderr: seconds captured and the peak level since the previous update,
// at most four updates a second. On a terminal one line is rewritten; otherwise (when asked
// for explicitly) each update is its own line, which suits logs and pipes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "reader/lbas_reader.h"

namespace lbas2wav {

class Progress {
  public:
    enum class Mode { kOff, kTerminal, kLines };

    explicit Progress(Mode mode, std::FILE* out = stderr) : mode_(mode), out_(out) {}

    // Counts seconds at `rate` (the stream header's) from now on.
    void SetRate(std::uint32_t rate) { rate_ = rate; }
    // `total_frames` includes `frames`.
    void Update(std::uint64_t total_frames, const lbas::Frame* frames, std::size_t count);
    // Ends the rewritten terminal line so later output starts on a fresh line.
    void End();

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kInterval{250};

    Mode mode_;
    std::FILE* out_;
    bool printed_ = false;
    int line_length_ = 0;
    Clock::time_point last_{};
    float peak_[lbas::kChannels] = {};
    std::uint32_t rate_ = lbas::kSampleRate;
};

}  // namespace lbas2wav
