// A process's end, on Linux: a pidfd, which becomes readable once the process has ended (reaped or not),
// and which no later process can take over as a recycled pid could.
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "posix/win32.h"

bool watchProcessEnd(DWORD pid, void (*ended)(void* context, DWORD pid), void* context) {
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) return false;
    try {
        std::thread([fd, pid, ended, context] {
            pollfd wait = {fd, POLLIN, 0};
            while (poll(&wait, 1, -1) < 0 && errno == EINTR) {
            }
            close(fd);
            ended(context, pid);
        }).detach();
    } catch (...) {
        close(fd);
        return false;
    }
    return true;
#else
    (void)pid;
    (void)ended;
    (void)context;
    return false;
#endif
}
