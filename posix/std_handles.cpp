// Standard handles and WriteFile over write(2).
//
// WriteFile is a plain synchronous write, as on Windows, but one that a stop request can end: a write that
// has to wait for its reader waits for the descriptor to become writable or for a stop, and on a stop gives
// up on the rest of its block. Otherwise a reader that stopped reading would keep the program from ever
// seeing its stop flag. To wait that way the write itself must not block, without changing the open file
// that the parent shares: a pipe or FIFO is written through a non-blocking open file of its own, a socket
// with MSG_DONTWAIT. Anything else (a regular file, a terminal) is written as it is.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

#include "posix/console.h"
#include "posix/crt.h"
#include "posix/handles.h"
#include "posix/kernel.h"
#include "posix/write_seam.h"

namespace {

struct StdFile final : posix::KernelObject {
    explicit StdFile(int descriptor) : KernelObject(Kind::StdFile), fd(descriptor) {}
    const int fd;
};

HANDLE stdHandle(int fd) {
    // Entries of the handle table for the life of the process, as the runtime's own.
    static const HANDLE handles[] = {posix::openHandle(std::make_shared<StdFile>(0)),
                                     posix::openHandle(std::make_shared<StdFile>(1)),
                                     posix::openHandle(std::make_shared<StdFile>(2))};
    return handles[fd];
}

// How a standard descriptor is written without blocking.
struct Target {
    int fd = -1;          // the descriptor to write to
    bool socket = false;  // written with send(MSG_DONTWAIT)
};

Target prepareTarget(int fd) {
    Target target{fd, false};
    struct stat status = {};
    if (fstat(fd, &status) != 0) return target;
    if (S_ISSOCK(status.st_mode)) {
        target.socket = true;
    } else if (S_ISFIFO(status.st_mode) && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY) {
        // A new open file on the same pipe; should that fail, the write blocks as before.
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const int twin = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (twin >= 0) target.fd = twin;
    }
    return target;
}

ssize_t writeWithoutWaiting(int fd, const void* data, std::size_t size) {
    if (fd < 0 || fd > 2) return ::write(fd, data, size);
    static std::once_flag prepared[3];
    static Target targets[3];
    std::call_once(prepared[fd], [fd] { targets[fd] = prepareTarget(fd); });
    const Target& target = targets[fd];
    if (target.socket) return ::send(target.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    return ::write(target.fd, data, size);
}

// Until the descriptor takes more, or a stop request; false for the stop.
bool waitWritable(int fd) {
    pollfd waits[2] = {{fd, POLLOUT, 0}, {posix::stopRequestDescriptor(), POLLIN, 0}};
    for (;;) {
        const int ready = poll(waits, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        // Writable, or in a state the next write reports (a reader gone, an error) is not a stop.
        return ready < 0 || waits[0].revents != 0;
    }
}

std::atomic<posix::WriteFunction> g_write{&writeWithoutWaiting};

}  // namespace

posix::WriteFunction posix::setWriteFunction(WriteFunction function) {
    return g_write.exchange(function != nullptr ? function : &writeWithoutWaiting);
}

HANDLE GetStdHandle(DWORD stdHandle) {
    switch (stdHandle) {
        case STD_INPUT_HANDLE:
            return ::stdHandle(0);
        case STD_OUTPUT_HANDLE:
            return ::stdHandle(1);
        case STD_ERROR_HANDLE:
            return ::stdHandle(2);
        default:
            return INVALID_HANDLE_VALUE;
    }
}

std::intptr_t _get_osfhandle(int fd) {
    if (fd >= 0 && fd <= 2) return reinterpret_cast<std::intptr_t>(::stdHandle(fd));
    if (fd < 0 || fcntl(fd, F_GETFD) == -1) return -1;
    // A handle of its own for each call, as the descriptor table has no handles of its own here.
    return reinterpret_cast<std::intptr_t>(posix::openHandle(std::make_shared<StdFile>(fd)));
}

BOOL posix::writeFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    const std::shared_ptr<posix::KernelObject> object = posix::objectOf(file);
    if (object == nullptr || object->kind != posix::KernelObject::Kind::StdFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const int fd = static_cast<const StdFile&>(*object).fd;
    ssize_t written;
    for (;;) {
        written = g_write.load()(fd, buffer, bytesToWrite);
        if (written >= 0) break;
        // A signal is not a reason to lose a block; a stop while the reader holds the write up is.
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FALSE;
        if (!waitWritable(fd)) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
    }
    if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(written);
    return TRUE;
}

// Weak, so that a test build can watch what the program writes (as kernel32's import pointer lets it on
// Windows).
__attribute__((weak)) BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                                     LPOVERLAPPED) {
    return posix::writeFile(file, buffer, bytesToWrite, bytesWritten);
}
