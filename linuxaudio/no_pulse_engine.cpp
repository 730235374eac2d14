// Stands in for the PulseAudio engine in a tree that does not have one yet.
#include "linuxaudio/engine.h"

namespace linuxaudio {

HRESULT createPulseEngine(std::shared_ptr<const ProcessTreeFilter>, std::unique_ptr<Engine>&) {
    return AUDCLNT_E_SERVICE_NOT_RUNNING;
}

}  // namespace linuxaudio
