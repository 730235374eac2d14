// The engine's queue of packets. It reuses its storage, so once it has grown to the largest backlog,
// queueing and taking packets costs no allocation (a std::deque allocates a node every few packets).
#pragma once

#include <cstddef>
#include <vector>

#include "simaudio/packet_source.h"

namespace simaudio {

class PacketRing {
  public:
    PacketRing() : m_slots(64) {}

    bool empty() const { return m_count == 0; }
    std::size_t size() const { return m_count; }
    Packet& operator[](std::size_t index) { return m_slots[(m_head + index) % m_slots.size()]; }
    Packet& front() { return (*this)[0]; }

    void pushBack(const Packet& packet) {
        if (m_count == m_slots.size()) grow();
        m_slots[(m_head + m_count) % m_slots.size()] = packet;
        ++m_count;
    }

    void popFront() {
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
    }

    // Removes the packet at `index`, moving the later ones forward.
    void erase(std::size_t index) {
        for (std::size_t i = index; i + 1 < m_count; ++i) (*this)[i] = (*this)[i + 1];
        --m_count;
    }

  private:
    void grow() {
        std::vector<Packet> larger(m_slots.size() * 2);
        for (std::size_t i = 0; i < m_count; ++i) larger[i] = (*this)[i];
        m_slots.swap(larger);
        m_head = 0;
    }

    std::vector<Packet> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};

}  // namespace simaudio
