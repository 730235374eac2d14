#include "peak_history.h"

#include <cmath>

namespace lbas2wav {

void PeakHistory::Add(const lbas::Frame* frames, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const float l = std::fabs(frames[i].left);
        const float r = std::fabs(frames[i].right);
        if (l > current_.peak[0]) current_.peak[0] = l;
        if (r > current_.peak[1]) current_.peak[1] = r;
        if (++current_frames_ == block_frames_) {
            done_.push_back(current_);
            current_ = {};
            current_frames_ = 0;
        }
    }
    frames_ += count;
}

std::vector<PeakHistory::Block> PeakHistory::Blocks() const {
    std::vector<Block> blocks = done_;
    if (current_frames_ > 0) blocks.push_back(current_);
    return blocks;
}

}  // namespace lbas2wav
