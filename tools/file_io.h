// The few file calls lbas2wav makes that differ between POSIX and Windows (MinGW-w64's C runtime).
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace lbas2wav {

#ifdef _WIN32
// Audio is binary (no newline translation), and no child process inherits the descriptor.
constexpr int kOpenFlags = O_BINARY | O_NOINHERIT;
#else
constexpr int kOpenFlags = O_CLOEXEC;
#endif

// Opens the input stream for reading; -1 with errno set on failure.
int OpenInput(const std::string& path);

// Writes at `offset` without moving the descriptor's position (pwrite).
ssize_t WriteAtOffset(int fd, const void* data, std::size_t size, std::uint64_t offset);

// read and write; the Windows runtime takes at most an int's worth at a time.
ssize_t ReadSome(int fd, void* data, std::size_t size);
ssize_t WriteSome(int fd, const void* data, std::size_t size);

// Standard input as bytes, exactly as they come.
void BinaryStdin();

}  // namespace lbas2wav
