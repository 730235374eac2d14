#include "stop_signal.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>

namespace lbas2wav {
namespace {

volatile sig_atomic_t g_stop = 0;
sigset_t g_wait_mask;  // the mask in force while waiting: stop signals unblocked

void OnStopSignal(int) { g_stop = 1; }

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

IoError InstallStopSignals() {
    sigset_t block;
    sigemptyset(&block);
    for (int sig : kStopSignals) sigaddset(&block, sig);
    if (sigprocmask(SIG_BLOCK, &block, &g_wait_mask) != 0) return {errno, "sigprocmask"};
    for (int sig : kStopSignals) sigdelset(&g_wait_mask, sig);

    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the wait must return EINTR
    for (int sig : kStopSignals) {
        if (sigaction(sig, &sa, nullptr) != 0) return {errno, "sigaction"};
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) return {errno, "sigaction"};
    return {};
}

bool StopRequested() { return g_stop != 0; }

WaitResult WaitReadable(int fd, IoError& error) {
    for (;;) {
        // A request that came while the signals were blocked is still pending. ppoll would not
        // deliver it when input is ready at once, so a busy stream could run on forever.
        sigset_t pending;
        if (sigpending(&pending) == 0) {
            for (int sig : kStopSignals) {
                if (sigismember(&pending, sig) == 1) g_stop = 1;
            }
        }
        if (g_stop) return WaitResult::kStopRequested;
        pollfd p{fd, POLLIN, 0};
        // ppoll unblocks the signals only while it sleeps, so one that arrives now wakes it (EINTR).
        const int r = ppoll(&p, 1, nullptr, &g_wait_mask);
        if (r > 0) return g_stop ? WaitResult::kStopRequested : WaitResult::kReadable;
        if (r < 0 && errno != EINTR) {
            error = {errno, "poll input"};
            return WaitResult::kError;
        }
    }
}

}  // namespace lbas2wav
