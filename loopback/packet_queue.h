// The packets an engine holds for the capture client, oldest first, and what every engine does when they
// fill its buffer, as Windows does: the oldest packets waiting make room, never the one lent to the reader,
// and the next packet handed out says that audio was lost before it. Storage is reused, so a queue that
// has reached its largest backlog queues and takes packets without allocating.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "winaudio/windows_audio.h"

// `Packet` has `UINT32 frames` and `DWORD flags`.
template <class Packet>
class PacketQueue {
  public:
    explicit PacketQueue(std::size_t slots = 64) : m_slots(slots > 0 ? slots : 1) {}

    bool empty() const { return m_count == 0; }
    // Packets not lent out.
    std::size_t waiting() const { return m_count - m_lent; }
    std::uint64_t frames() const { return m_frames; }
    Packet& front() { return at(0); }
    // The oldest packet not lent out, or nullptr.
    Packet* next() { return m_count > m_lent ? &at(m_lent) : nullptr; }

    // Queues `packet`. While `fits()` says it does not fit, the oldest packet not lent out goes first,
    // handed to `onDrop` (its storage may be reused).
    template <class Fits, class OnDrop>
    void push(Packet packet, Fits fits, OnDrop onDrop) {
        bool lost = false;
        while (!fits() && m_count > m_lent) {
            onDrop(at(m_lent));
            m_frames -= at(m_lent).frames;
            for (std::size_t i = m_lent; i + 1 < m_count; ++i) at(i) = at(i + 1);
            --m_count;
            lost = true;
        }
        if (lost) (next() != nullptr ? *next() : packet).flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        if (m_count == m_slots.size()) grow();
        at(m_count++) = packet;
        m_frames += packet.frames;
    }

    // The front packet goes out to the reader, and comes back: gone when consumed, else lent again later.
    void lend() { m_lent = 1; }
    void giveBack(bool consumed) {
        m_lent = 0;
        if (consumed) popFront();
    }
    void popFront() {
        m_frames -= front().frames;
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
    }

  private:
    Packet& at(std::size_t index) { return m_slots[(m_head + index) % m_slots.size()]; }
    void grow() {
        std::vector<Packet> larger(m_slots.size() * 2);
        for (std::size_t i = 0; i < m_count; ++i) larger[i] = at(i);
        m_slots.swap(larger);
        m_head = 0;
    }

    std::vector<Packet> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
    std::size_t m_lent = 0;  // 1 while the front packet is out with the reader
    std::uint64_t m_frames = 0;
};
