// The one running engine's answer to the silent-capture watch, kept where the watch's thread can ask it.
#include <mutex>

#include "linuxaudio/server_engine.h"

namespace linuxaudio {

namespace {

std::mutex g_probeMutex;
PlayingProbe g_probe = nullptr;
void* g_context = nullptr;

}  // namespace

void setPlayingProbe(PlayingProbe probe, void* context) {
    std::lock_guard<std::mutex> lock(g_probeMutex);
    if (probe != nullptr) {
        g_probe = probe;
        g_context = context;
    } else if (g_context == context) {
        g_probe = nullptr;
        g_context = nullptr;
    }
}

int askPlayingProbe() {
    std::lock_guard<std::mutex> lock(g_probeMutex);
    return g_probe != nullptr ? g_probe(g_context) : -1;
}

}  // namespace linuxaudio
