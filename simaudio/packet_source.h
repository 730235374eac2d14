// The audio the simulated engine produces, and the fault each packet carries. Packets are numbered from 1
// in the order produced; frame numbers run on across packets, so a reader of the ramp can prove that no
// frame was lost, repeated or reordered.
#pragma once

#include <cstdint>
#include <vector>

#include "simaudio/scenario.h"

namespace simaudio {

struct Packet {
    std::uint64_t number;      // 1-based
    std::uint64_t firstFrame;  // of the continuous frame count
    std::uint32_t frames;
    std::uint32_t flags;     // AUDCLNT_BUFFERFLAGS_*
    std::uint64_t position;  // performance-counter time of the first frame, 100 ns units
};

class PacketSource {
  public:
    explicit PacketSource(const Scenario& scenario);
    // The scenario's format changed (before the first packet): the tone is made again at its rate.
    void formatChanged();

    bool exhausted() const { return m_produced >= m_scenario.packets; }
    std::uint64_t produced() const { return m_produced; }
    // The engine's time so far, in frames: every packet made, quiet and lost ones too.
    std::uint64_t framesMade() const { return m_nextFrame; }
    // The next packet; its position counts from `start`, the engine's time 0.
    Packet next(std::uint64_t start);
    // True for a packet that begins inside a quiet stretch, or is lost without a flag: it is made (time runs
    // on) but never handed out.
    bool quiet(const Packet& packet) const;

    // Fills `samples` with the packet's interleaved frames in the scenario's format: stereo, or mono as
    // the mean of the two channels. A silent packet gets non-zero junk, as the real engine gives no promise
    // about its contents.
    void render(const Packet& packet, std::vector<float>& samples) const;

  private:
    const Scenario& m_scenario;
    std::vector<float> m_toneCycle;  // one whole period of the tone, rendered once
    std::uint64_t m_produced = 0;
    std::uint64_t m_nextFrame = 0;
    std::uint64_t m_jitterState = 0x9E3779B97F4A7C15u;
};

// The ramp's frame numbers are engine time: frame n stands for n / rate s after the engine started, so a
// reader can check that every frame stands at its time. The sample on channel 0 for frame n of the ramp: n
// modulo 2^24, exact in a float (in mono too: the mean of n and its negation would say nothing).
inline float rampValue(std::uint64_t frame) { return static_cast<float>(frame & 0xFFFFFFu); }

}  // namespace simaudio
