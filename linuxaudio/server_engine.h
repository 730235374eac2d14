// What each Linux audio server's engine provides to the audio client: frames into a PacketBuffer.
#pragma once

#include <memory>

#include "linuxaudio/packet_buffer.h"
#include "linuxaudio/process_tree.h"

namespace linuxaudio {

// One per activated audio client.
class ServerEngine {
  public:
    virtual ~ServerEngine() = default;
    // Begins delivering frames (silence as zero frames) into `buffer`, which outlives the engine, in the
    // buffer's format, converted by the server. On the server's loss the engine calls buffer.fail().
    virtual HRESULT start(PacketBuffer& buffer) = 0;
    // No more frames after it returns.
    virtual void stop() = 0;
    // The largest packet the engine's buffer holds in `format` (0: 10 ms): engines that end packets at
    // their server's cycles may make them longer.
    virtual UINT32 maxPacketFrames(const stream::StreamFormat& format) const {
        (void)format;
        return 0;
    }
};

// What the silent-capture watch asks (playingForCapture): `probe(context)` is 1 while audio the capture
// should hear plays unheard, 0 if not, -1 when the engine cannot tell. An engine that can answer sets it
// while started and clears it (nullptr, with its own context) before it stops; the call then waits for a
// question in progress.
using PlayingProbe = int (*)(void* context);
void setPlayingProbe(PlayingProbe probe, void* context);
// The probe's answer, or -1 when no engine set one.
int askPlayingProbe();

// Each server's factory connects to its server; AUDCLNT_E_SERVICE_NOT_RUNNING when none answers.
HRESULT createPipeWireEngine(std::shared_ptr<ProcessTreeFilter> filter,
                             std::unique_ptr<ServerEngine>& engine);
HRESULT createPulseEngine(std::shared_ptr<ProcessTreeFilter> filter, std::unique_ptr<ServerEngine>& engine);

// Connects to whichever server runs: PipeWire when its socket answers, else PulseAudio (AUDIO_HELPER_ENGINE
// set to "pipewire" or "pulse" allows only that one).
HRESULT createEngine(std::shared_ptr<ProcessTreeFilter> filter, std::unique_ptr<ServerEngine>& engine);

}  // namespace linuxaudio
