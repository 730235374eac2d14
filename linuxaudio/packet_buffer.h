// The bounded buffer between an audio server's thread (the producer) and the program's capture calls
// (the consumer): float frames of the stream's format cut into packets (10 ms unless the producer ends
// them), handed out in order with their positions. Memory is reserved once; a packet is copied once, in,
// under a short lock, and lent to the reader in place.
//
// Positions are the ClockReconciler's. A packet never spans a break: the frames before it end a short
// packet, and those after it start a new one.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "loopback/loopback_client.h"
#include "loopback/packet_queue.h"
#include "stream/clock_reconciler.h"
#include "stream/stream_format.h"
#include "winaudio/windows_audio.h"

namespace linuxaudio {

class PacketBuffer : public PacketHandOut<PacketBuffer, std::mutex> {
  public:
    // 100 packets: 1 s of 10 ms ones. A producer that ends its packets itself may let them grow to
    // `maxPacketFrames` (one per graph cycle; 0: 10 ms).
    explicit PacketBuffer(UINT32 capacityPackets = 100, UINT32 maxPacketFrames = 0,
                          stream::StreamFormat format = stream::kDefaultFormat);
    PacketBuffer(const PacketBuffer&) = delete;
    PacketBuffer& operator=(const PacketBuffer&) = delete;

    // Producer side. `firstFramePosition`: frames[0]'s clock position (performanceClockNow units) as measured
    // when they arrived, for the ClockReconciler, which may leave out their leading silence. When the reader
    // has stalled and the buffer is full, the oldest packets are dropped.
    void append(const float* frames, UINT32 frameCount, std::uint64_t firstFramePosition);
    // A producer whose frames carry no time (PulseAudio's) reports its sample clock's progress instead,
    // and appends frames at their index on it; a new start of that clock restarts it.
    void sampleClockArrived(std::uint64_t framesSoFar, std::int64_t now);
    void appendOnSampleClock(const float* frames, UINT32 frameCount, std::uint64_t clockFrame);
    void restartSampleClock();
    // Ends the packet being filled once it holds `minFrames` (short of the largest packet), so its frames
    // need not wait for later ones: a producer whose deliveries are whole cycles calls it after each (frames
    // held back could be covered by the reader's silence if the process stalls before the next delivery).
    void endPacket(UINT32 minFrames = 1);
    // The server is gone: the next packet-size query fails, and the reader is woken to see it.
    void fail();
    // Forgets what is buffered (a stop); positions keep counting.
    void clear();
    void setEvent(HANDLE event);

    // Frames the producer can append before the oldest packet would be dropped, so a producer holding a
    // backlog (the server's, after the helper was stopped) can hand it over as the reader makes room.
    UINT32 freeFrames() const;
    UINT32 capacityFrames() const { return m_capacityPackets * m_packetFrames; }
    // 10 ms of frames: a packet the buffer ends itself.
    UINT32 packetFrames() const { return m_packetFrames; }
    const stream::StreamFormat& format() const { return m_format; }

  private:
    // The consumer side (nextPacketSize, getBuffer, releaseBuffer) is PacketHandOut's, over these.
    friend class PacketHandOut<PacketBuffer, std::mutex>;
    HRESULT packetReady(UINT32& frames);
    HRESULT takePacket(CapturedPacket& out);
    void returnPacket(bool consumed);

    struct PacketInfo {
        std::uint64_t device = 0;    // device position of its first frame
        std::uint64_t position = 0;  // clock position of its first frame
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT32 slot = 0;  // where its samples are in m_ring
    };
    void endPacketLocked();

    const stream::StreamFormat m_format;
    const UINT32 m_channels;
    const UINT32 m_packetFrames;
    const UINT32 m_capacityPackets;
    const UINT32 m_maxPacketFrames;
    mutable std::mutex m_mutex;
    // Slots of samples, one per packet: those waiting, the one lent out and the one being filled.
    std::vector<float> m_ring;
    std::vector<UINT32> m_freeSlots;
    PacketQueue<PacketInfo> m_queue;
    PacketInfo m_filling;      // the packet being filled
    UINT32 m_writeOffset = 0;  // frames in it so far
    stream::ClockReconciler m_clock;
    bool m_breakPending = false;  // the next packet started follows missing audio
    bool m_failed = false;
    HANDLE m_event = nullptr;
};

}  // namespace linuxaudio
