// Command line of lbas2wav.
#pragma once

#include <string>
#include <vector>

namespace lbas2wav {

struct Options {
    std::string input = "-";  // "-" = standard input
    std::string output;
    std::string svg;  // empty = no picture
    enum class ProgressChoice { kAuto, kOn, kOff } progress = ProgressChoice::kAuto;
    bool quiet = false;
    bool help = false;
    bool version = false;
};

struct ParseResult {
    Options options;
    std::string error;  // empty on success
};

ParseResult ParseOptions(const std::vector<std::string>& args);

extern const char kUsage[];

}  // namespace lbas2wav
