#include <gtest/gtest.h>

#include <cstring>

#include "stream/stream_header.h"

TEST(StreamHeader, BytesAnnounceFloatStereoAt48k) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = 2;
    format.nSamplesPerSec = 48000;
    format.nAvgBytesPerSec = 384000;
    format.nBlockAlign = 8;
    format.wBitsPerSample = 32;
    const StreamHeader header = makeStreamHeader(format);
    const unsigned char expected[16] = {0x4C, 0x42, 0x41, 0x53, 0x80, 0xBB, 0x00, 0x00,
                                        0x02, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00};
    ASSERT_EQ(sizeof header, sizeof expected);
    EXPECT_EQ(std::memcmp(&header, expected, sizeof expected), 0);
}
