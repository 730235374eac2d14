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

StdFile g_stdin{0};
StdFile g_stdout{1};
StdFile g_stderr{2};

std::atomic<posix::WriteFunction> g_write{&::write};

}  // namespace

posix::WriteFunction posix::setWriteFunction(WriteFunction function) {
    return g_write.exchange(function != nullptr ? function : &::write);
}

HANDLE GetStdHandle(DWORD stdHandle) {
    switch (stdHandle) {
        case STD_INPUT_HANDLE:
            return &g_stdin;
        case STD_OUTPUT_HANDLE:
            return &g_stdout;
        case STD_ERROR_HANDLE:
            return &g_stderr;
        default:
            return INVALID_HANDLE_VALUE;
    }
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    auto* object = posix::asKernelObject(file);
    if (object == nullptr || object->kind != posix::KernelObject::Kind::StdFile) return FALSE;
    const int fd = static_cast<StdFile*>(object)->fd;
    ssize_t written;
    // A signal (a stop request) must not turn into a lost block.
    do {
        written = g_write.load()(fd, buffer, bytesToWrite);
    } while (written < 0 && errno == EINTR);
    if (written < 0) return FALSE;
    if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(written);
    return TRUE;
}
