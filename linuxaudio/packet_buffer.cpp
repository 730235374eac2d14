#include "linuxaudio/packet_buffer.h"

#include <time.h>

#include <algorithm>
#include <cstring>

namespace linuxaudio {

std::uint64_t monotonicTicks() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kTicksPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

namespace {

std::uint64_t framesToTicks(std::uint64_t frames) { return frames * kTicksPerSecond / kSampleRate; }

}  // namespace

PacketBuffer::PacketBuffer(UINT32 capacityPackets)
    : m_capacityPackets(std::max<UINT32>(capacityPackets, 2)),
      m_ring(std::size_t{m_capacityPackets} * kPacketFrames * kChannels),
      m_info(m_capacityPackets),
      m_out(std::size_t{kPacketFrames} * kChannels) {}

void PacketBuffer::setEvent(HANDLE event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_event = event;
}

void PacketBuffer::dropOldestLocked() {
    ++m_readPacket;
    ++m_dropped;
    m_lossPending = true;
}

void PacketBuffer::append(const float* frames, UINT32 frameCount, std::uint64_t firstFramePosition) {
    HANDLE wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failed) return;
        const std::uint64_t expected = m_anchorPosition + framesToTicks(m_writeFrames - m_anchorFrames);
        const std::uint64_t distance =
            firstFramePosition > expected ? firstFramePosition - expected : expected - firstFramePosition;
        if (m_anchorPosition == 0 || distance > kRealignTicks) {
            m_anchorPosition = firstFramePosition;
            m_anchorFrames = m_writeFrames;
        }
        for (UINT32 done = 0; done < frameCount;) {
            const std::uint64_t packet = m_writeFrames / kPacketFrames;
            const UINT32 offset = static_cast<UINT32>(m_writeFrames % kPacketFrames);
            // Starting a packet in a full ring: the oldest one makes room.
            if (offset == 0 && packet - m_readPacket >= m_capacityPackets) dropOldestLocked();
            const std::size_t slot = static_cast<std::size_t>(packet % m_capacityPackets);
            if (offset == 0) {
                m_info[slot].position = m_anchorPosition + framesToTicks(m_writeFrames - m_anchorFrames);
                m_info[slot].discontinuity = false;
            }
            const UINT32 count = std::min(frameCount - done, kPacketFrames - offset);
            std::memcpy(&m_ring[(slot * kPacketFrames + offset) * kChannels],
                        frames + std::size_t{done} * kChannels,
                        std::size_t{count} * kChannels * sizeof(float));
            m_writeFrames += count;
            done += count;
        }
        if (readyLocked()) wake = m_event;
    }
    // Signalled outside the lock, so the reader does not wake only to wait for it.
    if (wake != nullptr) SetEvent(wake);
}

void PacketBuffer::fail() {
    HANDLE wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failed = true;
        wake = m_event;
    }
    if (wake != nullptr) SetEvent(wake);
}

void PacketBuffer::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Whole packets only, so the next append starts a packet; a partial one is completed first.
    m_readPacket = m_writeFrames / kPacketFrames;
    m_heldPacket = UINT64_MAX;
}

HRESULT PacketBuffer::packetReady(UINT32& frames) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (readyLocked()) frames = kPacketFrames;
    return S_OK;
}

HRESULT PacketBuffer::takePacket(CapturedPacket& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!readyLocked()) return AUDCLNT_S_BUFFER_EMPTY;
    const std::size_t slot = static_cast<std::size_t>(m_readPacket % m_capacityPackets);
    // A copy, so the producer may drop this packet while the reader still holds it.
    std::memcpy(m_out.data(), &m_ring[slot * kPacketFrames * kChannels], m_out.size() * sizeof(float));
    if (m_lossPending) m_info[slot].discontinuity = true;
    m_lossPending = false;
    out.data = reinterpret_cast<BYTE*>(m_out.data());
    out.frames = kPacketFrames;
    out.flags = m_info[slot].discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
    out.devicePosition = m_readPacket * kPacketFrames;
    out.qpcPosition = m_info[slot].position;
    m_heldPacket = m_readPacket;
    return S_OK;
}

void PacketBuffer::returnPacket(bool consumed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Released whole: the packet is gone, unless the producer dropped it meanwhile.
    if (consumed && m_readPacket == m_heldPacket) ++m_readPacket;
    m_heldPacket = UINT64_MAX;
}

std::uint64_t PacketBuffer::droppedPackets() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

}  // namespace linuxaudio
