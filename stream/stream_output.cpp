#include "stream/stream_output.h"

#include "stream/timeline.h"
#include "stream/write_all.h"

StreamOutput::StreamOutput(const stream::StreamFormat& format)
    : m_frameBytes(format.frameBytes()),
      m_longestOwedBytes(stream::maxGapFrames(format) * format.frameBytes()) {}

bool StreamOutput::settle() {
    // In pieces of one write each, so a long debt never grows the zero buffer past one chunk.
    while (m_owed > 0) {
        const std::uint64_t piece = m_owed < kWriteChunkBytes ? m_owed : kWriteChunkBytes;
        const std::uint64_t written = m_silence.write(piece);
        m_owed -= written;
        if (written < piece) return false;
    }
    return true;
}

void StreamOutput::owe(std::uint64_t bytes) {
    m_owed += bytes;
    const std::uint64_t cutFrame = m_owed % m_frameBytes;
    if (m_owed - cutFrame > m_longestOwedBytes) m_owed = cutFrame;
}

void StreamOutput::audio(const void* data, std::uint64_t bytes) {
    if (!settle()) {
        owe(bytes);
        return;
    }
    owe(bytes - writeAll(data, bytes));
}

void StreamOutput::zeros(std::uint64_t bytes) {
    if (!settle()) {
        owe(bytes);
        return;
    }
    owe(bytes - m_silence.write(bytes));
}
