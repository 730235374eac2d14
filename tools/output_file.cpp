#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_io.h"

namespace lbas2wav {

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

IoError OutputFile::Create(const std::string& path) {
    struct stat st {};
    // Checked before open() so a FIFO or device is never opened (a FIFO would block).
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return {EINVAL, "output is not a regular file"};
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kOpenFlags, 0666);
    if (fd < 0) return {errno, "create"};
    fd_ = fd;
    path_ = path;
    buffer_.clear();
    buffer_.reserve(kBufferSize);
    committed_ = 0;
    return {};
}

IoError OutputFile::WriteAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = WriteSome(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {errno, "write"};
        }
        if (n == 0) return {EIO, "write"};
        const auto written = static_cast<std::size_t>(n);
        committed_ += written;
        data += written;
        size -= written;
    }
    return {};
}

IoError OutputFile::Write(const void* data, std::size_t size) {
    auto p = static_cast<const std::uint8_t*>(data);
    if (buffer_.size() + size <= kBufferSize) {
        buffer_.insert(buffer_.end(), p, p + size);
        return {};
    }
    if (IoError e = Flush()) return e;
    if (size >= kBufferSize) return WriteAll(p, size);
    buffer_.insert(buffer_.end(), p, p + size);
    return {};
}

IoError OutputFile::Flush() {
    if (buffer_.empty()) return {};
    IoError e = WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return e;
}

IoError OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    auto p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = WriteAtOffset(fd_, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return {errno, "write"};
        }
        if (n == 0) return {EIO, "write"};
        const auto written = static_cast<std::size_t>(n);
        p += written;
        size -= written;
        offset += written;
    }
    return {};
}

IoError OutputFile::Truncate(std::uint64_t length) {
    buffer_.clear();
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) return {errno, "truncate"};
    if (::lseek(fd_, static_cast<off_t>(length), SEEK_SET) < 0) return {errno, "seek"};
    committed_ = length;
    return {};
}

IoError OutputFile::Close() {
    if (fd_ < 0) return {};
    IoError e = Flush();
    if (::close(fd_) != 0 && !e) e = {errno, "close"};
    fd_ = -1;
    return e;
}

void OutputFile::Remove() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    if (!path_.empty()) ::unlink(path_.c_str());
}

}  // namespace lbas2wav
