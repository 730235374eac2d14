// The audio client a process-loopback activation hands out on Linux, over an engine and a PacketBuffer.
#pragma once

#include <memory>

#include "linuxaudio/server_engine.h"

namespace linuxaudio {

// A new IAudioClient with one reference, owning `engine`.
IAudioClient* createAudioClient(std::unique_ptr<ServerEngine> engine);

}  // namespace linuxaudio
