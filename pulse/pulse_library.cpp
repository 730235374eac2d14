#include "pulse/pulse_library.h"

#include "linuxaudio/client_library.h"

namespace pulse {

const PulseLibrary* library() {
    return linuxaudio::openClientLibrary<PulseLibrary>("libpulse.so.0", [](PulseLibrary& table, auto load) {
#define AUDIO_HELPER_LOAD(name) load(#name, table.name);
        AUDIO_HELPER_PULSE_FUNCTIONS(AUDIO_HELPER_LOAD)
#undef AUDIO_HELPER_LOAD
    });
}

}  // namespace pulse
