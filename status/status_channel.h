// The status channel: JSON Lines on a descriptor the parent opened for this process. Events are queued
// in a ring and written by a thread of the channel's own, so no caller ever waits for the reader: when the
// ring is full an event is dropped and counted, and the next event queued says how many were.
#pragma once

#include <atomic>
#include <cstdint>

#include "winaudio/windows_audio.h"

namespace status {

class StatusChannel {
  public:
    // Ring room, in bytes: some seconds of events at their usual rate.
    static constexpr std::uint32_t kRingBytes = 1 << 16;
    // The longest line an event may be (longer ones are dropped and counted).
    static constexpr std::uint32_t kMaxLine = 1024;

    // A channel on C runtime descriptor `fd`, its writer thread started; null when `fd` is -1 or names
    // nothing the process has.
    static StatusChannel* open(int fd);

    // Queues `{"event":"<name>"<members>}`: `members` is empty or starts with a comma. Any thread.
    void post(const char* name, const char* members);

    // Lets the writer write what is queued, for at most `milliseconds`; the channel is then left to the end
    // of the process, which comes next (a reader that stopped reading holds its thread). Later posts are
    // kept, never written.
    void close(DWORD milliseconds);

    std::uint64_t dropped() const { return m_dropped.load(); }

  private:
    explicit StatusChannel(HANDLE file) : m_file(file) {}
    static DWORD WINAPI writeLines(LPVOID parameter);
    void lock();
    void unlock() { m_lock.clear(std::memory_order_release); }
    // Takes up to `size` queued bytes into `out`; how many.
    std::uint32_t take(char* out, std::uint32_t size);

    HANDLE m_file;
    HANDLE m_thread = nullptr;
    std::atomic<HANDLE> m_wake{nullptr};  // made by the writer thread itself
    std::atomic<bool> m_ending{false};
    std::atomic_flag m_lock = ATOMIC_FLAG_INIT;  // held only to copy a line in or out
    char m_ring[kRingBytes];
    std::uint64_t m_head = 0;  // bytes queued, ever (under the lock)
    std::uint64_t m_tail = 0;  // bytes taken, ever (under the lock)
    std::atomic<std::uint64_t> m_dropped{0};
    std::uint64_t m_droppedReported = 0;  // under the lock
};

}  // namespace status
