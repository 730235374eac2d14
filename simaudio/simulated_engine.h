// The simulated engine behind one audio client: a bounded buffer of packets filled on a clock (or, with
// period 0, as soon as the reader has taken the last batch), the event it signals when packets are
// ready, and the packets it lends to the capture client's shared rules, oldest first.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "simaudio/packet_source.h"
#include "simaudio/scenario.h"
#include "simaudio/threads.h"
#include "loopback/loopback_client.h"
#include "loopback/packet_queue.h"

namespace simaudio {

class SimulatedEngine : public PacketHandOut<SimulatedEngine, std::mutex> {
  public:
    explicit SimulatedEngine(const Scenario& scenario);
    ~SimulatedEngine();
    SimulatedEngine(const SimulatedEngine&) = delete;
    SimulatedEngine& operator=(const SimulatedEngine&) = delete;

    // The scenario's refusals of the audio client's calls (S_OK: none).
    HRESULT acceptInitialize() const { return FAILED(m_scenario.initialize) ? m_scenario.initialize : S_OK; }
    HRESULT acceptService() const { return FAILED(m_scenario.service) ? m_scenario.service : S_OK; }
    UINT32 capacityFrames() const { return engineCapacity(m_scenario); }
    // Delivers `format` from now on: the format Initialize was given. Packets are 10 ms of it unless the
    // scenario gives their size.
    void useFormat(const stream::StreamFormat& format);
    // Takes a reference of its own to the event (false when the handle is not usable).
    bool setEvent(HANDLE event);
    // The scenario's refusal, or S_OK with the clock running.
    HRESULT start();
    void stop();
    SimulatedEngine& packets() { return *this; }

  private:
    friend class PacketHandOut<SimulatedEngine, std::mutex>;
    HRESULT packetReady(UINT32& frames);
    HRESULT takePacket(CapturedPacket& out);
    void returnPacket(bool consumed);
    void clear();

    // With the lock held. Returns the event to signal once the lock is released (the reader would
    // otherwise wake only to wait for the lock), or nullptr.
    HANDLE produceBatch();
    // Releases the lock, then signals `wake` if there is one.
    static void signalUnlocked(std::unique_lock<std::mutex>& lock, HANDLE wake);
    void clockLoop();
    // Signals the event every emptyWakesMs with nothing added.
    void emptyWakeLoop();
    // With the lock held: the stream is gone; `signal` says whether the engine says so on the event.
    HANDLE invalidate(bool signal);
    // Raises the scenario's stop request if it is due before the next batch; the lock is released meanwhile.
    void stopBeforeBatch(std::unique_lock<std::mutex>& lock, bool waitForReader);

    Scenario m_scenario;
    PacketSource m_source;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    PacketQueue<Packet> m_queue;
    bool m_running = false;
    bool m_invalidated = false;
    bool m_failedSizeOnce = false;
    HANDLE m_event = nullptr;   // the engine's own handle
    std::uint64_t m_start = 0;  // the engine's time 0 on the performance counter
    std::uint64_t m_getBufferCalls = 0;
    std::uint64_t m_released = 0;
    std::vector<float> m_samples;
    Thread m_clock;
    Thread m_emptyWaker;
};

}  // namespace simaudio
