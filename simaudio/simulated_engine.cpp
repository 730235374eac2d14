#include "simaudio/simulated_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "simaudio/kernel_model.h"
#include "simaudio/trace.h"
#include "stream/performance_clock.h"
#include "stream/stream_format.h"

namespace simaudio {

// When the running engine started, for the render meters (0: not started).
std::atomic<std::uint64_t> g_engineStart{0};

namespace {

// How far the program's standard output may lag what the engine handed out, as fast as the reader goes.
constexpr std::uint64_t kOutputLeadMilliseconds = 1000;

}  // namespace

SimulatedEngine::SimulatedEngine(const Scenario& scenario) : m_scenario(scenario), m_source(m_scenario) {}

void SimulatedEngine::useFormat(const stream::StreamFormat& format) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scenario.format = format;
    if (!m_scenario.framesGiven)
        m_scenario.frames =
            static_cast<std::uint32_t>(format.framesFromMilliseconds(stream::kPeriodMilliseconds));
    m_source.formatChanged();
}

SimulatedEngine::~SimulatedEngine() {
    stop();
    if (m_event != nullptr) {
        CloseHandle(m_event);
        trace("CloseHandle capture event by the engine");
    }
}

bool SimulatedEngine::setEvent(HANDLE event) {
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_event != nullptr) CloseHandle(m_event);
    m_event = own;
    return true;
}

HRESULT SimulatedEngine::start() {
    if (FAILED(m_scenario.start)) return m_scenario.start;
    HANDLE wake = nullptr;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_running) return S_OK;
    m_running = true;
    m_start = performanceClockNow();
    g_engineStart.store(m_start);
    if (m_scenario.emptyWakesMs != 0) m_emptyWaker = Thread([this] { emptyWakeLoop(); });
    if (m_scenario.failSizeAfter == 0 || m_scenario.invalidateAfter == 0) {
        wake = invalidate(m_scenario.failSizeAfter == 0);
    } else if (m_scenario.periodMs == 0) {
        stopBeforeBatch(lock, false);
        wake = produceBatch();
    } else {
        m_clock = Thread([this] { clockLoop(); });
    }
    signalUnlocked(lock, wake);
    return S_OK;
}

void SimulatedEngine::stop() {
    Thread clock;
    Thread emptyWaker;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        clock = std::move(m_clock);
        emptyWaker = std::move(m_emptyWaker);
    }
    m_wake.notify_all();
    if (clock.joinable()) clock.join();
    if (emptyWaker.joinable()) emptyWaker.join();
}

HANDLE SimulatedEngine::invalidate(bool signal) {
    m_invalidated = true;
    return signal ? m_event : nullptr;
}

void SimulatedEngine::emptyWakeLoop() {
    const auto period = std::chrono::milliseconds(m_scenario.emptyWakesMs);
    auto due = SteadyClock::now() + period;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        if (m_wake.wait_until(lock, due, [this] { return !m_running; })) break;
        due += period;
        if (m_invalidated) continue;    // a dead stream signals nothing
        signalUnlocked(lock, m_event);  // Stop joins this thread before the program may close the event
        lock.lock();
    }
}

HANDLE SimulatedEngine::produceBatch() {
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
        m_queue.push(
            packet, [&] { return m_queue.frames() + packet.frames <= capacityFrames(); }, [](Packet&) {});
        produced = true;
    }
    return produced ? m_event : nullptr;
}

void SimulatedEngine::stopBeforeBatch(std::unique_lock<std::mutex>& lock, bool waitForReader) {
    const std::uint64_t first = m_source.produced() + 1;
    std::uint64_t due = 0;
    for (std::uint64_t n = first; n < first + m_scenario.burst && due == 0; ++n)
        if (stopDueBefore(n)) due = n;
    if (due == 0) return;
    lock.unlock();
    // On the clock, the stop comes while the reader, having taken every packet before, waits for the next:
    // the packet is readied and announced with the stop already raised.
    for (int i = 0; waitForReader && i < 10000; ++i) {
        lock.lock();
        const bool idle = m_queue.empty();
        lock.unlock();
        if (idle && programWaitsForCapture()) break;
        sleepFor(std::chrono::milliseconds(1));
    }
    stopPoint(Scenario::StopPoint::Packet, due);
    lock.lock();
}

void SimulatedEngine::signalUnlocked(std::unique_lock<std::mutex>& lock, HANDLE wake) {
    lock.unlock();
    if (wake != nullptr) SetEvent(wake);
}

void SimulatedEngine::clockLoop() {
    const auto period = std::chrono::milliseconds(m_scenario.periodMs);
    auto due = SteadyClock::now() + period;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        if (m_wake.wait_until(lock, due, [this] { return !m_running; })) break;
        stopBeforeBatch(lock, true);
        if (!m_running) break;
        if (HANDLE wake = produceBatch()) {
            signalUnlocked(lock, wake);  // Stop joins this thread before the program may close the event
            lock.lock();
        }
        due += period;
    }
}

HRESULT SimulatedEngine::packetReady(UINT32& frames) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (m_scenario.failSizeOnceAfter != 0 && m_released == m_scenario.failSizeOnceAfter &&
        !m_failedSizeOnce) {
        // A passing fault: the packets stay ready; announce them again as the next period would.
        m_failedSizeOnce = true;
        signalUnlocked(lock, m_event);
        return AUDCLNT_E_BUFFER_ERROR;
    }
    if (const Packet* next = m_queue.next()) {
        frames = next->frames;
        // A zero-frame packet still counts as a packet: report it as one frame so the reader takes it.
        if (frames == 0) frames = 1;
        return S_OK;
    }
    // As fast as the reader goes: the next batch is made once the reader has seen the buffer empty, and the
    // program's standard output is within a second of the engine's time (the program's reader is the
    // stream's: the program queues what it takes and writes it on a thread of its own).
    if (!m_running || m_scenario.periodMs != 0) return S_OK;
    waitForOutput();  // before the look, so that no write after it goes unnoticed
    // The lead counts the batch about to be made: a batch of long packets would otherwise overrun the
    // program's queue before its reader could have taken it.
    const stream::StreamFormat& format = m_scenario.format;
    const std::uint64_t batch = std::uint64_t{m_scenario.frames} * m_scenario.burst * format.frameBytes();
    const std::uint64_t lead =
        std::max(format.framesFromMilliseconds(kOutputLeadMilliseconds) * format.frameBytes(), batch);
    std::uint64_t output = 0;
    if (!programOutput(output) || output + lead >= m_source.framesMade() * format.frameBytes() + batch) {
        stopBeforeBatch(lock, false);
        signalUnlocked(lock, produceBatch());
    }
    return S_OK;
}

HRESULT SimulatedEngine::takePacket(CapturedPacket& out) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_invalidated) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (++m_getBufferCalls == m_scenario.failBufferAt) {
        // The packet stays ready; announce it again as the next period would, so a finite source's
        // last packet is not stranded.
        signalUnlocked(lock, m_event);
        return AUDCLNT_E_BUFFER_ERROR;
    }
    if (m_queue.empty()) {
        lock.unlock();
        trace("GetBuffer with nothing ready");
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    const Packet& packet = m_queue.front();
    m_source.render(packet, m_samples);
    out.data = reinterpret_cast<BYTE*>(m_samples.data());
    out.frames = packet.frames;
    out.flags = packet.flags;
    out.devicePosition = m_scenario.devicePositions ? packet.firstFrame : 0;
    out.qpcPosition = packet.position;
    m_queue.lend();
    return S_OK;
}

void SimulatedEngine::returnPacket(bool consumed) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_queue.giveBack(consumed);
    if (!consumed) return;
    const std::uint64_t released = ++m_released;
    if (released == m_scenario.failSizeAfter || released == m_scenario.invalidateAfter) {
        signalUnlocked(lock, invalidate(released == m_scenario.failSizeAfter));
    } else {
        lock.unlock();
    }
    stopPoint(Scenario::StopPoint::Release, released);
}

void SimulatedEngine::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (!m_queue.empty()) m_queue.popFront();
}

}  // namespace simaudio
