#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "level_stats.h"

namespace lbas2wav {

void Progress::Update(std::uint64_t total_frames, const lbas::Frame* frames, std::size_t count) {
    if (mode_ == Mode::kOff || count == 0) return;
    for (std::size_t i = 0; i < count; ++i) {
        peak_[0] = std::fmax(peak_[0], std::fabs(frames[i].left));
        peak_[1] = std::fmax(peak_[1], std::fabs(frames[i].right));
    }
    const Clock::time_point now = Clock::now();
    if (printed_ && now - last_ < kInterval) return;
    last_ = now;
    printed_ = true;

    char text[128];
    std::snprintf(
        text, sizeof text, "%.1f s captured, peak %s / %s", static_cast<double>(total_frames) / rate_,
        FormatDbfs(static_cast<double>(peak_[0])).c_str(), FormatDbfs(static_cast<double>(peak_[1])).c_str());
    if (mode_ == Mode::kTerminal) {
        // Pad over the previous, possibly longer, line instead of relying on terminal escapes.
        const int length = static_cast<int>(std::strlen(text));
        std::fprintf(out_, "\r%s%*s", text, std::max(0, line_length_ - length), "");
        line_length_ = length;
    } else {
        std::fprintf(out_, "lbas2wav: %s\n", text);
    }
    std::fflush(out_);
    peak_[0] = peak_[1] = 0.0f;
}

void Progress::End() {
    if (mode_ == Mode::kTerminal && printed_) std::fputc('\n', out_);
    printed_ = false;
    line_length_ = 0;
}

}  // namespace lbas2wav
