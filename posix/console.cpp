// Console control events arrive on POSIX hosts as signals:
//   SIGINT  -> CTRL_C_EVENT      (Ctrl+C in a terminal)
//   SIGQUIT -> CTRL_BREAK_EVENT  (Ctrl+\ in a terminal, the nearest thing to Ctrl+Break)
//   SIGHUP  -> CTRL_CLOSE_EVENT  (the terminal went away)
//   SIGTERM -> CTRL_CLOSE_EVENT  (how a parent process asks a child to end)
//   the parent's death -> CTRL_CLOSE_EVENT (delivered as SIGHUP)
//   SIGUSR1 -> CTRL_LOGOFF_EVENT, SIGUSR2 -> CTRL_SHUTDOWN_EVENT (no POSIX event means these; the signals
//              make them reachable, with the default action, the end of the process, when no handler
//              answers TRUE)
// As on Windows, the registered handlers run on a thread of their own, not inside a signal handler: the
// signals are blocked everywhere and taken with sigwait, so no event is lost or deferred behind a
// thread that happens to be blocked, and a handler is not limited to async-signal-safe work.
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "posix/console.h"
#include "posix/kernel.h"

namespace {

constexpr int kControlSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGUSR1, SIGUSR2};
constexpr int kMaxHandlers = 8;
std::atomic<PHANDLER_ROUTINE> g_handlers[kMaxHandlers];
std::atomic<int> g_handlerCount{0};
std::atomic<pid_t> g_startingParent{0};  // 0: not noted (a test's own main)

DWORD ctrlTypeFor(int signal) {
    switch (signal) {
        case SIGINT:
            return CTRL_C_EVENT;
        case SIGQUIT:
            return CTRL_BREAK_EVENT;
        case SIGUSR1:
            return CTRL_LOGOFF_EVENT;
        case SIGUSR2:
            return CTRL_SHUTDOWN_EVENT;
        default:
            return CTRL_CLOSE_EVENT;
    }
}

int signalFor(DWORD ctrlType) {
    switch (ctrlType) {
        case CTRL_C_EVENT:
            return SIGINT;
        case CTRL_BREAK_EVENT:
            return SIGQUIT;
        case CTRL_CLOSE_EVENT:
            return SIGHUP;
        case CTRL_LOGOFF_EVENT:
            return SIGUSR1;
        case CTRL_SHUTDOWN_EVENT:
            return SIGUSR2;
        default:
            return 0;
    }
}

// Events whose handlers have all returned, by control type, for raiseConsoleEvent.
std::atomic<unsigned> g_handled[CTRL_SHUTDOWN_EVENT + 1];

void dispatch(int signal) {
    const DWORD ctrlType = ctrlTypeFor(signal);
    // Like Windows: the most recently added handler first; the first that answers TRUE ends the chain.
    for (int i = g_handlerCount.load() - 1; i >= 0; --i) {
        PHANDLER_ROUTINE handler = g_handlers[i].load();
        if (handler != nullptr && handler(ctrlType) != FALSE) {
            if (ctrlType <= CTRL_CLOSE_EVENT) eventfd_write(posix::stopRequestDescriptor(), 1);
            ++g_handled[ctrlType];
            return;
        }
    }
    // Nobody handled it: the default action, as the system's own handler would end the process.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
}

void startDispatcher() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : kControlSignals) sigaddset(&signals, signal);
    // Blocked on this thread and so on every thread started after it; the process's first handler is
    // registered before it starts any.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) == 0) dispatch(signal);
        }
    }).detach();

    // On Windows a closing console or the parent's job ends the program when its parent dies; here nothing
    // would, and the orphan would capture into a pipe nobody reads. So the parent's death is a console close.
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    // A parent that died before that call sends nothing: its orphan already has another parent. That close
    // is handled before the registration returns, so the program stops at its first look at the stop flag.
    const pid_t parent = g_startingParent.load();
    if (parent != 0 && getppid() != parent) std::thread(dispatch, SIGHUP).join();
}

}  // namespace

int posix::stopRequestDescriptor() {
    // Made on first use, after the entry has filled descriptors 0-2, so it never takes one of them.
    static const int descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return descriptor;
}

void posix::noteStartingParent() { g_startingParent.store(getppid()); }

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (handler == nullptr || add == FALSE) return FALSE;
    const int slot = g_handlerCount.load();
    if (slot == kMaxHandlers) return FALSE;
    g_handlers[slot].store(handler);
    g_handlerCount.store(slot + 1);
    if (slot == 0) startDispatcher();
    return TRUE;
}

bool posix::raiseConsoleEvent(DWORD ctrlType) {
    const int signal = signalFor(ctrlType);
    if (signal == 0 || g_handlerCount.load() == 0) return false;
    const unsigned before = g_handled[ctrlType].load();
    kill(getpid(), signal);
    // Bounded: an event no handler takes ends the process instead.
    for (int i = 0; i < 10000 && g_handled[ctrlType].load() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}
