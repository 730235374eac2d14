#include "stream/audio_ring.h"

#include <cstring>

void AudioRing::put(const std::uint8_t* data, std::uint64_t bytes) {
    const std::uint64_t queued = m_queued.load(std::memory_order_relaxed);
    const std::uint64_t size = m_bytes.size();
    const std::uint64_t at = queued % size;
    const std::uint64_t first = bytes < size - at ? bytes : size - at;
    if (data != nullptr) {
        std::memcpy(m_bytes.data() + at, data, first);
        std::memcpy(m_bytes.data(), data + first, bytes - first);
    } else {
        std::memset(m_bytes.data() + at, 0, first);
        std::memset(m_bytes.data(), 0, bytes - first);
    }
    m_queued.store(queued + bytes, std::memory_order_release);
}

bool AudioRing::mark(std::uint64_t bytes) {
    const std::uint64_t queued = m_marksQueued.load(std::memory_order_relaxed);
    if (queued - m_marksTaken.load(std::memory_order_acquire) == kMarks) return false;
    m_marks[queued % kMarks] = Zeros{m_queued.load(std::memory_order_relaxed), bytes};
    m_marksQueued.store(queued + 1, std::memory_order_release);
    return true;
}

bool AudioRing::push(const void* data, std::uint64_t bytes) {
    if (m_owed > 0 && mark(m_owed)) m_owed = 0;
    const std::uint64_t room =
        m_bytes.size() - (m_queued.load(std::memory_order_relaxed) - m_taken.load(std::memory_order_acquire));
    if (data == nullptr) {
        // With every mark in use, zeros that fit go in as bytes; more is owed.
        if (bytes == 0 || (m_owed == 0 && mark(bytes))) return true;
        if (m_owed == 0 && bytes <= room) {
            put(nullptr, bytes);
        } else {
            m_owed += bytes;
        }
        return true;
    }
    if (m_owed > 0 || bytes > room) {
        m_owed += bytes;
        m_lost += bytes;
        return false;
    }
    put(static_cast<const std::uint8_t*>(data), bytes);
    return true;
}

std::uint64_t AudioRing::zerosDue() const {
    const std::uint64_t marks = m_marksTaken.load(std::memory_order_relaxed);
    if (marks == m_marksQueued.load(std::memory_order_acquire)) return 0;
    const Zeros& next = m_marks[marks % kMarks];
    return next.at == m_taken.load(std::memory_order_relaxed) ? next.bytes : 0;
}

void AudioRing::takeZeros() {
    m_marksTaken.store(m_marksTaken.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

std::uint64_t AudioRing::peek(const std::uint8_t*& data) const {
    const std::uint64_t taken = m_taken.load(std::memory_order_relaxed);
    std::uint64_t waiting = m_queued.load(std::memory_order_acquire) - taken;
    const std::uint64_t marks = m_marksTaken.load(std::memory_order_relaxed);
    if (marks != m_marksQueued.load(std::memory_order_acquire)) {
        const std::uint64_t before = m_marks[marks % kMarks].at - taken;
        if (before < waiting) waiting = before;
    }
    const std::uint64_t at = taken % m_bytes.size();
    data = m_bytes.data() + at;
    return waiting < m_bytes.size() - at ? waiting : m_bytes.size() - at;
}

void AudioRing::consume(std::uint64_t bytes) {
    m_taken.store(m_taken.load(std::memory_order_relaxed) + bytes, std::memory_order_release);
}
