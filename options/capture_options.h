// What the parent asked for beyond the process to leave out: the options after the first argument.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace options {

// Left as they are, every field gives the one-argument call: that tree left out, 48 kHz stereo.
struct CaptureOptions {
    std::vector<std::uint32_t> extraPids;  // --pid, in the order given; the first argument's tree comes first
    bool include = false;                  // --include: only the trees, instead of all but them
    std::uint32_t rate = 48000;            // --rate
    std::uint32_t channels = 2;            // --channels
    int statusFd = -1;                     // --status-fd, or -1 for none
    bool stopOnStdinClose = false;         // --stop-on-stdin-close
};

// The rates a parent may ask for.
constexpr std::uint32_t kRates[] = {8000, 16000, 22050, 24000, 32000, 44100, 48000};

constexpr bool isOfferedRate(std::uint64_t value) {
    for (const std::uint32_t rate : kRates)
        if (value == rate) return true;
    return false;
}

// Reads argv[2..argc) into `options`. An argument that does not begin with "--" is ignored, as it always
// was. On an unknown option, a missing or bad value, or a single option given twice, returns false with
// `error` saying which and why (one line, no newline).
bool parseCaptureOptions(int argc, const wchar_t* const* argv, CaptureOptions& options, std::wstring& error);

}  // namespace options
