#include "status/status_channel.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace status {

StatusChannel* StatusChannel::open(int fd) {
    if (fd < 0) return nullptr;
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return nullptr;
    auto* channel = new (std::nothrow) StatusChannel(file);
    if (channel == nullptr) return nullptr;
    channel->m_thread = CreateThread(nullptr, 0, writeLines, channel, 0, nullptr);
    if (channel->m_thread == nullptr) {
        delete channel;
        return nullptr;
    }
    return channel;
}

void StatusChannel::lock() {
    while (m_lock.test_and_set(std::memory_order_acquire)) {
    }
}

void StatusChannel::post(const char* name, const char* members) {
    char line[kMaxLine];
    const int body = std::snprintf(line, sizeof line, "{\"event\":\"%s\"%s", name, members);
    if (body < 0 || static_cast<std::uint32_t>(body) >= sizeof line - 40) {
        m_dropped.fetch_add(1);
        return;
    }
    auto length = static_cast<std::uint32_t>(body);
    lock();
    const std::uint64_t dropped = m_dropped.load();
    const int tail = dropped != m_droppedReported
                         ? std::snprintf(line + length, sizeof line - length, ",\"dropped\":%llu}\n",
                                         static_cast<unsigned long long>(dropped - m_droppedReported))
                         : std::snprintf(line + length, sizeof line - length, "}\n");
    length += static_cast<std::uint32_t>(tail);
    if (m_head - m_tail + length > kRingBytes) {
        unlock();
        m_dropped.fetch_add(1);
        return;
    }
    for (std::uint32_t i = 0; i < length; ++i) m_ring[(m_head + i) % kRingBytes] = line[i];
    m_head += length;
    m_droppedReported = dropped;
    unlock();
    if (HANDLE wake = m_wake.load()) SetEvent(wake);
}

std::uint32_t StatusChannel::take(char* out, std::uint32_t size) {
    lock();
    std::uint64_t queued = m_head - m_tail;
    if (queued > size) queued = size;
    for (std::uint64_t i = 0; i < queued; ++i) out[i] = m_ring[(m_tail + i) % kRingBytes];
    m_tail += queued;
    unlock();
    return static_cast<std::uint32_t>(queued);
}

DWORD WINAPI StatusChannel::writeLines(LPVOID parameter) {
    StatusChannel& channel = *static_cast<StatusChannel*>(parameter);
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    channel.m_wake.store(wake);
    bool broken = false;  // the reader went away: what is queued is thrown away
    char buffer[4096];
    for (;;) {
        const bool ending = channel.m_ending.load();
        std::uint32_t size;
        while ((size = channel.take(buffer, sizeof buffer)) != 0) {
            DWORD offset = 0;
            while (!broken && offset < size) {
                DWORD written = 0;
                if (!WriteFile(channel.m_file, buffer + offset, size - offset, &written, nullptr) ||
                    written == 0) {
                    broken = true;
                }
                offset += written;
            }
        }
        if (ending) break;
        // Bounded, in case the event could not be made.
        if (wake == nullptr || WaitForSingleObject(wake, 100) == WAIT_FAILED) Sleep(10);
    }
    return 0;
}

void StatusChannel::close(DWORD milliseconds) {
    m_ending.store(true);
    if (HANDLE wake = m_wake.load()) SetEvent(wake);
    // The channel itself stays: a watcher thread may still post to it, into a ring nobody writes out.
    WaitForSingleObject(m_thread, milliseconds);
}

}  // namespace status
