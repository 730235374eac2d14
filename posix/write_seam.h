// The one place where the stand-in layer writes to a descriptor. Tests replace it to record and script
// the write calls that WriteFile makes.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace posix {

using WriteFunction = ssize_t (*)(int fd, const void* data, std::size_t size);

// Returns the previous function; nullptr restores write(2).
WriteFunction setWriteFunction(WriteFunction function);

}  // namespace posix
