// Draws the peak history as a small SVG: one lane per channel, peak dBFS over time.
#pragma once

#include <string>

#include "io_error.h"
#include "peak_history.h"

namespace lbas2wav {

std::string RenderPeakSvg(const PeakHistory& history);
// Writes the picture; a file that could not be written completely is removed.
IoError WritePeakSvg(const std::string& path, const PeakHistory& history);

}  // namespace lbas2wav
