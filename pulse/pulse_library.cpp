#include "pulse/pulse_library.h"

#include "linuxaudio/client_library.h"

namespace pulse {

const PulseLibrary* library() {
    static PulseLibrary table;
    static const bool loaded = linuxaudio::loadClientLibrary("libpulse.so.0", [](auto load) {
#define AUDIO_HELPER_LOAD(name) load(#name, table.name);
        AUDIO_HELPER_PULSE_FUNCTIONS(AUDIO_HELPER_LOAD)
#undef AUDIO_HELPER_LOAD
    });
    return loaded ? &table : nullptr;
}

}  // namespace pulse
