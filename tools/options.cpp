#include "options.h"

namespace lbas2wav {

const char kUsage[] =
    "usage: lbas2wav [options] [INPUT] OUTPUT.wav\n"
    "Converts an audio-helper stream (INPUT, or standard input if absent or '-') to a\n"
    "48 kHz stereo 32-bit float WAV file.\n"
    "\n"
    "  --svg FILE     also draw the peak level over time as an SVG picture\n"
    "  --progress     show progress even when stderr is not a terminal (one line per update)\n"
    "  --no-progress  never show progress\n"
    "  -q, --quiet    no progress and no summary; errors are still reported\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "\n"
    "SIGINT (Ctrl+C), SIGTERM or SIGHUP ends the capture and completes the WAV file.\n";

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    std::vector<std::string> positional;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a == "-" || a.empty() || a[0] != '-') {
            positional.push_back(a);
        } else if (a == "--") {
            options_done = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
            return result;
        } else if (a == "--version") {
            o.version = true;
            return result;
        } else if (a == "-q" || a == "--quiet") {
            o.quiet = true;
        } else if (a == "--progress") {
            o.progress = Options::ProgressChoice::kOn;
        } else if (a == "--no-progress") {
            o.progress = Options::ProgressChoice::kOff;
        } else if (a == "--svg") {
            if (i + 1 == args.size()) return {o, "--svg needs a file name"};
            o.svg = args[++i];
        } else if (a.rfind("--svg=", 0) == 0) {
            o.svg = a.substr(6);
        } else {
            return {o, "unknown option '" + a + "'"};
        }
        if (o.svg.empty() && (a == "--svg" || a.rfind("--svg=", 0) == 0))
            return {o, "--svg needs a file name"};
    }
    if (positional.empty()) return {o, "missing OUTPUT.wav"};
    if (positional.size() > 2) return {o, "too many arguments"};
    o.output = positional.back();
    if (positional.size() == 2) o.input = positional.front();
    if (o.output == "-") return {o, "OUTPUT must be a file: the WAV header is completed in place at the end"};
    return result;
}

}  // namespace lbas2wav
