#include "simaudio/engine.h"

#include <chrono>
#include <mutex>

#include "stream/performance_clock.h"

namespace simaudio {

Engine::Engine(const Scenario& scenario) : m_scenario(scenario), m_source(m_scenario) {}

Engine::~Engine() { stop(); }

void Engine::setEvent(HANDLE event) {
    std::lock_guard<Mutex> lock(m_mutex);
    m_event = event;
}

void Engine::start() {
    HANDLE wake = nullptr;
    {
        std::lock_guard<Mutex> lock(m_mutex);
        if (m_running) return;
        m_running = true;
        m_start = performanceClockNow();
        if (m_scenario.failSizeAfter == 0) {
            m_invalidated = true;
            wake = m_event;
        } else if (m_scenario.periodMs == 0) {
            wake = produceBatch();
        } else {
            m_clock = Thread([this] { clockLoop(); });
        }
    }
    if (wake != nullptr) SetEvent(wake);
}

void Engine::stop() {
    Thread clock;
    {
        std::lock_guard<Mutex> lock(m_mutex);
        m_running = false;
        clock = std::move(m_clock);
    }
    m_wake.notifyAll();
    if (clock.joinable()) clock.join();
}

HANDLE Engine::produceBatch() {
    if (m_invalidated) return nullptr;
    bool produced = false;
    for (std::uint32_t made = 0; made < m_scenario.burst && !m_source.exhausted();) {
        Packet packet = m_source.next(m_start);
        if (m_source.quiet(packet)) {
            // On the clock a quiet wake-up passes with nothing; as fast as the reader goes, quiet takes no
            // time and the next packet that is not quiet comes at once.
            if (m_scenario.periodMs != 0) ++made;
            continue;
        }
        ++made;
        // A full buffer loses its oldest audio (never the packet the reader holds), and the next packet
        // handed out says so.
        const std::size_t firstFree = m_held ? 1 : 0;
        bool dropped = false;
        while (m_queuedFrames + packet.frames > m_scenario.capacityFrames && m_queue.size() > firstFree) {
            m_queuedFrames -= m_queue[firstFree].frames;
            m_queue.erase(firstFree);
            ++m_dropped;
            dropped = true;
        }
        if (dropped) {
            Packet& nextOut = m_queue.size() > firstFree ? m_queue[firstFree] : packet;
            nextOut.flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        }
        m_queue.pushBack(packet);
        m_queuedFrames += packet.frames;
        produced = true;
    }
    return produced ? m_event : nullptr;
}

void Engine::signalUnlocked(std::unique_lock<Mutex>& lock, HANDLE wake) {
    lock.unlock();
    if (wake != nullptr) SetEvent(wake);
}

void Engine::clockLoop() {
    const auto period = std::chrono::milliseconds(m_scenario.periodMs);
    auto due = SteadyClock::now() + period;
    std::unique_lock<Mutex> lock(m_mutex);
    while (m_running) {
        if (m_wake.waitUntil(lock, due, [this] { return !m_running; })) break;
        if (HANDLE wake = produceBatch()) {
            signalUnlocked(lock, wake);  // Stop joins this thread before the program may close the event
            lock.lock();
        }
        due += period;
    }
}

HRESULT Engine::nextPacketSize(UINT32* frames) {
    if (frames == nullptr) return E_POINTER;
    std::unique_lock<Mutex> lock(m_mutex);
    *frames = 0;
    if (m_invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    const std::size_t firstFree = m_held ? 1 : 0;
    if (m_queue.size() > firstFree) {
        *frames = m_queue[firstFree].frames;
        // A zero-frame packet still counts as a packet: report it as one frame so the reader takes it.
        if (*frames == 0) *frames = 1;
        return S_OK;
    }
    // As fast as the reader goes: the next batch is made once the reader has seen the buffer empty.
    if (m_running && m_scenario.periodMs == 0) signalUnlocked(lock, produceBatch());
    return S_OK;
}

HRESULT Engine::getBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                          UINT64* qpcPosition) {
    if (data == nullptr || frames == nullptr || flags == nullptr) return E_POINTER;
    std::unique_lock<Mutex> lock(m_mutex);
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    if (m_invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (m_held) return AUDCLNT_E_OUT_OF_ORDER;
    if (++m_getBufferCalls == m_scenario.failBufferAt) {
        // The packet stays ready; announce it again as the next period would, so a finite source's
        // last packet is not stranded.
        signalUnlocked(lock, m_event);
        return AUDCLNT_E_BUFFER_ERROR;
    }
    if (m_queue.empty()) return AUDCLNT_S_BUFFER_EMPTY;
    const Packet& packet = m_queue.front();
    m_source.render(packet, m_samples);
    *data = reinterpret_cast<BYTE*>(m_samples.data());
    *frames = packet.frames;
    *flags = packet.flags;
    if (devicePosition != nullptr) *devicePosition = packet.firstFrame;
    if (qpcPosition != nullptr) *qpcPosition = packet.position;
    m_held = true;
    return S_OK;
}

HRESULT Engine::releaseBuffer(UINT32 frames) {
    std::unique_lock<Mutex> lock(m_mutex);
    if (!m_held) return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    const Packet& packet = m_queue.front();
    if (frames != packet.frames && frames != 0) return AUDCLNT_E_INVALID_SIZE;
    m_held = false;
    // Releasing 0 frames of a non-empty packet keeps it for the next GetBuffer, as the real engine does.
    if (frames == 0 && packet.frames != 0) return S_OK;
    m_queuedFrames -= packet.frames;
    m_queue.popFront();
    if (++m_released == m_scenario.failSizeAfter) {
        m_invalidated = true;
        signalUnlocked(lock, m_event);
    }
    return S_OK;
}

std::uint64_t Engine::packetsReleased() const {
    std::lock_guard<Mutex> lock(m_mutex);
    return m_released;
}

std::uint64_t Engine::packetsDropped() const {
    std::lock_guard<Mutex> lock(m_mutex);
    return m_dropped;
}

}  // namespace simaudio
