// Linked into the programs that run on the simulated engine: a malformed AUDIO_HELPER_SIM stops the
// process before it starts, with one line naming the bad item and exit code 125.
#include <cstdio>
#include <cstdlib>

#include "simaudio/scenario.h"

namespace {

const bool g_scenarioChecked = [] {
    const std::string& error = simaudio::scenarioError();
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::fflush(stderr);
        std::_Exit(125);
    }
    return true;
}();

}  // namespace
