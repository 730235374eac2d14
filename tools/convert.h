// The conversion loop: stream in, WAV out, levels and progress on the side.
#pragma once

#include <cstdint>
#include <string>

#include "level_stats.h"
#include "options.h"
#include "peak_history.h"
#include "progress.h"

namespace lbas2wav {

struct ConvertResult {
    int exit_code = 0;
    std::string error;         // one line; empty on success
    bool wav_written = false;  // a valid WAV exists at the output path
    bool stopped = false;      // ended by a stop signal
    std::uint64_t frames = 0;  // frames in the WAV
    lbas::Format format;       // the stream's, as its header says
    LevelStats levels;
    PeakHistory history;
};

// Reads the stream from `input_fd` until it ends or a stop signal arrives.
// `max_wav_data_bytes` exists so tests can reach the size limit.
ConvertResult Convert(int input_fd, const Options& options, Progress& progress,
                      std::uint64_t max_wav_data_bytes);

}  // namespace lbas2wav
