#include "stream/write_all.h"

#include "winaudio/windows_audio.h"

void writeAll(const void* data, std::uint64_t size) {
    const BYTE* position = static_cast<const BYTE*>(data);
    while (size > 0) {
        // Fetched for every chunk, never cached: the handle is whatever standard output is now.
        const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
        const DWORD chunk = size < kWriteChunkBytes ? static_cast<DWORD>(size) : kWriteChunkBytes;
        DWORD written = 0;
        if (!WriteFile(output, position, chunk, &written, nullptr) || written == 0) return;
        position += written;
        size -= written;
    }
}
