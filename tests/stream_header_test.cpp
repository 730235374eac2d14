#include <gtest/gtest.h>

#include <cstring>

#include "stream/stream_header.h"

TEST(StreamHeader, BytesAnnounceFloatStereoAt48k) {
    const StreamHeader header = makeStreamHeader(stream::kDefaultFormat);
    const unsigned char expected[16] = {0x4C, 0x42, 0x41, 0x53, 0x80, 0xBB, 0x00, 0x00,
                                        0x02, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00};
    ASSERT_EQ(sizeof header, sizeof expected);
    EXPECT_EQ(std::memcmp(&header, expected, sizeof expected), 0);
}
