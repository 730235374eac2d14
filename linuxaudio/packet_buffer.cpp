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
      m_ring((std::size_t{m_capacityPackets} + 2) * m_maxPacketFrames * m_channels),
      m_queue(m_capacityPackets + 1),
      m_clock(format) {
    for (UINT32 slot = m_capacityPackets + 2; slot-- > 0;) m_freeSlots.push_back(slot);
}

void PacketBuffer::setEvent(HANDLE event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_event = event;
}

void PacketBuffer::endPacketLocked() {
    if (m_writeOffset == 0) return;
    m_filling.frames = m_writeOffset;
    m_writeOffset = 0;
    // In a full buffer the oldest packets make room; their slots are free again. The packet out with the
    // reader takes none of the capacity: it is the reader's until released.
    m_queue.push(
        m_filling, [this] { return m_queue.waiting() < m_capacityPackets; },
        [this](const PacketInfo& dropped) { m_freeSlots.push_back(dropped.slot); });
}

void PacketBuffer::append(const float* frames, UINT32 frameCount, std::uint64_t firstFramePosition) {
    HANDLE wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failed) return;
        const auto placed = m_clock.deliver(frames, frameCount, firstFramePosition);
        frames += std::size_t{placed.skipped} * m_channels;
        frameCount -= placed.skipped;
        // A break: what came before ends its packet, so no packet carries frames from both sides.
        if (placed.breaks) endPacketLocked();
        if (placed.missing) m_breakPending = true;
        for (UINT32 done = 0; done < frameCount;) {
            if (m_writeOffset == 0) {
                // Slots: the packets waiting, the one lent out and this one.
                m_filling.slot = m_freeSlots.back();
                m_freeSlots.pop_back();
                m_filling.device = placed.device + done;
                m_filling.position = m_clock.clockAt(placed.device + done);
                m_filling.flags = m_breakPending ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
                m_breakPending = false;
            }
            const UINT32 count = std::min(frameCount - done, m_maxPacketFrames - m_writeOffset);
            std::memcpy(
                &m_ring[(std::size_t{m_filling.slot} * m_maxPacketFrames + m_writeOffset) * m_channels],
                frames + std::size_t{done} * m_channels, std::size_t{count} * m_channels * sizeof(float));
            m_writeOffset += count;
            done += count;
            if (m_writeOffset == m_maxPacketFrames) endPacketLocked();
        }
        if (m_queue.next() != nullptr) wake = m_event;
    }
    // Signalled outside the lock, so the reader does not wake only to wait for it.
    if (wake != nullptr) SetEvent(wake);
}

void PacketBuffer::appendOnSampleClock(const float* frames, UINT32 frameCount, std::uint64_t clockFrame) {
    std::uint64_t position = 0;
    {
        // The sample clock moves only on the producer's thread, this one: it cannot move in between.
        std::lock_guard<std::mutex> lock(m_mutex);
        position = static_cast<std::uint64_t>(m_clock.sampleClockTime(clockFrame));
    }
    append(frames, frameCount, position);
}

void PacketBuffer::sampleClockArrived(std::uint64_t framesSoFar, std::int64_t now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock.sampleClockArrived(framesSoFar, now);
}

void PacketBuffer::restartSampleClock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock.restartSampleClock();
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
    // Whole packets only (none is out): a partial one is completed first.
    while (!m_queue.empty()) {
        m_freeSlots.push_back(m_queue.front().slot);
        m_queue.popFront();
    }
}

HRESULT PacketBuffer::packetReady(UINT32& frames) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (const PacketInfo* next = m_queue.next()) frames = next->frames;
    return S_OK;
}

HRESULT PacketBuffer::takePacket(CapturedPacket& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (m_queue.empty()) return AUDCLNT_S_BUFFER_EMPTY;
    // Lent in place: a packet out with the reader is never dropped, so its slot is not written meanwhile.
    const PacketInfo& info = m_queue.front();
    out.data = reinterpret_cast<BYTE*>(&m_ring[std::size_t{info.slot} * m_maxPacketFrames * m_channels]);
    out.frames = info.frames;
    out.flags = info.flags;
    out.devicePosition = info.device;
    out.qpcPosition = info.position;
    m_queue.lend();
    return S_OK;
}

void PacketBuffer::returnPacket(bool consumed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (consumed) m_freeSlots.push_back(m_queue.front().slot);
    m_queue.giveBack(consumed);
}

UINT32 PacketBuffer::freeFrames() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Whole slots, as a packet ended short still takes one.
    const std::uint64_t used = m_queue.waiting() + (m_writeOffset > 0 ? 1 : 0);
    if (used >= m_capacityPackets) return m_writeOffset > 0 ? m_maxPacketFrames - m_writeOffset : 0;
    const std::uint64_t room = (m_capacityPackets - used) * m_maxPacketFrames;
    return static_cast<UINT32>(room + (m_writeOffset > 0 ? m_maxPacketFrames - m_writeOffset : 0));
}

}  // namespace linuxaudio
