#include "linuxaudio/packet_buffer.h"

#include <algorithm>
#include <cstring>

namespace linuxaudio {

PacketBuffer::PacketBuffer(UINT32 capacityPackets, UINT32 maxPacketFrames, stream::StreamFormat format)
    : m_format(format),
      m_channels(format.channels()),
      m_packetFrames(static_cast<UINT32>(format.framesFromMilliseconds(stream::kPeriodMilliseconds))),
      m_capacityPackets(std::max<UINT32>(capacityPackets, 2)),
      m_maxPacketFrames(std::max<UINT32>(maxPacketFrames != 0 ? maxPacketFrames : m_packetFrames, 1)),
      m_ring(std::size_t{m_capacityPackets} * m_maxPacketFrames * m_channels),
      m_info(m_capacityPackets),
      m_out(std::size_t{m_maxPacketFrames} * m_channels),
      m_clock(format) {}

void PacketBuffer::setEvent(HANDLE event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_event = event;
}

void PacketBuffer::endPacketLocked() {
    if (m_writeOffset == 0) return;
    m_info[static_cast<std::size_t>(m_writePacket % m_capacityPackets)].frames = m_writeOffset;
    ++m_writePacket;
    m_writeOffset = 0;
}

void PacketBuffer::dropOldestLocked() {
    ++m_readPacket;
    m_lossPending = true;
}

void PacketBuffer::append(const float* frames, UINT32 frameCount, std::uint64_t firstFramePosition) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const HANDLE wake = appendLocked(frames, frameCount, firstFramePosition);
    lock.unlock();
    // Signalled outside the lock, so the reader does not wake only to wait for it.
    if (wake != nullptr) SetEvent(wake);
}

void PacketBuffer::appendOnSampleClock(const float* frames, UINT32 frameCount, std::uint64_t clockFrame) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto position = static_cast<std::uint64_t>(m_clock.sampleClockTime(clockFrame));
    const HANDLE wake = appendLocked(frames, frameCount, position);
    lock.unlock();
    if (wake != nullptr) SetEvent(wake);
}

void PacketBuffer::sampleClockArrived(std::uint64_t framesSoFar, std::int64_t now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock.sampleClockArrived(framesSoFar, now);
}

void PacketBuffer::restartSampleClock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock.restartSampleClock();
}

HANDLE PacketBuffer::appendLocked(const float* frames, UINT32 frameCount, std::uint64_t firstFramePosition) {
    if (m_failed) return nullptr;
    const auto placed = m_clock.deliver(frames, frameCount, firstFramePosition);
    frames += std::size_t{placed.skipped} * m_channels;
    frameCount -= placed.skipped;
    // A break: what came before ends its packet, so no packet carries frames from both sides.
    if (placed.breaks) endPacketLocked();
    if (placed.missing) m_breakPending = true;
    for (UINT32 done = 0; done < frameCount;) {
        const std::size_t slot = static_cast<std::size_t>(m_writePacket % m_capacityPackets);
        if (m_writeOffset == 0) {
            // Starting a packet in a full ring: the oldest one makes room.
            if (m_writePacket - m_readPacket >= m_capacityPackets) dropOldestLocked();
            m_info[slot].device = placed.device + done;
            m_info[slot].position = m_clock.clockAt(placed.device + done);
            m_info[slot].discontinuity = m_breakPending;
            m_breakPending = false;
        }
        const UINT32 count = std::min(frameCount - done, m_maxPacketFrames - m_writeOffset);
        std::memcpy(&m_ring[(slot * m_maxPacketFrames + m_writeOffset) * m_channels],
                    frames + std::size_t{done} * m_channels, std::size_t{count} * m_channels * sizeof(float));
        m_writeOffset += count;
        done += count;
        if (m_writeOffset == m_maxPacketFrames) endPacketLocked();
    }
    return readyLocked() ? m_event : nullptr;
}

void PacketBuffer::endPacket(UINT32 minFrames) {
    HANDLE wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failed || m_writeOffset == 0 || m_writeOffset < minFrames) return;
        endPacketLocked();
        wake = m_event;
    }
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
    // Whole packets only: a partial one is completed first.
    m_readPacket = m_writePacket;
    m_heldPacket = UINT64_MAX;
}

HRESULT PacketBuffer::packetReady(UINT32& frames) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (readyLocked()) frames = m_info[static_cast<std::size_t>(m_readPacket % m_capacityPackets)].frames;
    return S_OK;
}

HRESULT PacketBuffer::takePacket(CapturedPacket& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (!readyLocked()) return AUDCLNT_S_BUFFER_EMPTY;
    const std::size_t slot = static_cast<std::size_t>(m_readPacket % m_capacityPackets);
    const PacketInfo& info = m_info[slot];
    // A copy, so the producer may drop this packet while the reader still holds it.
    std::memcpy(m_out.data(), &m_ring[slot * m_maxPacketFrames * m_channels],
                std::size_t{info.frames} * m_channels * sizeof(float));
    const bool discontinuity = info.discontinuity || m_lossPending;
    m_lossPending = false;
    out.data = reinterpret_cast<BYTE*>(m_out.data());
    out.frames = info.frames;
    out.flags = discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
    out.devicePosition = info.device;
    out.qpcPosition = info.position;
    m_heldPacket = m_readPacket;
    return S_OK;
}

void PacketBuffer::returnPacket(bool consumed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Released whole: the packet is gone, unless the producer dropped it meanwhile.
    if (consumed && m_readPacket == m_heldPacket) ++m_readPacket;
    m_heldPacket = UINT64_MAX;
}

UINT32 PacketBuffer::freeFrames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Whole slots, as a packet ended short still takes one.
    const std::uint64_t used = m_writePacket - m_readPacket + (m_writeOffset > 0 ? 1 : 0);
    if (used >= m_capacityPackets) return m_writeOffset > 0 ? m_maxPacketFrames - m_writeOffset : 0;
    const std::uint64_t room = (m_capacityPackets - used) * m_maxPacketFrames;
    return static_cast<UINT32>(room + (m_writeOffset > 0 ? m_maxPacketFrames - m_writeOffset : 0));
}

}  // namespace linuxaudio
