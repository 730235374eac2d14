#include "stream/write_all.h"

#include "winaudio/windows_audio.h"

std::uint64_t writeAll(const void* data, std::uint64_t size) {
    const BYTE* const begin = static_cast<const BYTE*>(data);
    const BYTE* position = begin;
    while (size > 0) {
        // Fetched for every chunk, never cached: the handle is whatever standard output is now.
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        const DWORD chunk = size < kWriteChunkBytes ? static_cast<DWORD>(size) : kWriteChunkBytes;
        DWORD written = 0;
        if (!WriteFile(output, position, chunk, &written, nullptr) || written == 0) break;
        position += written;
        size -= written;
    }
    return static_cast<std::uint64_t>(position - begin);
}
