// lbas2wav [options] [INPUT] OUTPUT.wav: converts an audio-helper stream to a WAV file.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "exit_codes.h"
#include "file_io.h"
#include "options.h"
#include "same_file.h"
#include "stop_signal.h"
#include "svg_plot.h"
#include "wav_writer.h"

namespace {

using namespace lbas2wav;

void PrintError(const std::string& message) {
    std::fprintf(stderr, "lbas2wav: error: %s\n", message.c_str());
}

void PrintSummary(const Options& o, const ConvertResult& r) {
    const double seconds = static_cast<double>(r.frames) / r.format.rate;
    std::fprintf(stderr, "lbas2wav: wrote %s: %.3f s, %llu frames%s\n", o.output.c_str(), seconds,
                 static_cast<unsigned long long>(r.frames), r.stopped ? " (stopped by signal)" : "");
    for (std::size_t ch = 0; ch < r.format.channels; ++ch) {
        const ChannelLevels& c = r.levels.channel[ch];
        std::fprintf(stderr, "  channel %zu: peak %s, RMS %s, digital silence %.1f %%", ch,
                     FormatDbfs(c.Peak()).c_str(), FormatDbfs(c.Rms()).c_str(), 100.0 * c.SilenceShare());
        // Samples that are not numbers have no level: said apart, so they never pass for quiet audio.
        if (c.nan_samples > 0) std::fprintf(stderr, ", NaN %.1f %%", 100.0 * c.NanShare());
        std::fputc('\n', stderr);
    }
}

Progress::Mode ChooseProgress(const Options& o) {
    if (o.quiet || o.progress == Options::ProgressChoice::kOff) return Progress::Mode::kOff;
    if (isatty(STDERR_FILENO)) return Progress::Mode::kTerminal;
    return o.progress == Options::ProgressChoice::kOn ? Progress::Mode::kLines : Progress::Mode::kOff;
}

int Run(const Options& o) {
    if (IoError e = InstallStopSignals()) {
        PrintError(e.Message());
        return kExitReadError;
    }
    int fd = STDIN_FILENO;
    if (o.input != "-") {
        fd = OpenInput(o.input);
        if (fd < 0) {
            PrintError("cannot open '" + o.input + "': " + std::strerror(errno));
            return kExitReadError;
        }
    } else if (isatty(STDIN_FILENO)) {
        PrintError("standard input is a terminal; pipe the helper's output in or name an input file");
        return kExitUsage;
    }

    // Creating the WAV or the SVG would truncate whatever else that file is.
    const FileIdentity input = IdentifyDescriptor(fd);
    const FileIdentity output = IdentifyPath(o.output);
    const FileIdentity svg = o.svg.empty() ? FileIdentity{} : IdentifyPath(o.svg);
    const char* clash = input.SameAs(output) ? "INPUT and OUTPUT are the same file"
                        : input.SameAs(svg)  ? "--svg FILE and INPUT are the same file"
                        : output.SameAs(svg) ? "--svg FILE and OUTPUT are the same file"
                                             : nullptr;
    if (clash != nullptr) {
        if (fd != STDIN_FILENO) ::close(fd);
        PrintError(clash);
        return kExitUsage;
    }

    Progress progress(ChooseProgress(o));
    ConvertResult r = Convert(fd, o, progress, WavWriter::kMaxDataBytes);
    if (fd != STDIN_FILENO) ::close(fd);

    if (r.wav_written && !o.svg.empty()) {
        if (IoError e = WritePeakSvg(o.svg, r.history); e && r.exit_code == kExitOk) {
            r.exit_code = kExitWriteError;
            r.error = "cannot write '" + o.svg + "': " + e.Message();
        }
    }
    if (r.wav_written && !o.quiet) PrintSummary(o, r);
    if (!r.error.empty()) PrintError(r.error);
    return r.exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    BinaryStdin();
    const ParseResult parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        PrintError(parsed.error);
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (parsed.options.version) {
        std::printf("lbas2wav %s\n", LBAS2WAV_VERSION);
        return kExitOk;
    }
    return Run(parsed.options);
}
