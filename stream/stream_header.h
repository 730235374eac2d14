// The 16 bytes that open the stream on standard output: what follows is raw little-endian frames of
// `channels` samples of `bitsPerSample` IEEE floats at `sampleRate`.
#pragma once

#include <cstdint>

#include "stream/stream_format.h"

struct StreamHeader {
    char magic[4];
    std::uint32_t sampleRate;
    std::uint32_t channels;
    std::uint32_t bitsPerSample;
};
static_assert(sizeof(StreamHeader) == 16, "the header is 16 bytes with no padding");

inline StreamHeader makeStreamHeader(const stream::StreamFormat& format) {
    return StreamHeader{{'L', 'B', 'A', 'S'}, format.rate(), format.channels(), stream::kBitsPerSample};
}
