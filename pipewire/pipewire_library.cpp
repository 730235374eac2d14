#include "pipewire/pipewire_library.h"

#include "linuxaudio/client_library.h"

namespace pipewire {

const PipeWireLibrary* library() {
    return linuxaudio::openClientLibrary<PipeWireLibrary>(
        "libpipewire-0.3.so.0", [](PipeWireLibrary& table, auto load) {
#define AUDIO_HELPER_LOAD(name) load(#name, table.name);
            AUDIO_HELPER_PIPEWIRE_FUNCTIONS(AUDIO_HELPER_LOAD)
#undef AUDIO_HELPER_LOAD
        });
}

}  // namespace pipewire
