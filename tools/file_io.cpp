#include "file_io.h"

#include <unistd.h>

#include <cerrno>

#ifdef _WIN32
#include <io.h>
#endif

namespace lbas2wav {

#ifdef _WIN32

// Opening a file or pipe never waits for a writer here, so a plain open is enough.
int OpenInput(const std::string& path) { return ::_open(path.c_str(), O_RDONLY | kOpenFlags); }

// The runtime has no pwrite: seek there and back, so later appends still go to the end.
ssize_t WriteAtOffset(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    const __int64 position = ::_lseeki64(fd, 0, SEEK_CUR);
    if (position < 0 || ::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
    const ssize_t n = WriteSome(fd, data, size);
    const int saved = errno;
    if (::_lseeki64(fd, position, SEEK_SET) < 0 && n >= 0) return -1;
    errno = saved;
    return n;
}

void BinaryStdin() { ::_setmode(STDIN_FILENO, O_BINARY); }

constexpr std::size_t kMaxChunk = 1u << 30;

ssize_t ReadSome(int fd, void* data, std::size_t size) {
    return ::_read(fd, data, static_cast<unsigned>(size < kMaxChunk ? size : kMaxChunk));
}

ssize_t WriteSome(int fd, const void* data, std::size_t size) {
    return ::_write(fd, data, static_cast<unsigned>(size < kMaxChunk ? size : kMaxChunk));
}

#else

int OpenInput(const std::string& path) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer with the stop signals blocked, and nothing
    // could end that wait. Opened at once instead, the FIFO is waited for like any input: interruptibly.
    const int fd = ::open(path.c_str(), O_RDONLY | kOpenFlags | O_NONBLOCK);
    if (fd < 0) return -1;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

ssize_t WriteAtOffset(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    return ::pwrite(fd, data, size, static_cast<off_t>(offset));
}

void BinaryStdin() {}

ssize_t ReadSome(int fd, void* data, std::size_t size) { return ::read(fd, data, size); }

ssize_t WriteSome(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }

#endif

}  // namespace lbas2wav
