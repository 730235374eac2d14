// Peak level per channel in 0.1 s blocks, kept for the whole run so a picture can be drawn at the
// end (a three-hour capture is about 108000 blocks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reader/lbas_reader.h"

namespace lbas2wav {

class PeakHistory {
  public:
    // Blocks of 0.1 s at the stream's rate.
    explicit PeakHistory(const lbas::Format& format = {})
        : format_(format), block_frames_(format.rate / 10 > 0 ? format.rate / 10 : 1) {}

    struct Block {
        float peak[lbas::kChannels] = {};
    };

    void Add(const lbas::Frame* frames, std::size_t count);
    // Completed blocks plus the partial last one.
    std::vector<Block> Blocks() const;
    std::uint64_t frames() const { return frames_; }
    const lbas::Format& format() const { return format_; }

  private:
    lbas::Format format_;
    std::uint32_t block_frames_;
    std::vector<Block> done_;
    Block current_;
    std::uint32_t current_frames_ = 0;
    std::uint64_t frames_ = 0;
};

}  // namespace lbas2wav
