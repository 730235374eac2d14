// The engine for machines whose audio server is PulseAudio: each kept application stream is recorded
// from its sink's monitor on its own, and the recordings are mixed in time by a StreamMixer clocked by
// the default sink's monitor.
#pragma once

#include "linuxaudio/server_engine.h"

namespace pulse {

// Connects to the PulseAudio server; AUDCLNT_E_SERVICE_NOT_RUNNING when none answers.
HRESULT createEngine(std::shared_ptr<linuxaudio::ProcessTreeFilter> filter,
                     std::unique_ptr<linuxaudio::ServerEngine>& engine);

}  // namespace pulse
