// Standard handles and WriteFile over write(2).
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "posix/handles.h"
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

std::atomic<posix::WriteFunction> g_write{&::write};

}  // namespace

posix::WriteFunction posix::setWriteFunction(WriteFunction function) {
    return g_write.exchange(function != nullptr ? function : &::write);
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

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    const std::shared_ptr<posix::KernelObject> object = posix::objectOf(file);
    if (object == nullptr || object->kind != posix::KernelObject::Kind::StdFile) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const int fd = static_cast<const StdFile&>(*object).fd;
    ssize_t written;
    // A signal (a stop request) must not turn into a lost block.
    do {
        written = g_write.load()(fd, buffer, bytesToWrite);
    } while (written < 0 && errno == EINTR);
    if (written < 0) return FALSE;
    if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(written);
    return TRUE;
}
