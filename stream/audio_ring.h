// The hand-off between the capture thread and the thread that writes standard output. The capture thread
// queues each packet's frames and gives the engine its packet back at once; the writer takes them in
// order. Runs of zero frames (gaps, and silent packets) take no room: they are marks between the bytes.
// While the reader stalls the ring fills; once it is full the newest frames are lost, never the order: they
// are owed, and go in as a run of zeros of their length before anything later as soon as there is room,
// so every later frame still stands at its time. One producer, one consumer, no lock; the storage is made
// once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

class AudioRing {
  public:
    explicit AudioRing(std::uint64_t capacityBytes) : m_bytes(capacityBytes) {}

    // Producer: queues `bytes` from `data`, or a run of that many zeros when `data` is null. False when
    // audio did not fit (behind zeros still owed, or in the room left): it is then owed as zeros.
    bool push(const void* data, std::uint64_t bytes);

    // Consumer: zeros due before the next byte (0: none); takeZeros gives them back once written.
    std::uint64_t zerosDue() const;
    void takeZeros();
    // Consumer: the oldest queued bytes that lie in one piece before any run of zeros, and how many; 0
    // when none wait.
    std::uint64_t peek(const std::uint8_t*& data) const;
    // Consumer: gives back the first `bytes` that peek showed.
    void consume(std::uint64_t bytes);

    // Producer: bytes of audio lost to a full ring so far, each owed as a zero.
    std::uint64_t lostBytes() const { return m_lost; }

  private:
    struct Zeros {
        std::uint64_t at;     // before the byte queued at this count
        std::uint64_t bytes;  // how many
    };
    static constexpr std::size_t kMarks = 64;

    // Queues a run of zeros at the producer's end; false when the marks are all in use.
    bool mark(std::uint64_t bytes);
    // Copies `bytes` (zeros when `data` is null) in at the producer's end, where there is room for them.
    void put(const std::uint8_t* data, std::uint64_t bytes);

    std::vector<std::uint8_t> m_bytes;
    std::array<Zeros, kMarks> m_marks{};
    std::atomic<std::uint64_t> m_taken{0};        // bytes the consumer has given back, ever
    std::atomic<std::uint64_t> m_queued{0};       // bytes the producer has put in, ever
    std::atomic<std::uint64_t> m_marksTaken{0};   // runs of zeros written, ever
    std::atomic<std::uint64_t> m_marksQueued{0};  // runs of zeros queued, ever
    std::uint64_t m_owed = 0;                     // producer: zeros to queue before anything else
    std::uint64_t m_lost = 0;
};
