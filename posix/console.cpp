// Console control events arrive on POSIX hosts as signals:
//   SIGINT  -> CTRL_C_EVENT      (Ctrl+C in a terminal)
//   SIGQUIT -> CTRL_BREAK_EVENT  (Ctrl+\ in a terminal, the nearest thing to Ctrl+Break)
//   SIGHUP  -> CTRL_CLOSE_EVENT  (the terminal went away)
//   SIGTERM -> CTRL_CLOSE_EVENT  (how a parent process asks a child to end)
// The registered handlers run in the signal handler itself, so they may only do async-signal-safe work;
// the program's handler stores an atomic flag and returns, which is all Windows asks of it too.
#include <signal.h>

#include <atomic>
#include <initializer_list>

#include "posix/win32.h"

namespace {

constexpr int kMaxHandlers = 8;
std::atomic<PHANDLER_ROUTINE> g_handlers[kMaxHandlers];
std::atomic<int> g_handlerCount{0};

DWORD ctrlTypeFor(int signal) {
    switch (signal) {
        case SIGINT:
            return CTRL_C_EVENT;
        case SIGQUIT:
            return CTRL_BREAK_EVENT;
        default:
            return CTRL_CLOSE_EVENT;
    }
}

void onSignal(int signal) {
    const DWORD ctrlType = ctrlTypeFor(signal);
    // Like Windows: the most recently added handler first; the first that answers TRUE ends the chain.
    for (int i = g_handlerCount.load() - 1; i >= 0; --i) {
        PHANDLER_ROUTINE handler = g_handlers[i].load();
        if (handler != nullptr && handler(ctrlType) != FALSE) return;
    }
    // Nobody handled it: the default action, as the system's own handler would end the process.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

void installSignalHandlers() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaction(signal, &action, nullptr);
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (handler == nullptr || add == FALSE) return FALSE;
    const int slot = g_handlerCount.load();
    if (slot == kMaxHandlers) return FALSE;
    g_handlers[slot].store(handler);
    g_handlerCount.store(slot + 1);
    if (slot == 0) installSignalHandlers();
    return TRUE;
}
