// A log of the calls the program makes on the simulated platform, written to the scenario's trace file
// when the process exits, with the objects still alive then. Tests read it to check call order and
// that every object is released exactly as it should be.
#pragma once

#include <atomic>
#include <string>

#include "winaudio/windows_audio.h"

namespace simaudio {

void trace(const std::string& line);

// Objects alive now, by kind; the trace's last lines report them at exit.
struct LiveObjects {
    std::atomic<int> operations{0};
    std::atomic<int> clients{0};
    std::atomic<int> captureClients{0};
    std::atomic<int> comJoins{0};
    std::atomic<int> completing{0};  // completion threads that still hold their references
};
LiveObjects& liveObjects();

// The handler the program gave for activation, to report its remaining references at exit.
void rememberHandler(IUnknown* handler);
// Its references now, the completion thread's own excepted; -1 before there is one.
int handlerReferences();

// Writes the trace now if the scenario asks for one (also called at exit).
void flushTrace();

}  // namespace simaudio
