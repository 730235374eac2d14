// Windows: Ctrl+C, Ctrl+Break and closing the console stand for the stop signals. The handler runs on a
// thread of its own; the conversion sees the request before its next read.
#include <windows.h>

#include <atomic>

#include "stop_signal.h"

namespace lbas2wav {
namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            g_stop = true;
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

IoError InstallStopSignals() {
    if (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) return {EINVAL, "SetConsoleCtrlHandler"};
    return {};
}

bool StopRequested() { return g_stop; }

// A read blocks until input comes; a live stream brings some every few milliseconds.
WaitResult WaitReadable(int, IoError&) { return g_stop ? WaitResult::kStopRequested : WaitResult::kReadable; }

}  // namespace lbas2wav
