#include "svg_plot.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "level_stats.h"

namespace lbas2wav {
namespace {

constexpr int kPlotWidth = 800;
constexpr int kLaneHeight = 100;
constexpr int kLaneGap = 24;
constexpr int kLeft = 48;
constexpr int kTop = 28;
constexpr double kFloorDb = -60.0;

// Height of a peak in the lane: 0 dBFS (or more) is full, kFloorDb or less is empty.
double Height(float peak) {
    const double db = ToDbfs(static_cast<double>(peak));
    const double clamped = std::clamp(std::isnan(db) ? kFloorDb : db, kFloorDb, 0.0);
    return (clamped - kFloorDb) / -kFloorDb * kLaneHeight;
}

}  // namespace

std::string RenderPeakSvg(const PeakHistory& history) {
    const std::vector<PeakHistory::Block> blocks = history.Blocks();
    const std::size_t columns = std::min<std::size_t>(blocks.size(), kPlotWidth);
    const double seconds = static_cast<double>(history.frames()) / history.format().rate;
    const int width = kLeft + kPlotWidth + 16;
    const int height = kTop + 2 * kLaneHeight + kLaneGap + 28;

    std::ostringstream svg;
    svg.setf(std::ios::fixed);
    svg.precision(1);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << ' ' << height
        << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << kLeft << "\" y=\"16\">Peak level per 0.1 s (dBFS), " << seconds << " s</text>\n";

    for (std::size_t ch = 0; ch < history.format().channels; ++ch) {
        const int top = kTop + static_cast<int>(ch) * (kLaneHeight + kLaneGap);
        const int bottom = top + kLaneHeight;
        svg << "<g>\n<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << kPlotWidth << "\" height=\""
            << kLaneHeight << "\" fill=\"#f4f4f4\"/>\n";
        for (int db = 0; db >= static_cast<int>(kFloorDb); db -= 20) {
            const double y = top + (static_cast<double>(db) / kFloorDb) * kLaneHeight;
            svg << "<line x1=\"" << kLeft << "\" x2=\"" << kLeft + kPlotWidth << "\" y1=\"" << y << "\" y2=\""
                << y << "\" stroke=\"#ccc\"/><text x=\"" << kLeft - 4 << "\" y=\"" << y + 4
                << "\" text-anchor=\"end\">" << db << "</text>\n";
        }
        if (columns > 0) {
            svg << "<path fill=\"steelblue\" d=\"M" << kLeft << ' ' << bottom;
            for (std::size_t c = 0; c < columns; ++c) {
                // Each column shows the loudest block it covers, so short peaks stay visible.
                const std::size_t first = c * blocks.size() / columns;
                const std::size_t last = (c + 1) * blocks.size() / columns;
                float peak = 0.0f;
                for (std::size_t b = first; b < last; ++b) peak = std::max(peak, blocks[b].peak[ch]);
                const double x0 = kLeft + static_cast<double>(c) * kPlotWidth / static_cast<double>(columns);
                const double x1 =
                    kLeft + static_cast<double>(c + 1) * kPlotWidth / static_cast<double>(columns);
                const double y = bottom - Height(peak);
                svg << " L" << x0 << ' ' << y << " L" << x1 << ' ' << y;
            }
            svg << " L" << kLeft + kPlotWidth << ' ' << bottom << " Z\"/>\n";
        }
        svg << "<text x=\"" << kLeft + 4 << "\" y=\"" << top + 12 << "\">channel " << ch << "</text>\n</g>\n";
    }
    const int axis = kTop + 2 * kLaneHeight + kLaneGap + 16;
    svg << "<text x=\"" << kLeft << "\" y=\"" << axis << "\">0 s</text>\n"
        << "<text x=\"" << kLeft + kPlotWidth << "\" y=\"" << axis << "\" text-anchor=\"end\">" << seconds
        << " s</text>\n</svg>\n";
    return svg.str();
}

IoError WritePeakSvg(const std::string& path, const PeakHistory& history) {
    const std::string text = RenderPeakSvg(history);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return {errno, "create SVG"};
    const bool wrote = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int err = wrote ? 0 : errno;
    if (std::fclose(f) != 0 && err == 0) err = errno;
    if (!wrote && err == 0) err = EIO;
    if (err != 0) {
        std::remove(path.c_str());
        return {err, "write SVG"};
    }
    return {};
}

}  // namespace lbas2wav
