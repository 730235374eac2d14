// The end of standard input as a stop request, on POSIX hosts: a thread reads descriptor 0 and throws
// away what it reads; when a read finds the end or fails, a Ctrl+C is raised through the console
// stand-in, which runs the registered handlers (the one given among them) and wakes writes that wait
// for their reader, exactly as a SIGINT does.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "posix/kernel.h"
#include "posix/win32.h"

bool watchInputEnd(PHANDLER_ROUTINE) {
    try {
        std::thread([] {
            char buffer[512];
            for (;;) {
                const ssize_t got = ::read(0, buffer, sizeof buffer);
                if (got > 0) continue;
                if (got < 0 && errno == EINTR) continue;
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    // A non-blocking standard input (the parent's choice): wait until it has something.
                    pollfd wait = {0, POLLIN, 0};
                    poll(&wait, 1, -1);
                    continue;
                }
                break;
            }
            posix::raiseConsoleEvent(CTRL_C_EVENT);
        }).detach();
    } catch (...) {
        return false;
    }
    return true;
}
