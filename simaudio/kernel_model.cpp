#include "simaudio/kernel_model.h"

#include <atomic>
#include <string>

#include "simaudio/threads.h"
#include "simaudio/trace.h"

namespace simaudio {

namespace {

// One of the program's two events: known once its CreateEventW ran (a failed one is known as null).
struct ProgramEvent {
    const char* name;
    std::atomic<bool> known{false};
    std::atomic<HANDLE> handle{nullptr};
    std::atomic<DWORD> tracedTimeout{0};  // the last time limit traced for a wait on it, or 0

    bool is(HANDLE h) const { return known.load() && handle.load() == h; }
};

ProgramEvent g_completion{"completion event"};
ProgramEvent g_capture{"capture event"};
std::atomic<std::uint64_t> g_programThread{0};
std::atomic<bool> g_stopRaised{false};
std::atomic<int> g_waitsAfterStop{0};
std::atomic<bool> g_waitingForCapture{false};
std::atomic<std::uint64_t> g_outputBytes{0};
std::atomic<bool> g_outputSeen{false};
std::atomic<bool> g_captureClosed{false};
std::atomic<bool> g_outputWanted{false};  // the engine waits for standard output to catch up  // by the
                                          // program: not to be signalled any more

bool onProgramThread() {
    const std::uint64_t id = g_programThread.load();
    return id != 0 && id == currentThreadId();
}

std::string pointName(Scenario::StopPoint point, std::uint64_t packet) {
    switch (point) {
        case Scenario::StopPoint::Coinit:
            return "coinit";
        case Scenario::StopPoint::Initialize:
            return "initialize";
        case Scenario::StopPoint::Service:
            return "service";
        case Scenario::StopPoint::Start:
            return "start";
        case Scenario::StopPoint::Packet:
            return "packet " + std::to_string(packet);
        case Scenario::StopPoint::Release:
            return "release of packet " + std::to_string(packet);
        default:
            return "none";
    }
}

}  // namespace

void rememberProgramThread() { g_programThread.store(currentThreadId()); }

HANDLE simCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name,
                       HANDLE (*platform)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)) {
    if (!onProgramThread()) return platform(attributes, manualReset, initialState, name);
    // The completion handler's event is the manual-reset one, the capture event the auto-reset one.
    const Scenario& scenario = currentScenario();
    ProgramEvent& event = manualReset != FALSE ? g_completion : g_capture;
    const bool fail = manualReset != FALSE ? scenario.failCompletionEvent : scenario.failCaptureEvent;
    HANDLE handle = nullptr;
    if (fail) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        handle = platform(attributes, manualReset, initialState, name);
    }
    event.handle.store(handle);
    event.known.store(true);
    trace(std::string("CreateEventW ") + event.name + (handle == nullptr ? " -> failed" : ""));
    return handle;
}

DWORD simWaitForSingleObject(HANDLE handle, DWORD milliseconds, DWORD (*platform)(HANDLE, DWORD)) {
    const bool completion = g_completion.is(handle);
    const bool capture = !completion && g_capture.is(handle);
    if ((!completion && !capture) || !onProgramThread()) return platform(handle, milliseconds);
    const Scenario& scenario = currentScenario();
    ProgramEvent& event = completion ? g_completion : g_capture;
    const bool fail = completion ? scenario.failActivationWait : scenario.failCaptureWait;
    // Each time limit once, as it is first used; a wait begun after a stop request every time (a few).
    if (event.tracedTimeout.exchange(milliseconds) != milliseconds) {
        trace(std::string("WaitForSingleObject ") + event.name + " ms=" + std::to_string(milliseconds) +
              (fail ? " -> failed" : ""));
    }
    if (capture && g_stopRaised.load() && ++g_waitsAfterStop <= 3) {
        trace("WaitForSingleObject capture event after the stop request");
    }
    if (fail) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (!capture) return platform(handle, milliseconds);
    g_waitingForCapture.store(true);
    const DWORD result = platform(handle, milliseconds);
    g_waitingForCapture.store(false);
    return result;
}

BOOL simCloseHandle(HANDLE handle, BOOL (*platform)(HANDLE)) {
    const bool completion = g_completion.is(handle) && handle != nullptr;
    const bool capture = !completion && g_capture.is(handle) && handle != nullptr;
    if (!completion && !capture) return platform(handle);
    // By whom: the program closes its capture event at shutdown; the completion event goes with the
    // handler's last reference. The handler's count says where the close stands among its releases.
    const int refs = capture ? handlerReferences() : 0;
    const bool closedBefore = capture && g_captureClosed.exchange(true);
    const BOOL closed = platform(handle);
    // Once the capture event is closed, its handle value may be given out again: a close that succeeds
    // is then another object's.
    if (closedBefore && closed) return closed;
    const DWORD error = GetLastError();
    std::string line =
        std::string("CloseHandle ") + (capture ? "capture event by the program" : "completion event");
    if (!closed) line += " -> failed " + std::to_string(error);
    if (capture) line += " (handler refs=" + std::to_string(refs) + ")";
    trace(line);
    SetLastError(error);
    return closed;
}

void stopPoint(Scenario::StopPoint point, std::uint64_t packet) {
    const Scenario& scenario = currentScenario();
    if (scenario.stopAt != point || (packet != 0 && packet != scenario.stopPacket) || g_stopRaised.load())
        return;
    trace("console stop request at " + pointName(point, packet));
    raiseConsoleStop();
    g_stopRaised.store(true);
}

bool stopDueBefore(std::uint64_t packet) {
    const Scenario& scenario = currentScenario();
    return scenario.stopAt == Scenario::StopPoint::Packet && scenario.stopPacket == packet &&
           !g_stopRaised.load();
}

bool programWaitsForCapture() { return g_waitingForCapture.load(); }

void simOutputWritten(HANDLE file, DWORD bytes) {
    if (file != GetStdHandle(STD_OUTPUT_HANDLE)) return;
    g_outputBytes.fetch_add(bytes);
    g_outputSeen.store(true);
    if (!g_outputWanted.exchange(false)) return;
    HANDLE capture = g_capture.handle.load();
    if (capture != nullptr && !g_captureClosed.load()) SetEvent(capture);
}

bool programOutput(std::uint64_t& bytes) {
    bytes = g_outputBytes.load();
    return g_outputSeen.load();
}

void waitForOutput() { g_outputWanted.store(true); }

}  // namespace simaudio
