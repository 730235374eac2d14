#include "linuxaudio/engine.h"

namespace linuxaudio {

HRESULT createPipeWireEngine(std::shared_ptr<const ProcessTreeFilter>, std::unique_ptr<Engine>&) {
    return AUDCLNT_E_SERVICE_NOT_RUNNING;
}

}  // namespace linuxaudio
